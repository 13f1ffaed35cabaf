#include <cerrno>

#include <sys/stat.h>

#include "download/filehelpers.h"
#include "testing/testing.h"

namespace updater::testing {
namespace {

TEST(ReplaceFileTest, WholeFileWithMode0644AndNoTemporaryLeftOnAnyPath)
{
    TemporaryDirectory dir;
    LogCapture capture;
    std::string target = dir.write("state", "old");
    ASSERT_EQ(link(target.c_str(), dir.file("held").c_str()), 0); // the old file stays whole: never rewritten
    const mode_t saved = umask(077);
    const bool replaced = replaceFile(target, "new\n");
    umask(saved);
    ASSERT_TRUE(replaced);
    EXPECT_EQ(readFile(target) + readFile(dir.file("held")), "new\nold");
    struct stat info;
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);

    errno = 0;
    EXPECT_FALSE(replaceFile(dir.file("gone/state"), "x"));
    EXPECT_EQ(errno, ENOENT);

    std::string blocked = dir.file("blocked");
    fs::create_directories(blocked + "/inside");
    errno = 0;
    EXPECT_FALSE(replaceFile(blocked, "x"));
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(directoryEntries(dir.path()), (std::vector<std::string>{"blocked", "held", "state"}));
    EXPECT_TRUE(capture.lines().empty()); // the caller reports
}

} // namespace
} // namespace updater::testing
