#include "repo/checksum.h"

#include <gtest/gtest.h>
#include <string>
#include <zlib.h>

#include "testing/testing.h"

namespace updater::testing {
namespace {

const std::string SHA256_ABC = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string SHA1_ABC = "a9993e364706816aba3e25717850c26c9cd0d89d";
const std::string SHA256_MILLION_A = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
const std::string SHA1_MILLION_A = "34aa973cd4c4daa4f61eeb2bdbad27316534016f";

Checksum checksum(const char* type, const std::string& value)
{
    Checksum result;
    result.type = PooledString(type);
    result.value = StoredString(value);
    return result;
}

std::string writeGzip(const std::string& path, const std::string& content)
{
    gzFile file = gzopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr);
    EXPECT_EQ(gzwrite(file, content.data(), static_cast<unsigned>(content.size())), static_cast<int>(content.size()));
    EXPECT_EQ(gzclose(file), Z_OK);
    return path;
}

class ChecksumTest : public ::testing::Test {
protected:
    TemporaryDirectory dir;
};

TEST_F(ChecksumTest, KnownVectorsAsStoredAndStreamedInBlocks)
{
    std::string abc = dir.write("abc", "abc");
    std::string million = dir.write("million", std::string(1000000, 'a'));
    struct Case {
        const char* type;
        std::string path;
        std::string value;
    } cases[] = {
        {"sha256", abc, SHA256_ABC},
        {"sha", abc, SHA1_ABC},
        {"sha256", million, SHA256_MILLION_A},
        {"sha", million, SHA1_MILLION_A},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(checksum(c.type, c.value).checkFile(c.path)) << c.type << " " << c.path;
        EXPECT_TRUE(checksum(c.type, c.value).checkUncompressed(c.path)) << "plain file, read through zlib";
    }
}

TEST_F(ChecksumTest, GzipFileChecksAsStoredOrDecompressed)
{
    std::string gz = writeGzip(dir.file("abc.gz"), "abc");
    Checksum open = checksum("sha256", SHA256_ABC);
    EXPECT_TRUE(open.checkUncompressed(gz));
    EXPECT_FALSE(open.checkFile(gz));

    std::vector<unsigned char> stored;
    ASSERT_TRUE(open.digest(gz, false, stored));
    EXPECT_TRUE(checksum("sha256", hexText(stored.data(), stored.size())).checkFile(gz));
    std::vector<unsigned char> content;
    ASSERT_TRUE(open.digest(gz, true, content));
    EXPECT_EQ(hexText(content.data(), content.size()), SHA256_ABC);
}

TEST_F(ChecksumTest, UnreadableInputFailsWithTheReason)
{
    std::string missing = dir.file("missing");
    std::string gz = writeGzip(dir.file("big.gz"), std::string(100000, 'x') + "tail");
    std::string whole = readFile(gz);
    std::string truncated = dir.write("truncated.gz", whole.substr(0, whole.size() - 12));
    LogCapture capture;
    EXPECT_FALSE(checksum("sha256", SHA256_ABC).checkFile(missing));
    EXPECT_TRUE(capture.has("ERROR: failed opening '" + missing + "' for checksumming (No such file or directory)"));
    EXPECT_FALSE(checksum("sha256", SHA256_ABC).checkUncompressed(missing));
    EXPECT_EQ(capture.count("ERROR: failed opening '" + missing + "' for checksumming (No such file or directory)"), 2);

    EXPECT_FALSE(checksum("sha256", SHA256_ABC).checkFile(dir.path()));
    EXPECT_FALSE(checksum("sha256", SHA256_ABC).checkUncompressed(dir.path()));
    EXPECT_EQ(capture.count("ERROR: failed while reading from '" + dir.path() + "'"), 2);

    EXPECT_FALSE(checksum("sha256", SHA256_ABC).checkUncompressed(truncated));
    EXPECT_TRUE(capture.has("ERROR: failed while reading from '" + truncated + "'"));
}

// Each file is checked again on every download attempt: an unknown type is
// reported once per file.
TEST_F(ChecksumTest, UnknownTypesAreRefusedOncePerFile)
{
    std::string abc = dir.write("abc", "abc");
    std::string other = dir.write("other", "abc");
    LogCapture capture;
    for (const char* type : {"SHA256", "Sha", "sha3-256", ""}) {
        std::string line = std::string("ERROR: unsupported checksum type '") + type + "'";
        EXPECT_FALSE(checksum(type, SHA1_ABC).checkFile(abc)) << type;
        EXPECT_FALSE(checksum(type, SHA1_ABC).checkUncompressed(abc)) << type;
        EXPECT_EQ(capture.count(line), 1) << type;
        EXPECT_FALSE(checksum(type, SHA1_ABC).checkFile(other)) << type;
        EXPECT_EQ(capture.count(line), 2) << type;
    }
}

TEST_F(ChecksumTest, Md5IsRefusedWithOneWarningPerProcess)
{
    std::string abc = dir.write("abc", "abc");
    const std::string md5Abc = "900150983cd24fb0d6963f7d28e17f72";
    LogCapture capture;
    EXPECT_FALSE(checksum("md5", md5Abc).checkFile(abc));
    EXPECT_FALSE(checksum("md5", md5Abc).checkUncompressed(abc));
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"WARNING: encountered insecure MD5 checksums: discarding them"});
}

} // namespace
} // namespace updater::testing
