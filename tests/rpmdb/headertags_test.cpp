#include "rpmdb/headertags.h"

#include <optional>
#include <rpm/rpmds.h>
#include <rpm/rpmtag.h>

#include "rpmtesting.h"

namespace updater::testing {
namespace {

// Epochs of each width are read; other counts, types and absence are refused.
TEST(IntTag, EpochsOfEachWidthAndNothingElse)
{
    const HeaderBuilder p("p", "1", "1");
    struct Case { HeaderBuilder builder; std::optional<int32_t> expected; } cases[] = {
        {HeaderBuilder(p).int8(RPMTAG_EPOCH, {200}), 200},         // unsigned byte
        {HeaderBuilder(p).int16(RPMTAG_EPOCH, {300}), 300},
        {HeaderBuilder(p).int16(RPMTAG_EPOCH, {65000}), 65000},    // unsigned 16 bits
        {HeaderBuilder(p).int32(RPMTAG_EPOCH, {70000}), 70000},
        {HeaderBuilder(p).int32(RPMTAG_EPOCH, {0xffffffffu}), -1}, // signed 32 bits
        {HeaderBuilder(p).int32(RPMTAG_EPOCH, {1, 2}), std::nullopt},
        {HeaderBuilder(p).string(RPMTAG_EPOCH, "1"), std::nullopt},
        {p, std::nullopt},
    };
    for (const Case& c : cases) {
        auto header = c.builder.header();
        ASSERT_TRUE(header);
        LogCapture capture;
        int32_t epoch = 7;
        EXPECT_EQ(readIntTag(header.get(), RPMTAG_EPOCH, epoch), c.expected.has_value());
        EXPECT_EQ(epoch, c.expected.value_or(7));
        EXPECT_EQ(capture.lines(), c.expected ? std::vector<std::string>{}
                                              : std::vector<std::string>{"ERROR: failed retrieving rpm tag 1003 as int"});
    }
}

TEST(Dependencies, FilteredMaskedParsedAndMerged)
{
    auto header =
        HeaderBuilder("p", "1", "1")
            .requires_({"rpmlib(PayloadIsZstd)", "hinted", "prereq", "lib", "lib", "any", "eq-empty", "ranged"},
                       {RPMSENSE_RPMLIB | RPMSENSE_LESS | RPMSENSE_EQUAL, RPMSENSE_MISSINGOK,
                        RPMSENSE_SCRIPT_PRE | RPMSENSE_EQUAL, RPMSENSE_GREATER | RPMSENSE_EQUAL,
                        RPMSENSE_GREATER | RPMSENSE_EQUAL, 0, RPMSENSE_EQUAL, RPMSENSE_LESS},
                       {"5.4.0-1", "", "1.5-2", "2:3.0", "2:3.0", "", "", "4.0"})
            .header();
    ASSERT_TRUE(header);
    DependencySet set;
    set.insert(Dependency(PooledString("held")));
    ASSERT_TRUE(readDependencies(header.get(), RPMTAG_REQUIRENAME, set));
    EXPECT_EQ(texts(set), (std::vector<std::string>{"any", "eq-empty", "held", "lib >= 2:3.0", "prereq = 0:1.5-2",
                                                     "ranged < 0:4.0"}));
}

TEST(Dependencies, IncompleteOrInconsistentArraysFailWithoutAdding)
{
    HeaderBuilder base("p", "1", "1");
    HeaderBuilder builders[] = {
        // names and flags, no versions
        HeaderBuilder(base).strings(RPMTAG_REQUIRENAME, {"a"}).int32(RPMTAG_REQUIREFLAGS, {0}),
        // versions only
        HeaderBuilder(base).strings(RPMTAG_REQUIREVERSION, {"1"}),
        // counts differ
        HeaderBuilder(base).requires_({"a", "b"}, {0, 0}, {"1"}),
        // flags of the wrong width
        HeaderBuilder(base).strings(RPMTAG_REQUIRENAME, {"a"}).int16(RPMTAG_REQUIREFLAGS, {0}).strings(
            RPMTAG_REQUIREVERSION, {""}),
        // versions as a single string
        HeaderBuilder(base).strings(RPMTAG_REQUIRENAME, {"a"}).int32(RPMTAG_REQUIREFLAGS, {0}).string(
            RPMTAG_REQUIREVERSION, ""),
    };
    for (const HeaderBuilder& builder : builders) {
        auto header = builder.header();
        ASSERT_TRUE(header);
        DependencySet set;
        LogCapture capture;
        EXPECT_FALSE(readDependencies(header.get(), RPMTAG_REQUIRENAME, set));
        EXPECT_TRUE(set.empty());
        EXPECT_EQ(capture.lines(), std::vector<std::string>{"ERROR: failed retrieving rpm dependencies"});
    }
}

} // namespace
} // namespace updater::testing
