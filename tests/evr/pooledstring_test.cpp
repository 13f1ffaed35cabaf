#include "evr/pooledstring.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using updater::PooledString;

TEST(PooledString, EqualTextsShareOneHandle)
{
    std::string a = "libfoo.so.1()(64bit)";
    PooledString first(a), second(std::string("libfoo.so.1()(64bit)"));
    EXPECT_TRUE(first == second);
    EXPECT_EQ(first.c_str(), second.c_str());
    EXPECT_EQ(first.view(), a);
    EXPECT_FALSE(first == PooledString("libfoo.so.2"));
}

TEST(PooledString, EmptyAndEmbeddedBytes)
{
    PooledString empty, alsoEmpty("");
    EXPECT_TRUE(empty.empty());
    EXPECT_TRUE(empty == alsoEmpty);
    EXPECT_STREQ(empty.c_str(), "");
    std::string withNul("a\0b", 3);
    PooledString nul(withNul);
    EXPECT_EQ(nul.size(), 3u);
    EXPECT_EQ(nul.view(), withNul);
    EXPECT_FALSE(nul == PooledString("a"));
}

TEST(PooledString, ManyStringsSurviveTableGrowthAndOrderIsBytewise)
{
    std::vector<PooledString> handles;
    for (int i = 0; i < 20000; ++i)
        handles.emplace_back("name-" + std::to_string(i));
    for (int i = 0; i < 20000; ++i)
        ASSERT_EQ(handles[i].view(), "name-" + std::to_string(i));
    EXPECT_TRUE(PooledString("name-7") == handles[7]);
    EXPECT_LT(PooledString("a").compare(PooledString("ab")), 0);
    EXPECT_GT(PooledString("\xff").compare(PooledString("a")), 0); // bytes compare unsigned
    EXPECT_EQ(PooledString("x").compare(PooledString("x")), 0);
}
