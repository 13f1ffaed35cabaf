#include "repo/decoder.h"

#include <gtest/gtest.h>
#include <string>

namespace updater::testing {
namespace {

// The first bytes of a file tell its compression; whatever matches no magic
// is read as it stands.
TEST(DecoderTest, CompressionFromTheFirstBytes)
{
    const struct { std::string head; Compression expected; } cases[] = {
        {"\x1f\x8b\x08\x00", Compression::gzip},
        {"\x28\xb5\x2f\xfd\x04", Compression::zstd},
        {"\x50\x2a\x4d\x18", Compression::zstd}, // skippable frames
        {"\x5f\x2a\x4d\x18", Compression::zstd},
        {std::string("\xfd" "7zXZ\0", 6), Compression::xz},
        {"BZh9", Compression::bzip2},
        {"BZh1", Compression::bzip2},
        {"BZh0", Compression::none},
        {"BZh", Compression::none},
        {"\x1f", Compression::none},
        {std::string("\xfd" "7zXZ", 5), Compression::none},
        {"\x60\x2a\x4d\x18", Compression::none},
        {"<?xml version=\"1.0\"?>", Compression::none},
        {"", Compression::none},
    };
    for (const auto& c : cases) {
        auto bytes = reinterpret_cast<const unsigned char*>(c.head.data());
        EXPECT_EQ(compressionOf({bytes, c.head.size()}), c.expected) << c.head;
    }
}

} // namespace
} // namespace updater::testing
