// The pass loop over a scripted update run. Runs inside a throwaway device
// root: the loop writes /var/lib/updater directly.
#include "driver/passes.h"

#include "driver/status.h"
#include "repo/repositorydata.h"
#include "testing/testing.h"

namespace updater::testing {
namespace {

TEST(PassLoop, CheckOnlyIsOnePassAndLeavesAPartlyInstalledStateAlone)
{
    fs::remove_all("/var/lib/updater");
    fs::create_directories("/var/lib/updater");
    (void)readUpdateState(); // forget what an earlier test wrote
    Config config;
    config.cacheDir = "/var/cache/updater/";
    config.checkOnly = true;
    RepositoryData repository(config, config.repositories.front());
    int runs = 0;
    auto runner = [&](const Config& options, const NameSet&, const NameSet&, const NameSet&, const NameSet&,
                      RepositoryData&, unsigned& count, unsigned& installed) {
        ++runs;
        EXPECT_TRUE(options.checkOnly && !options.cacheOnly);
        count = 4;
        installed = 0;
        return RunResult::Ok;
    };
    EXPECT_EQ(runPasses(config, {}, repository, runner), RunResult::Ok);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(readFile(UPDATE_STATE_FILE), "AVAILABLE\n");
    writeFile(UPDATE_STATE_FILE, "PENDING\n");
    (void)readUpdateState();
    EXPECT_EQ(runPasses(config, {}, repository, runner), RunResult::Ok);
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(readFile(UPDATE_STATE_FILE), "PENDING\n");
}

} // namespace
} // namespace updater::testing
