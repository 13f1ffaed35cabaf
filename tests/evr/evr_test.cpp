#include "evr/dependency.h"
#include "evr/evr.h"
#include "evr/richdependency.h"

#include <fstream>
#include <sstream>

#include "testing/dependencies.h"
#include "testing/testing.h"

namespace updater::testing {
namespace {

struct Case { int line; std::vector<std::string> fields; };

std::vector<Case> loadCases(const std::string& kind)
{
    std::ifstream in(EVR_CASES);
    std::vector<Case> cases;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> fields;
        std::stringstream parts(line);
        for (std::string field; std::getline(parts, field, '|');)
            fields.push_back(trim(field));
        if (line.back() == '|')
            fields.emplace_back();
        if (fields[0] == kind)
            cases.push_back({number, std::vector<std::string>(fields.begin() + 1, fields.end())});
    }
    EXPECT_FALSE(cases.empty()) << "no '" << kind << "' cases in " << EVR_CASES;
    return cases;
}

TEST(Evr, ParseTable)
{
    for (const auto& c : loadCases("parse")) {
        SCOPED_TRACE("line " + std::to_string(c.line));
        LogCapture capture;
        Evr evr = Evr::parse(c.fields[0]);
        EXPECT_EQ(evr.epoch, std::stoi(c.fields[1]));
        EXPECT_EQ(evr.version.view(), c.fields[2]);
        EXPECT_EQ(evr.release.view(), c.fields[3]);
        if (c.fields[4].empty())
            EXPECT_EQ(capture.text(), "");
        else
            EXPECT_EQ(capture.text(), "ERROR: " + c.fields[4] + "\n");
    }
}

TEST(Evr, TextTable)
{
    for (const auto& c : loadCases("text")) {
        SCOPED_TRACE("line " + std::to_string(c.line));
        Evr evr{std::stoi(c.fields[0]), PooledString(c.fields[1]), PooledString(c.fields[2])};
        EXPECT_EQ(evr.toString(), c.fields[3]);
    }
}

TEST(Evr, CompareTable)
{
    for (const auto& c : loadCases("compare")) {
        SCOPED_TRACE("line " + std::to_string(c.line));
        Evr a = Evr::parse(c.fields[0]), b = Evr::parse(c.fields[1]);
        int sign = a.compare(b);
        int reverse = b.compare(a);
        const std::string& want = c.fields[2];
        EXPECT_EQ(sign < 0 ? "<" : sign > 0 ? ">" : "=", want);
        EXPECT_EQ(reverse > 0 ? "<" : reverse < 0 ? ">" : "=", want) << "not antisymmetric";
    }
}

TEST(Dependency, OverlapTableIsSymmetric)
{
    for (const auto& c : loadCases("overlap")) {
        SCOPED_TRACE("line " + std::to_string(c.line));
        Dependency a = parseDependency(c.fields[0]), b = parseDependency(c.fields[1]);
        bool want = c.fields[2] == "yes";
        EXPECT_EQ(a.overlaps(b), want);
        EXPECT_EQ(b.overlaps(a), want);
    }
}

TEST(Dependency, OrderTable)
{
    for (const auto& c : loadCases("depless")) {
        SCOPED_TRACE("line " + std::to_string(c.line));
        EXPECT_EQ(parseDependency(c.fields[0]) < parseDependency(c.fields[1]), c.fields[2] == "yes");
    }
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
