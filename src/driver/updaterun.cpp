#include "driver/updaterun.h"

#include <cstdio>
#include <optional>
#include <string>
#include <unistd.h>

#include "child/childprocess.h"
#include "download/filehelpers.h"
#include "driver/hooks.h"
#include "driver/signals.h"
#include "driver/status.h"
#include "driver/statusrecord.h"
#include "driver/version.h"
#include "log/failureclass.h"
#include "log/logger.h"
#include "pgp/pgp.h"
#include "repo/clockcheck.h"
#include "repo/repositorydata.h"
#include "rpmdb/dbdata.h"

namespace updater {

namespace {

constexpr const char* RPM_PROGRAM = "rpm";
constexpr const char* UPDATER_PACKAGE = "updater";

// A step that ends the run gives its result; nullopt lets the run go on.
using Stop = std::optional<RunResult>;

// Downloaded metadata, or the cached copy with cacheOnly. Termination signals
// end the process at once while the download runs.
Stop loadMetadata(const Config& options, RepositoryData& repository)
{
    if (options.cacheOnly) {
        if (repository.loadFromCache())
            return std::nullopt;
        LOG(error, "could not load repository data");
        return RunResult::Error;
    }
    if (!enableTermination() || terminationRequested)
        return RunResult::Error;
    const bool updated = repository.update("");
    // Caught again whatever the outcome: the rest of the run, its status
    // writes included, ends through the exit sequence.
    if (!disableTermination())
        return RunResult::Error;
    if (!updated) {
        LOG(error, "could not update repository data");
        return RunResult::Error;
    }
    return std::nullopt;
}

void reportUnsatisfied(const UnsatisfiedSet& unsatisfied)
{
    LOG(error, "unsatisfied non-file dependencies:");
    for (const Dependency& require : unsatisfied) {
        if (!require.name.view().empty() && !require.name.view().starts_with('/'))
            LOG(error, "\t%s", require.toString().c_str());
    }
    LOG(error, "cannot update");
}

// Pulls in what the selection's requires need; refuses open requires and
// packages that need a newer updater than this one.
Stop completeSelection(const Resolver& resolver, const RepositoryData& repository, NewPackages& selection)
{
    UnsatisfiedSet unsatisfied;
    const bool closed = resolver.closeDependencies(repository.packages(), selection, unsatisfied,
                                                   [] { return terminationRequested != 0; });
    if (terminationRequested)
        return RunResult::Error;
    if (!closed) {
        noteFailure(FailureClass::dependency);
        reportUnsatisfied(unsatisfied);
        return RunResult::Failed;
    }
    const Dependency running(PooledString(UPDATER_RUNNING), Evr::parse(UPDATER_VERSION), EQUAL);
    if (resolver.checkProvide(running, selection, unsatisfied))
        return std::nullopt;
    noteFailure(FailureClass::dependency);
    for (const Dependency& require : unsatisfied)
        LOG(error, "newer updater required to install: %s", require.toString().c_str());
    return RunResult::Failed;
}

// "version-release", as the status record names a release.
std::string evrText(const Evr& evr) { return std::string(evr.version.c_str()) + "-" + evr.release.c_str(); }

// The installed release package, when there is one.
std::optional<std::string> installedRelease(const Resolver& resolver, const std::string& releasePackage)
{
    const PackageRange installed = resolver.findInstalled(releasePackage);
    if (releasePackage.empty() || installed.empty())
        return std::nullopt;
    return evrText(installed.begin()->second.evr);
}

const char* actionWord(const Config& options)
{
    return options.checkOnly ? "need to" : options.test ? "testing" : "starting";
}

// The update count, the firmware or updater line, and the package files. The
// list is printed even when quiet: it is what a quiet check reports.
void report(const Config& options, const NewPackages& selection)
{
    const unsigned count = static_cast<unsigned>(selection.size());
    if (!options.quiet) {
        LOG(info, "--- %u UPDATE(S) ---", count);
        auto release = selection.find(std::string_view(options.releasePackage));
        auto updater = selection.find(std::string_view(UPDATER_PACKAGE));
        if (release != selection.end())
            LOG(info, "--- FIRMWARE %s-%s ---", release->second.evr.version.c_str(),
                release->second.evr.release.c_str());
        else if (updater != selection.end())
            LOG(info, "--- UPDATER %s-%s ---", updater->second.evr.version.c_str(),
                updater->second.evr.release.c_str());
    }
    LOG(info, "%s update (%u packages):", actionWord(options), count);
    for (const auto& [name, package] : selection)
        LOG(info, "\t%s", baseName(package.location.view()).c_str());
}

// A hook that failed or was interrupted stops the run with its result.
RunResult hookStopped(RunResult hook)
{
    noteFailure(FailureClass::hook);
    return hook;
}

// The download hook, then the packages into the cache. SIGHUP stays ignored
// from here on; the other termination signals end the process at once while
// the packages are downloaded.
Stop downloadPackages(RepositoryData& repository, const NewPackages& selection)
{
    if (terminationRequested || !ignoreHangup())
        return RunResult::Error;
    if (const RunResult hook = runHook("download"); hook != RunResult::Ok)
        return hookStopped(hook);
    if (!enableTermination() || terminationRequested)
        return RunResult::Error;
    LOG(info, "downloading %d packages", static_cast<int>(selection.size()));
    if (!writeSystemStatus(SystemStatus::DOWNLOADING, false))
        LOG(warn, "failed updating status file");
    const bool fetched = repository.fetchPackages(selection);
    if (!disableTermination())
        return RunResult::Error;
    if (!fetched) {
        LOG(error, "failed downloading packages");
        return RunResult::Failed;
    }
    return std::nullopt;
}

// Every package file against the database's keys; skipped when the database
// holds none. A refusal while the clock is behind the metadata or a key
// names the clock.
Stop checkSignatures(const Config& options, const RepositoryData& repository, const NewPackages& selection)
{
    RpmDB database;
    // The header check flag goes in as it stands here (the resolver set-up
    // inverts it); the signature check sets its own verify flags per read.
    if (!database.open(options.checkDbHeaders)) {
        noteFailure(FailureClass::rpm);
        LOG(error, "failed opening rpm DB");
        return RunResult::Error;
    }
    if (!database.hasPublicKeys())
        return std::nullopt;
    LOG(info, "verifying package signatures");
    for (const auto& [name, package] : selection) {
        if (database.checkPackageSignature(package.localPath.str()))
            continue;
        if (!blameClock(repository.repomdFacts().newestTimestamp, newestKeyCreation(database.readPublicKeys()),
                        time(nullptr)))
            noteFailure(FailureClass::packageSignature);
        return RunResult::Failed;
    }
    return std::nullopt;
}

// How rpm is run: "rpm --test -U paths..." or
// "rpm --define=__nofsync nofsync -v -U paths...".
struct RpmCommand {
    ChildProcess rpm{RPM_PROGRAM};
    SystemStatus status = SystemStatus::UPDATING;
    RunResult success = RunResult::Reboot;
};

RpmCommand rpmCommand(const Config& options, const NewPackages& selection)
{
    RpmCommand command;
    if (options.test) {
        command.rpm.addArgument("--test");
        LOG(info, "testing package(s) update");
        command.status = SystemStatus::TESTING;
        command.success = RunResult::Ok;
    } else {
        command.rpm.addArgument("--define=__nofsync nofsync");
        command.rpm.addArgument("-v");
        LOG(info, "updating package(s)");
        command.success = options.noReboot ? RunResult::Ok : RunResult::Reboot;
    }
    command.rpm.addArgument("-U");
    for (const auto& [name, package] : selection)
        command.rpm.addArgument(package.localPath.str());
    return command;
}

// How many of the selected packages rpm really installed. rpm may skip one
// (a package already added to its transaction) and still end with 0; each
// one missing is named. When the database cannot be read, rpm's word is
// taken.
unsigned countInstalled(const NewPackages& selection)
{
    RpmDB database;
    if (!database.open(true))
        return static_cast<unsigned>(selection.size());
    unsigned installed = 0;
    for (const auto& [name, package] : selection) {
        if (database.isInstalled(package))
            ++installed;
        else
            LOG(error, "package '%s' was not installed by rpm", package.label().c_str());
    }
    return installed;
}

// After rpm ended, by exit or otherwise. PKGSDONE is on disk before the
// posttest or postupdate hook runs: rpm is done, and a crash during a slow
// hook must not make the next start take the system for corrupted.
RunResult rpmOutcome(const Config& options, const ChildProcess& rpm, RunResult success, const std::string& countText,
                     unsigned missing)
{
    if (!rpm.exited()) {
        noteFailure(FailureClass::interrupted);
        if (options.test) {
            LOG(warn, "rpm was interrupted while testing package(s) installation");
            return RunResult::Error;
        }
        LOG(fatal, "rpm was interrupted, installation may be incomplete; SYSTEM MAY BE CORRUPTED");
        if (!writeSystemStatus(SystemStatus::CORRUPTED, false))
            LOG(warn, "failed updating status file");
        return RunResult::Fatal;
    }
    if (!writeSystemStatus(SystemStatus::PKGSDONE, true))
        LOG(warn, "failed updating status file");
    (void)runHook(options.test ? "posttest" : "postupdate", countText);
    if (rpm.exitCode() != 0) {
        noteFailure(FailureClass::rpm);
        LOG(error, "package installation FAILED (exit code %i)", rpm.exitCode());
        return RunResult::Failed;
    }
    if (missing > 0) {
        noteFailure(FailureClass::rpm);
        LOG(error, "package installation FAILED (%u of %s packages not installed)", missing, countText.c_str());
        return RunResult::Failed;
    }
    LOG(info, "packages %s OK", options.test ? "tested" : "installed");
    return success;
}

// The test or update hook, then rpm. rpm never starts unless TESTING or
// UPDATING is on disk, so that an interrupted install is seen at the next
// start.
RunResult runRpm(const Config& options, const NewPackages& selection, unsigned& installed)
{
    char countText[32];
    snprintf(countText, sizeof countText, "%u", static_cast<unsigned>(selection.size()));
    if (const RunResult hook = runHook(options.test ? "test" : "update", countText); hook != RunResult::Ok)
        return hookStopped(hook);
    RpmCommand command = rpmCommand(options, selection);
    if (terminationRequested)
        return RunResult::Error;
    if (!writeSystemStatus(command.status, true)) {
        LOG(error, "failed setting status file for launching rpm, cannot continue");
        return RunResult::Error;
    }
    if (!command.rpm.run()) {
        noteFailure(FailureClass::rpm);
        LOG(error, "failed starting rpm to install packages, no packages upgraded");
        if (!writeSystemStatus(SystemStatus::READY, true))
            LOG(warn, "failed updating status file");
        return RunResult::Failed;
    }
    if (!options.test)
        sync();
    if (command.rpm.exited() && !options.test)
        installed = countInstalled(selection);
    const unsigned missing = options.test ? 0 : static_cast<unsigned>(selection.size()) - installed;
    return rpmOutcome(options, command.rpm, command.success, countText, missing);
}

} // namespace

RunResult runUpdate(const Config& options, const NameSet& include, const NameSet& exclude,
                    const NameSet& excludedGroups, const NameSet& pull, RepositoryData& repository,
                    unsigned& count, unsigned& installed)
{
    count = 0;
    installed = 0;
    if (const Stop stop = loadMetadata(options, repository))
        return *stop;
    StatusRecord& record = StatusRecord::instance();
    record.setRevision(repository.repomdFacts().revision);
    Resolver resolver;
    if (!resolver.init(options)) {
        noteFailure(FailureClass::rpm);
        LOG(error, "could not initialize resolver");
        return RunResult::Error;
    }
    record.setRelease(installedRelease(resolver, options.releasePackage));
    NewPackages selection = resolver.resolveNewer(repository.packages(), include, exclude, excludedGroups, pull);
    if (selection.empty()) {
        if (!options.quiet) {
            LOG(info, "--- 0 UPDATE(S) ---");
            LOG(info, "no updates");
        }
        return RunResult::Ok;
    }
    if (const Stop stop = completeSelection(resolver, repository, selection))
        return *stop;
    report(options, selection);
    count = static_cast<unsigned>(selection.size());
    record.noteSelection(count);
    if (options.checkOnly)
        return RunResult::Ok;
    if (const Stop stop = downloadPackages(repository, selection))
        return *stop;
    if (!options.noPkgSigCheck) {
        if (const Stop stop = checkSignatures(options, repository, selection))
            return *stop;
    }
    const RunResult result = runRpm(options, selection, installed);
    const bool installedAll = !options.test && (result == RunResult::Ok || result == RunResult::Reboot);
    if (const auto release = selection.find(std::string_view(options.releasePackage));
        installedAll && release != selection.end())
        record.setRelease(evrText(release->second.evr));
    return result;
}

} // namespace updater
