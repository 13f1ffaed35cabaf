// Runs inside a throwaway device root: installs its own hook program.
#include "driver/hooks.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "testing/testing.h"

using namespace updater;
using updater::testing::LogCapture;
using updater::testing::readFile;
using updater::testing::writeFile;

namespace {

// Records "$0 $@" and then does what /tmp/hook-action says.
const char* const HOOK_SCRIPT = "#!/bin/sh\n"
                                "echo \"$0 $*\" >> /tmp/hook-calls\n"
                                "[ -f /tmp/hook-action ] && . /tmp/hook-action\n"
                                "exit 0\n";

class Hook : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories("/usr/lib/updater");
        writeFile(HOOK_PROGRAM, HOOK_SCRIPT);
        chmod(HOOK_PROGRAM, 0755);
        std::filesystem::remove("/tmp/hook-calls");
        std::filesystem::remove("/tmp/hook-action");
    }
};

TEST_F(Hook, GetsItsNameTheVersionAndTheOptionalArgument)
{
    LogCapture capture;
    EXPECT_EQ(runHook("init"), RunResult::Ok);
    EXPECT_EQ(runHook("test", "3"), RunResult::Ok);
    EXPECT_EQ(readFile("/tmp/hook-calls"), "/usr/lib/updater/hook init 1.8.3\n/usr/lib/updater/hook test 1.8.3 3\n");
    EXPECT_TRUE(capture.has("INFO: running init hook"));
    EXPECT_TRUE(capture.has("INFO: running test hook"));
}

TEST_F(Hook, ExitCodeAndDeathAreTheResult)
{
    LogCapture capture;
    writeFile("/tmp/hook-action", "echo said something; exit 3\n");
    EXPECT_EQ(runHook("download"), RunResult::Failed);
    EXPECT_TRUE(capture.has("INFO:   said something"));
    EXPECT_TRUE(capture.has("ERROR: hook failed (exit code 3)"));

    writeFile("/tmp/hook-action", "kill -KILL $$\n");
    EXPECT_EQ(runHook("update", "1"), RunResult::Error);
    EXPECT_TRUE(capture.has("ERROR: hook was interrupted"));

    std::filesystem::remove(HOOK_PROGRAM); // a missing hook fails in the child's exec
    EXPECT_EQ(runHook("init"), RunResult::Failed);
    EXPECT_TRUE(capture.has("ERROR: hook failed (exit code 1)"));
}

} // namespace
