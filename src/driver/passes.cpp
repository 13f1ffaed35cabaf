#include "driver/passes.h"

#include "child/childprocess.h"
#include "driver/status.h"
#include "driver/statusrecord.h"
#include "driver/updaterun.h"
#include "log/failureclass.h"
#include "log/logger.h"
#include "repo/repositorydata.h"

namespace updater {

namespace {

const NameSet UPDATER_ONLY{"updater"};

// What the passes of one program run share.
struct PassLoop {
    const Config& config;
    NameSet include;   // the named packages (empty: all), or the updater alone after a retry
    NameSet pull;      // the add-ons: taken even when nothing of their name is installed
    bool multiPass;    // counting run, then the installing runs
    unsigned firstCount = 0;     // count of the first run that reported one
    unsigned installedCount = 0; // packages handed to rpm for installing, over all runs
    bool rebootWanted = false;

    bool updaterOnly() const { return include == UPDATER_ONLY; }
};

// One pass's run options and name sets.
struct Pass {
    Config options;
    NameSet exclude;
    NameSet excludedGroups;
};

Pass setUpPass(PassLoop& loop, unsigned number)
{
    Pass pass{loop.config, {}, {}};
    Config& options = pass.options;
    if (number == 0) {
        options.checkOnly = options.checkOnly || loop.multiPass;
        return pass;
    }
    options.cacheOnly = true;
    if (!loop.multiPass)
        return pass; // the updater-only retry
    options.quiet = true;
    if (number == 1) {
        pass.exclude.insert(loop.config.addonPackages.begin(), loop.config.addonPackages.end());
        if (!loop.config.releasePackage.empty())
            pass.exclude.insert(loop.config.releasePackage);
        pass.excludedGroups.insert(loop.config.addonGroups.begin(), loop.config.addonGroups.end());
        if (!loop.config.quiet)
            LOG(info, "pass 1: all but add-ons");
    } else {
        loop.multiPass = false;
        if (!loop.config.quiet)
            LOG(info, "pass 2: add-ons");
    }
    return pass;
}

// The loop proper; gives the result of the last run, as the retry rules
// have turned it.
RunResult runAllPasses(PassLoop& loop, RepositoryData& repositoryData, const UpdateRunner& runUpdate)
{
    StatusRecord& record = StatusRecord::instance();
    for (unsigned number = 0;; ++number) {
        record.setPass(number);
        if (!writeSystemStatus(SystemStatus::ANALYZING, false))
            LOG(warn, "failed updating status file");
        if (!loop.config.noCacheClean)
            (void)repositoryData.cleanPackageCache();
        const Pass pass = setUpPass(loop, number);
        unsigned count = 0;
        unsigned installed = 0;
        RunResult result = runUpdate(pass.options, loop.include, pass.exclude, pass.excludedGroups, loop.pull,
                                     repositoryData, count, installed);
        if (loop.firstCount == 0)
            loop.firstCount = count;
        // Only what rpm was run to install counts as installed: a run that
        // stopped before rpm, a check and a test install nothing.
        loop.installedCount += installed;
        record.addInstalled(installed);
        if (result == RunResult::Failed) {
            if (loop.updaterOnly())
                return RunResult::Error;
            LOG(error, "failed updating, will try updating updater only");
            if (!loop.config.quiet)
                LOG(info, "--- RETRY UPDATER ONLY ---");
            loop.multiPass = false;
            loop.include = UPDATER_ONLY;
            continue;
        }
        if (result == RunResult::Ok && loop.updaterOnly() && count == 0)
            result = RunResult::Error; // the retry found no updater to install
        if (result == RunResult::Reboot)
            loop.rebootWanted = true;
        const bool goOn = result == RunResult::Ok || result == RunResult::Reboot;
        if (!goOn || !loop.multiPass)
            return result;
    }
}

bool succeeded(RunResult result) { return result == RunResult::Ok || result == RunResult::Reboot; }

// PENDING while a part of the counted updates is installed (or only the
// updater), COMPLETE once all are, AVAILABLE when updates were found; a
// stored CORRUPTED is never replaced.
void writeFinalUpdateState(const PassLoop& loop, RunResult result)
{
    const UpdateState stored = readUpdateState();
    if (stored == UpdateState::CORRUPTED)
        return;
    UpdateState state = stored;
    if (loop.installedCount > 0 && (loop.installedCount < loop.firstCount || loop.updaterOnly()))
        state = UpdateState::PENDING;
    else if (loop.installedCount >= loop.firstCount && succeeded(result))
        state = UpdateState::COMPLETE;
    else if (stored != UpdateState::PENDING && loop.firstCount > 0)
        state = UpdateState::AVAILABLE;
    if (state != UpdateState::NONE)
        writeUpdateState(state);
}

// The installing runs succeeded but installed fewer packages than the
// counting run found: some were installed behind the updater's back or
// vanished, and the device is in an unknown mix of releases.
bool cutShort(const PassLoop& loop, RunResult result)
{
    return succeeded(result) && loop.installedCount > 0 && loop.installedCount < loop.firstCount &&
           !loop.updaterOnly() && !loop.config.checkOnly && !loop.config.test;
}

} // namespace

RunResult runPasses(const Config& config, const std::set<std::string>& namedPackages,
                    RepositoryData& repositoryData)
{
    return runPasses(config, namedPackages, repositoryData, runUpdate);
}

RunResult runPasses(const Config& config, const std::set<std::string>& namedPackages,
                    RepositoryData& repositoryData, const UpdateRunner& runUpdate)
{
    PassLoop loop{config,
                  NameSet(namedPackages.begin(), namedPackages.end()),
                  NameSet(config.addonPackages.begin(), config.addonPackages.end()),
                  namedPackages.empty() && !config.checkOnly};
    RunResult result = runAllPasses(loop, repositoryData, runUpdate);
    if (!config.noCacheClean)
        (void)repositoryData.cleanPackageCache();
    if (namedPackages.empty())
        writeFinalUpdateState(loop, result);
    if (cutShort(loop, result)) {
        noteFailure(FailureClass::rpm);
        LOG(fatal, "failed passing all updates but update process succeeded, SYSTEM MAY BE CORRUPTED\n");
        if (!writeSystemStatus(SystemStatus::CORRUPTED, false))
            LOG(warn, "failed updating status file");
        return RunResult::Fatal;
    }
    if (loop.rebootWanted && result != RunResult::Fatal)
        return RunResult::Reboot; // a later Error does not cancel it
    return result;
}

int rebootSystem()
{
    LOG(info, "rebooting for upgrades to take full effect");
    ChildProcess telinit("telinit");
    telinit.addArgument("u");
    if (!telinit.run())
        LOG(warn, "failed to call telinit");
    else if (!telinit.exited())
        LOG(warn, "telinit was interrupted");
    else if (telinit.exitCode() != 0)
        LOG(warn, "failed re-execing init (exit code %i)", telinit.exitCode());
    ChildProcess shutdown("shutdown");
    shutdown.addArgument("-r");
    shutdown.addArgument("+1");
    shutdown.addArgument("rebooting after upgrade");
    if (!shutdown.start()) {
        LOG(fatal, "failed to start reboot process");
        return 2;
    }
    if (!writeSystemStatus(SystemStatus::REBOOTING, true))
        LOG(warn, "failed updating status file");
    return 0;
}

} // namespace updater
