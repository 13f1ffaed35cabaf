// The pass loop over scripted update runs. Runs inside a throwaway device
// root: the loop writes /var/lib/updater directly.
#include "driver/passes.h"

#include <deque>

#include "driver/status.h"
#include "repo/repositorydata.h"
#include "testing/testing.h"

namespace updater::testing {
namespace {

// What one scripted run returns.
struct Outcome { RunResult result; unsigned count; unsigned installed; };

class PassLoop : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::remove_all("/var/lib/updater");
        fs::create_directories("/var/lib/updater");
        (void)readUpdateState(); // forget what an earlier test wrote
        config.cacheDir = "/var/cache/updater/";
    }

    RunResult run(std::deque<Outcome> outcomes)
    {
        RepositoryData repository(config, config.repositories.front());
        auto runner = [&](const Config& options, const NameSet&, const NameSet&, const NameSet&, const NameSet&,
                          RepositoryData&, unsigned& count, unsigned& installed) {
            calls.push_back(options);
            EXPECT_FALSE(outcomes.empty()) << "a run more than scripted";
            if (outcomes.empty())
                return RunResult::Error;
            const Outcome outcome = outcomes.front();
            outcomes.pop_front();
            count = outcome.count;
            installed = outcome.installed;
            return outcome.result;
        };
        return runPasses(config, {}, repository, runner);
    }

    static std::string updateState()
    {
        return fs::exists(UPDATE_STATE_FILE) ? readFile(UPDATE_STATE_FILE) : "(none)";
    }

    Config config;
    std::vector<Config> calls; // the options of each run
};

TEST_F(PassLoop, CheckOnlyIsOnePassAndLeavesAPartlyInstalledStateAlone)
{
    config.checkOnly = true;
    EXPECT_EQ(run({{RunResult::Ok, 4, 0}}), RunResult::Ok);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].checkOnly && !calls[0].cacheOnly);
    EXPECT_EQ(updateState(), "AVAILABLE\n");
    writeFile(UPDATE_STATE_FILE, "PENDING\n");
    (void)readUpdateState();
    EXPECT_EQ(run({{RunResult::Ok, 4, 0}}), RunResult::Ok);
    EXPECT_EQ(updateState(), "PENDING\n");
}

} // namespace
} // namespace updater::testing
