// The pass loop over scripted update runs. Runs inside a throwaway device
// root: the loop writes /var/lib/updater directly.
#include "driver/passes.h"

#include <deque>
#include <filesystem>
#include <gtest/gtest.h>

#include "driver/status.h"
#include "repo/repositorydata.h"
#include "testing/testing.h"

using namespace updater;
using updater::testing::LogCapture;
using updater::testing::readFile;
using updater::testing::writeFile;
namespace fs = std::filesystem;

namespace {

// What one scripted run returns.
struct Outcome {
    RunResult result;
    unsigned count;
    unsigned installed;
};

// What the loop handed to one run.
struct Call {
    Config options;
    NameSet include, exclude, excludedGroups, pull;
};

class PassLoop : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::remove_all("/var/lib/updater");
        fs::create_directories("/var/lib/updater");
        (void)readUpdateState(); // forget what an earlier test wrote
        config.addonPackages = {"addon-docs", "addon-tools"};
        config.addonGroups = {"Add-ons"};
        config.releasePackage = "product-release";
        config.cacheDir = "/var/cache/updater/";
    }

    RunResult run(std::deque<Outcome> outcomes, const std::set<std::string>& named = {})
    {
        RepositoryData repository(config, config.repositories.front());
        auto runner = [&](const Config& options, const NameSet& include, const NameSet& exclude,
                          const NameSet& groups, const NameSet& pull, RepositoryData&, unsigned& count,
                          unsigned& installed) {
            calls.push_back({options, include, exclude, groups, pull});
            EXPECT_FALSE(outcomes.empty()) << "a run more than scripted";
            if (outcomes.empty())
                return RunResult::Error;
            const Outcome outcome = outcomes.front();
            outcomes.pop_front();
            count = outcome.count;
            installed = outcome.installed;
            return outcome.result;
        };
        return runPasses(config, named, repository, runner);
    }

    static std::string updateState()
    {
        return fs::exists(UPDATE_STATE_FILE) ? readFile(UPDATE_STATE_FILE) : "(none)";
    }

    Config config;
    std::vector<Call> calls;
};

TEST_F(PassLoop, CountingRunThenAllButAddonsThenAddons)
{
    LogCapture capture(LogLevel::info);
    EXPECT_EQ(run({{RunResult::Ok, 5, 0}, {RunResult::Reboot, 3, 3}, {RunResult::Reboot, 2, 2}}),
              RunResult::Reboot);
    ASSERT_EQ(calls.size(), 3u);
    const NameSet addons{"addon-docs", "addon-tools"};
    for (const Call& call : calls) {
        EXPECT_TRUE(call.include.empty());
        EXPECT_EQ(call.pull, addons);
    }
    EXPECT_TRUE(calls[0].options.checkOnly);
    EXPECT_FALSE(calls[0].options.cacheOnly || calls[0].options.quiet);
    EXPECT_TRUE(calls[0].exclude.empty() && calls[0].excludedGroups.empty());
    EXPECT_TRUE(calls[1].options.cacheOnly && calls[1].options.quiet && !calls[1].options.checkOnly);
    EXPECT_EQ(calls[1].exclude, (NameSet{"addon-docs", "addon-tools", "product-release"}));
    EXPECT_EQ(calls[1].excludedGroups, NameSet{"Add-ons"});
    EXPECT_TRUE(calls[2].options.cacheOnly && calls[2].options.quiet && !calls[2].options.checkOnly);
    EXPECT_TRUE(calls[2].exclude.empty() && calls[2].excludedGroups.empty());
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"INFO: pass 1: all but add-ons", "INFO: pass 2: add-ons"}));
    EXPECT_EQ(updateState(), "COMPLETE\n");
    EXPECT_EQ(readFile(STATUS_FILE), "ANALYZING\n");
}

TEST_F(PassLoop, QuietConfigurationHidesThePassLines)
{
    config.quiet = true;
    LogCapture capture(LogLevel::info);
    EXPECT_EQ(run({{RunResult::Ok, 2, 0}, {RunResult::Ok, 2, 2}, {RunResult::Ok, 0, 0}}), RunResult::Ok);
    EXPECT_TRUE(capture.lines().empty()) << capture.text();
}

