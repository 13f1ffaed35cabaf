#include "evr/dependency.h"
#include "evr/evr.h"
#include "evr/richdependency.h"

#include <fstream>
#include <sstream>

#include "testing/dependencies.h"
#include "testing/testing.h"

namespace updater::testing {
namespace {

// Each line of the case file, checked as its first field says.
TEST(Evr, CaseTable)
{
    std::ifstream in(EVR_CASES);
    int checked = 0;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#')
            continue;
        SCOPED_TRACE("line " + std::to_string(number));
        std::vector<std::string> f;
        std::stringstream parts(line + (line.back() == '|' ? " " : ""));
        for (std::string field; std::getline(parts, field, '|');)
            f.push_back(trim(field));
        ++checked;
        if (f[0] == "parse") {
            LogCapture capture;
            Evr evr = Evr::parse(f[1]);
            EXPECT_EQ(std::to_string(evr.epoch) + "|" + evr.version.str() + "|" + evr.release.str(),
                      f[2] + "|" + f[3] + "|" + f[4]);
            EXPECT_EQ(capture.text(), f[5].empty() ? "" : "ERROR: " + f[5] + "\n");
        } else if (f[0] == "text") {
            EXPECT_EQ((Evr{std::stoi(f[1]), PooledString(f[2]), PooledString(f[3])}.toString()), f[4]);
        } else if (f[0] == "compare") {
            const Evr a = Evr::parse(f[1]), b = Evr::parse(f[2]);
            const int sign = a.compare(b), reverse = b.compare(a);
            EXPECT_EQ(sign < 0 ? "<" : sign > 0 ? ">" : "=", f[3]);
            EXPECT_EQ(reverse > 0 ? "<" : reverse < 0 ? ">" : "=", f[3]) << "not antisymmetric";
        } else if (f[0] == "overlap") {
            const Dependency a = parseDependency(f[1]), b = parseDependency(f[2]);
            EXPECT_EQ(a.overlaps(b), f[3] == "yes");
            EXPECT_EQ(b.overlaps(a), f[3] == "yes") << "not symmetric";
        } else if (f[0] == "depless") {
            EXPECT_EQ(parseDependency(f[1]) < parseDependency(f[2]), f[3] == "yes");
        } else {
            ADD_FAILURE() << "unknown kind " << f[0];
        }
    }
    EXPECT_GT(checked, 40);
}

TEST(Dependency, Text)
{
    EXPECT_EQ(parseDependency("libfoo >= 0:1.2-3").toString(), "libfoo >= 0:1.2-3");
    EXPECT_EQ(parseDependency("libfoo").toString(), "libfoo");
    EXPECT_EQ(Dependency(PooledString("libx"), Evr::parse("2"), GREATER | EQUAL).toString(), "libx >= 0:2");
    // A version without flags, and a flag combination without an operator.
    EXPECT_EQ(Dependency(PooledString("a"), Evr::parse("1"), 0).toString(), "a ? 0:1");
    EXPECT_EQ(Dependency(PooledString("a"), Evr::parse("1"), LESS | GREATER).toString(), "a ? 0:1");
    // An empty version is written as the bare name whatever the flags.
    EXPECT_EQ(Dependency(PooledString("a"), Evr{}, EQUAL).toString(), "a");
}

TEST(DependencySet, KeepsOrderAndDropsDuplicates)
{
    DependencySet set;
    EXPECT_TRUE(set.insert(parseDependency("zed")));
    EXPECT_TRUE(set.insert(parseDependency("foo = 0:2.0")));
    EXPECT_TRUE(set.insert(parseDependency("foo = 0:1.0")));
    EXPECT_FALSE(set.insert(parseDependency("foo = 0:1.0")));
    EXPECT_TRUE(set.insert(parseDependency("abc")));
    EXPECT_EQ(texts(set), (std::vector<std::string>{"abc", "foo = 0:1.0", "foo = 0:2.0", "zed"}));

    auto first = set.firstOfName("foo");
    ASSERT_NE(first, set.end());
    EXPECT_EQ(first->toString(), "foo = 0:1.0");
    EXPECT_EQ(set.firstOfName("nothing"), set.end());
    EXPECT_TRUE(set.erase(parseDependency("foo = 0:1.0")));
    EXPECT_FALSE(set.erase(parseDependency("foo = 0:1.0")));
    EXPECT_EQ(set.size(), 3u);
}

// Handles stay valid and equal texts share one through the table's growth,
// texts with embedded bytes and texts longer than a chunk included.
TEST(PooledString, HandlesSurviveGrowth)
{
    std::vector<PooledString> handles;
    for (int i = 0; i < 20000; ++i)
        handles.emplace_back("name-" + std::to_string(i));
    const std::string nul("a\0b", 3), huge((size_t{1} << 20) + 1, 'h');
    const PooledString withNul(nul), big(huge);
    for (int i = 0; i < 20000; ++i)
        ASSERT_EQ(handles[i].c_str(), PooledString("name-" + std::to_string(i)).c_str());
    EXPECT_EQ(withNul.view(), nul);
    EXPECT_FALSE(withNul == PooledString("a"));
    EXPECT_EQ(PooledString(huge).c_str(), big.c_str());
    EXPECT_GT(PooledString("\xff").compare(PooledString("a")), 0); // bytes compare unsigned
}

// A hostile depth is refused before it can exhaust the stack.
TEST(RichDependency, NestingIsBounded)
{
    std::string deep;
    for (int i = 0; i < 200000; ++i)
        deep += "(a or ";
    RichExpression expression;
    EXPECT_FALSE(parseRichDependency(deep + "a" + std::string(200000, ')'), expression));
}

} // namespace
} // namespace updater::testing
