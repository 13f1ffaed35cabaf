// Runs inside a throwaway device root: works on /var/lib/updater directly.
#include "driver/status.h"

#include <sys/stat.h>

#include "testing/testing.h"

namespace updater::testing {
namespace {

class StatusFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::remove_all("/var/lib/updater");
        fs::create_directories("/var/lib/updater");
        (void)readUpdateState(); // forget what an earlier test wrote
    }

    // Names in the state directory other than the two state files.
    static std::vector<std::string> strayFiles()
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator("/var/lib/updater")) {
            const std::string name = entry.path().filename();
            if (name != "status" && name != "update-state")
                names.push_back(name);
        }
        return names;
    }

    LogCapture capture;
};

TEST_F(StatusFiles, WrittenWithMode0644WhateverTheUmaskAndNoTemporaryLeft)
{
    for (mode_t mask : {0077, 0000, 0022}) {
        const mode_t saved = umask(mask);
        const bool written = writeSystemStatus(SystemStatus::ANALYZING, false);
        umask(saved);
        ASSERT_TRUE(written);
        struct stat info;
        ASSERT_EQ(stat(STATUS_FILE, &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0644u) << "umask " << mask;
    }
    EXPECT_EQ(readFile(STATUS_FILE), "ANALYZING\n");
    EXPECT_TRUE(strayFiles().empty());
}

TEST_F(StatusFiles, UnreadableOrUnknownContentFails)
{
    SystemStatus status;
    for (const std::string& content : {std::string(), std::string("  \n\t"), std::string(40, 'R') + "\n"}) {
        writeFile(STATUS_FILE, content);
        EXPECT_FALSE(readSystemStatus(status)) << content;
    }
    EXPECT_TRUE(capture.has("ERROR: unknown status '" + std::string(31, 'R') + "'")) << capture.text();
    writeFile(STATUS_FILE, "PKGSDONE trailing words\n");
    ASSERT_TRUE(readSystemStatus(status));
    EXPECT_EQ(status, SystemStatus::PKGSDONE);
}

TEST_F(StatusFiles, FailedRenameLeavesNoTemporaryAndKeepsTheOldStatus)
{
    fs::create_directories(std::string(STATUS_FILE) + "/occupied");
    EXPECT_FALSE(writeSystemStatus(SystemStatus::CORRUPTED, true));
    EXPECT_TRUE(strayFiles().empty());
    EXPECT_TRUE(fs::is_directory(STATUS_FILE));
    // The update state is still marked: the temporary file had been created.
    EXPECT_EQ(readFile(UPDATE_STATE_FILE), "CORRUPTED\n");
}

TEST_F(StatusFiles, UpdateStateReadsItsWordsAndNothingElse)
{
    EXPECT_EQ(readUpdateState(), UpdateState::NONE);
    writeFile(UPDATE_STATE_FILE, "PENDING\n");
    EXPECT_EQ(readUpdateState(), UpdateState::PENDING);
    writeFile(UPDATE_STATE_FILE, "Pending\n");
    EXPECT_EQ(readUpdateState(), UpdateState::NONE);
    EXPECT_TRUE(capture.has("WARNING: unknown update state 'Pending'"));
    writeFile(UPDATE_STATE_FILE, "");
    EXPECT_EQ(readUpdateState(), UpdateState::NONE);
}

TEST_F(StatusFiles, FailedUpdateStateWriteIsForgotten)
{
    fs::create_directory(UPDATE_STATE_FILE);
    writeUpdateState(UpdateState::COMPLETE);
    EXPECT_TRUE(capture.has("WARNING: failed writing to update state file: Is a directory"));
    EXPECT_TRUE(strayFiles().empty());
    fs::remove(UPDATE_STATE_FILE);
    writeUpdateState(UpdateState::COMPLETE); // not cached: written now
    EXPECT_EQ(readFile(UPDATE_STATE_FILE), "COMPLETE\n");
    fs::create_hard_link(UPDATE_STATE_FILE, "/var/lib/held-update-state");
    writeUpdateState(UpdateState::PENDING); // a new file: the old one is never rewritten in place
    EXPECT_EQ(readFile("/var/lib/held-update-state"), "COMPLETE\n");
}

} // namespace
} // namespace updater::testing
