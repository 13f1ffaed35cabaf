#include "platform/hash.h"
#include "platform/rpm54.h"

#include <rpm/rpmlib.h>

#include "testing/testing.h"

namespace updater::testing {
namespace {

TEST(Hash, SpentOrUninitialisedContextRefuses)
{
    HashContext ctx;
    std::vector<unsigned char> out;
    EXPECT_FALSE(ctx.update("x", 1));
    EXPECT_FALSE(ctx.digest(out));
    EXPECT_EQ(hashFunctionFind("MD4"), nullptr);
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

} // namespace
} // namespace updater::testing