TEST_F(PassLoop, AddonPassFindingNothingIsAnUpdateCutShort)
{
    LogCapture capture(LogLevel::info);
    EXPECT_EQ(run({{RunResult::Ok, 5, 0}, {RunResult::Reboot, 3, 3}, {RunResult::Ok, 0, 0}}), RunResult::Fatal);
    // The message ends with its own newline: an empty line follows it.
    EXPECT_EQ(capture.lines(),
              (std::vector<std::string>{"INFO: pass 1: all but add-ons", "INFO: pass 2: add-ons",
                                        "FATAL: failed passing all updates but update process succeeded, SYSTEM MAY "
                                        "BE CORRUPTED",
                                        ""}));
    EXPECT_EQ(readFile(STATUS_FILE), "CORRUPTED\n");
    EXPECT_EQ(updateState(), "CORRUPTED\n");
}

TEST_F(PassLoop, FailedPassIsRetriedOnceWithTheUpdaterAlone)
{
    LogCapture capture(LogLevel::info);
    // The first installing pass fails before rpm; the retry installs the updater.
    EXPECT_EQ(run({{RunResult::Ok, 5, 0}, {RunResult::Failed, 3, 0}, {RunResult::Reboot, 1, 1}}),
              RunResult::Reboot);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2].include, NameSet{"updater"});
    EXPECT_TRUE(calls[2].options.cacheOnly);
    EXPECT_FALSE(calls[2].options.quiet || calls[2].options.checkOnly);
    EXPECT_TRUE(calls[2].exclude.empty() && calls[2].excludedGroups.empty());
    EXPECT_TRUE(capture.has("ERROR: failed updating, will try updating updater only"));
    EXPECT_TRUE(capture.has("INFO: --- RETRY UPDATER ONLY ---"));
    EXPECT_EQ(updateState(), "PENDING\n");
}

TEST_F(PassLoop, RetryEndsTheRunWhenItFailsOrFindsNoUpdater)
{
    EXPECT_EQ(run({{RunResult::Failed, 0, 0}, {RunResult::Failed, 1, 0}}), RunResult::Error);
    EXPECT_EQ(calls.size(), 2u);
    calls.clear();
    EXPECT_EQ(run({{RunResult::Ok, 4, 0}, {RunResult::Failed, 2, 0}, {RunResult::Ok, 0, 0}}), RunResult::Error);
    EXPECT_EQ(calls.size(), 3u);
    // Nothing reached rpm: the updates are still only available.
    EXPECT_EQ(updateState(), "AVAILABLE\n");
}

TEST_F(PassLoop, RebootAskedForSurvivesALaterError)
{
    EXPECT_EQ(run({{RunResult::Ok, 5, 0}, {RunResult::Reboot, 3, 3}, {RunResult::Error, 2, 0}}), RunResult::Reboot);
    // Part of the update is in place.
    EXPECT_EQ(updateState(), "PENDING\n");
}

TEST_F(PassLoop, FatalEndsTheLoopWithoutReboot)
{
    writeFile(UPDATE_STATE_FILE, "CORRUPTED\n");
    EXPECT_EQ(run({{RunResult::Ok, 5, 0}, {RunResult::Fatal, 3, 0}}), RunResult::Fatal);
    EXPECT_EQ(calls.size(), 2u);
    EXPECT_EQ(updateState(), "CORRUPTED\n");
}

TEST_F(PassLoop, CheckOnlyIsOnePass)
{
    config.checkOnly = true;
    EXPECT_EQ(run({{RunResult::Ok, 4, 0}}), RunResult::Ok);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].options.checkOnly && !calls[0].options.cacheOnly);
    EXPECT_EQ(updateState(), "AVAILABLE\n");
    // Partly installed stays so until an update completes.
    writeFile(UPDATE_STATE_FILE, "PENDING\n");
    (void)readUpdateState();
    calls.clear();
    EXPECT_EQ(run({{RunResult::Ok, 4, 0}}), RunResult::Ok);
    EXPECT_EQ(updateState(), "PENDING\n");
}

TEST_F(PassLoop, TestRunsInstallNothing)
{
    config.test = true;
    EXPECT_EQ(run({{RunResult::Ok, 5, 0}, {RunResult::Ok, 3, 0}, {RunResult::Ok, 5, 0}}), RunResult::Ok);
    EXPECT_EQ(calls.size(), 3u);
    EXPECT_EQ(updateState(), "AVAILABLE\n");
}

TEST_F(PassLoop, NamedPackagesAreOnePassAndLeaveTheUpdateStateAlone)
{
    EXPECT_EQ(run({{RunResult::Reboot, 2, 2}}, {"app", "libcore"}), RunResult::Reboot);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].include, (NameSet{"app", "libcore"}));
    EXPECT_FALSE(calls[0].options.checkOnly || calls[0].options.cacheOnly);
    EXPECT_EQ(updateState(), "(none)");
}

} // namespace
