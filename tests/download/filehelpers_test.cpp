#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "download/filehelpers.h"
#include "testing/testing.h"

namespace updater::testing {
namespace {

TEST(BaseNameTest, TakesTheLastComponent)
{
    EXPECT_EQ(baseName("repodata/abc-primary.xml.gz"), "abc-primary.xml.gz");
    EXPECT_EQ(baseName("/var/cache/updater/base//"), "base");
    EXPECT_EQ(baseName("package.rpm"), "package.rpm");
    EXPECT_EQ(baseName("///"), "");
    EXPECT_EQ(baseName(""), "");
    EXPECT_EQ(baseName("/top"), "top");
}

TEST(IsReadableTest, LogsWhyAFileCannotBeRead)
{
    TemporaryDirectory dir;
    std::string present = dir.write("present", "x");
    LogCapture capture(LogLevel::debug);
    EXPECT_TRUE(isReadable(present));
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_FALSE(isReadable(dir.file("absent")));
}

TEST(CreateDirTest, CreatesOneLevelAndAcceptsAnExistingDirectory)
{
    TemporaryDirectory dir;
    LogCapture capture(LogLevel::debug);
    std::string fresh = dir.file("cache");
    ASSERT_TRUE(createDir(fresh));
    struct stat info;
    ASSERT_EQ(stat(fresh.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_TRUE(createDir(fresh));

    std::string file = dir.write("file", "x");
    EXPECT_FALSE(createDir(file));
    EXPECT_TRUE(capture.has("ERROR: cannot create dir '" + file + "' (File exists)"));
    EXPECT_EQ(readFile(file), "x");

    std::string deep = dir.file("missing/child");
    EXPECT_FALSE(createDir(deep));
    EXPECT_TRUE(capture.has("ERROR: cannot create dir '" + deep + "' (No such file or directory)"));
}

std::vector<std::string> entries(const std::string& directory)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ReplaceFileTest, WholeFileWithMode0644AndNoTemporaryLeftOnAnyPath)
{
    TemporaryDirectory dir;
    LogCapture capture;
    std::string target = dir.write("state", "old");
    const mode_t saved = umask(077);
    const bool replaced = replaceFile(target, "new\n");
    umask(saved);
    ASSERT_TRUE(replaced);
    EXPECT_EQ(readFile(target), "new\n");
    struct stat info;
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);

    errno = 0;
    EXPECT_FALSE(replaceFile(dir.file("gone/state"), "x"));
    EXPECT_EQ(errno, ENOENT);

    std::string blocked = dir.file("blocked");
    std::filesystem::create_directories(blocked + "/inside");
    errno = 0;
    EXPECT_FALSE(replaceFile(blocked, "x"));
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"blocked", "state"}));
    EXPECT_TRUE(capture.lines().empty()); // the caller reports
}

} // namespace
} // namespace updater::testing
