#include "driver/startguards.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace updater::testing {
namespace {

std::optional<std::string> valueIn(const std::string& text)
{
    FILE* stream = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    auto value = findNoUpdateValue(stream);
    fclose(stream);
    return value;
}

TEST(OsReleaseValue, QuotesEscapesAndWhiteSpace)
{
    const struct { const char* raw; const char* value; } cases[] = {
        {"'lab unit'\n", "lab unit"},
        {"\"lab unit\"  \t\n", "lab unit"},
        {"a\\ b\n", "a b"},
        {"plain", "plain"},
        {"\"x\\\"y\"", "x\"y"},
        {"ends\\", "ends"},
        {"a\\\\b", "a\\b"},
        {"\"\n", ""}, // a lone quote
        {"'", ""},
        {"''", ""},
        {"\n", ""},
        {"", ""},
        {" 'inner' ", " 'inner'"}, // only a quote in front counts
    };
    for (const auto& c : cases)
        EXPECT_EQ(unquoteValue(c.raw), c.value) << c.raw;
}

TEST(OsReleaseValue, OnlyLinesThatBeginWithTheKeyCount)
{
    EXPECT_FALSE(valueIn("NAME=\"Debian\"\nID=debian\n"));
    EXPECT_FALSE(valueIn(" VRK_NO_UPDATE=1\n#VRK_NO_UPDATE=1\nX_VRK_NO_UPDATE=1\nVRK_NO_UPDATE\n"));
    EXPECT_EQ(valueIn("NAME=x\nVRK_NO_UPDATE=\n"), "");
    EXPECT_EQ(valueIn("VRK_NO_UPDATE=first\nVRK_NO_UPDATE='second one'\nID=x\n"), "second one");
    EXPECT_EQ(valueIn("ID=x\nVRK_NO_UPDATE=last"), "last");
}

TEST(OsReleaseValue, AContinuationOfALongLineIsNotANewLine)
{
    // The second 255-byte piece of this line begins with the key.
    const std::string longLine = "PRETTY_NAME=" + std::string(255 - 12, 'p') + "VRK_NO_UPDATE=yes\n";
    EXPECT_FALSE(valueIn(longLine));
    EXPECT_EQ(valueIn(longLine + "VRK_NO_UPDATE=real\n"), "real");

    // A long key line gives its first piece; its rest does not start a line either.
    const std::string longValue = "VRK_NO_UPDATE=" + std::string(255 - 14, 'v') + "VRK_NO_UPDATE=tail\n";
    EXPECT_EQ(valueIn(longValue), std::string(255 - 14, 'v'));
}

} // namespace
} // namespace updater::testing
