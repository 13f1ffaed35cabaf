#include "platform/hash.h"
#include "platform/rpm54.h"

#include <gtest/gtest.h>
#include <rpm/rpmlib.h>
#include <string>

using namespace updater;

namespace {

std::string hex(const std::vector<unsigned char>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

std::string hashOf(const char* name, const std::string& data)
{
    const HashFunction* function = hashFunctionFind(name);
    EXPECT_NE(function, nullptr);
    HashContext ctx;
    EXPECT_TRUE(ctx.init(*function));
    EXPECT_TRUE(ctx.update(data.data(), data.size()));
    std::vector<unsigned char> out;
    EXPECT_TRUE(ctx.digest(out));
    EXPECT_EQ(out.size(), function->digestSize);
    return hex(out);
}

TEST(Hash, KnownVectorsByLibraryName)
{
    const struct {
        const char* name;
        const char* data;
        const char* digest;
    } cases[] = {
        {"MD5", "", "d41d8cd98f00b204e9800998ecf8427e"},
        {"SHA-1", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"SHA-224", "abc", "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"},
        {"SHA-256", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"SHA-384", "abc",
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
        {"SHA-512", "abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
         "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(hashOf(c.name, c.data), c.digest) << c.name;
    EXPECT_EQ(hashFunctionFind("sha256"), nullptr);
    EXPECT_EQ(hashFunctionFind("SHA3-256"), nullptr);
}

TEST(Hash, SpentOrUninitialisedContextRefuses)
{
    HashContext ctx;
    std::vector<unsigned char> out;
    EXPECT_FALSE(ctx.update("x", 1));
    EXPECT_FALSE(ctx.digest(out));
    ASSERT_TRUE(ctx.init(*hashFunctionFind("SHA-1")));
    EXPECT_FALSE(ctx.init(*hashFunctionFind("SHA-1")));
    ASSERT_TRUE(ctx.digest(out));
    EXPECT_FALSE(ctx.digest(out));
}

TEST(Base64, DecodesAndRefusesGarbage)
{
    std::vector<uint8_t> out;
    ASSERT_TRUE(b64decode("aGVsbG8=", out));
    EXPECT_EQ(std::string(out.begin(), out.end()), "hello");
    ASSERT_TRUE(b64decode("aGVs\nbG8=\n", out));
    EXPECT_EQ(std::string(out.begin(), out.end()), "hello");
    EXPECT_FALSE(b64decode("a*b!", out));
}

TEST(SignalQueue, RegistrationCounts)
{
    EXPECT_EQ(rpmsqEnable(-40, nullptr), -1);
    EXPECT_EQ(rpmsqEnable(40, nullptr), 1);
    EXPECT_EQ(rpmsqEnable(40, nullptr), 2);
    EXPECT_EQ(rpmsqEnable(-40, nullptr), 1);
    EXPECT_EQ(rpmsqEnable(-40, nullptr), 0);
    EXPECT_EQ(rpmsqEnable(-40, nullptr), -1);
}

TEST(PlatformScore, MachineArchAndNoarchScoreForeignDoesNot)
{
    ASSERT_EQ(rpmReadConfigFiles(nullptr, nullptr), 0);
    EXPECT_GT(rpmPlatformScore("noarch-pc-linux-gnu", nullptr, 0), 0);
    EXPECT_GT(rpmPlatformScore("x86_64-pc-linux-gnu", nullptr, 0), 0);
    EXPECT_EQ(rpmPlatformScore("s390x-pc-linux-gnu", nullptr, 0), 0);
    EXPECT_EQ(rpmPlatformScore("-pc-linux-gnu", nullptr, 0), 0);
    EXPECT_EQ(rpmPlatformScore("x86_64-pc-darwin", nullptr, 0), 0);
    EXPECT_EQ(rpmPlatformScore(nullptr, nullptr, 0), 0);
}

TEST(DbBackend, DebianDefaultIsNotBerkeley)
{
    ASSERT_EQ(rpmReadConfigFiles(nullptr, nullptr), 0);
    EXPECT_FALSE(rpmDbIsBerkeley());
}

} // namespace
