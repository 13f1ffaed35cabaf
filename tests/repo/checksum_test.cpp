#include "repo/checksum.h"

#include <zlib.h>

#include "testing/testing.h"

namespace updater::testing {
namespace {

const std::string SHA256_ABC = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string SHA1_ABC = "a9993e364706816aba3e25717850c26c9cd0d89d";

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

TEST(ChecksumTest, UnreadableInputFailsWithTheReason)
{
    TemporaryDirectory dir;
    const std::string missing = dir.file("missing");
    const std::string whole = readFile(writeGzip(dir.file("big.gz"), std::string(100000, 'x') + "tail"));
    const std::string truncated = dir.write("truncated.gz", whole.substr(0, whole.size() - 12));
    LogCapture capture;
    EXPECT_FALSE(checksum("sha256", SHA256_ABC).checkFile(missing));
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
TEST(ChecksumTest, UnknownTypesAreRefusedOncePerFile)
{
    TemporaryDirectory dir;
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

TEST(ChecksumTest, Md5IsRefusedWithOneWarningPerProcess)
{
    TemporaryDirectory dir;
    std::string abc = dir.write("abc", "abc");
    const std::string md5Abc = "900150983cd24fb0d6963f7d28e17f72";
    LogCapture capture;
    EXPECT_FALSE(checksum("md5", md5Abc).checkFile(abc));
    EXPECT_FALSE(checksum("md5", md5Abc).checkUncompressed(abc));
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"WARNING: encountered insecure MD5 checksums: discarding them"});
}

} // namespace
} // namespace updater::testing
