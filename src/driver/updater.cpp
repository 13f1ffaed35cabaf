#include "driver/updater.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <libxml/xmlversion.h>
#include <neon/ne_alloc.h>
#include <neon/ne_socket.h>
#include <new>
#include <optional>
#include <pwd.h>
#include <rpm/rpmcli.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "config/config.h"
#include "config/xmlreader.h"
#include "driver/hooks.h"
#include "driver/lock.h"
#include "driver/options.h"
#include "driver/passes.h"
#include "driver/rebootstatus.h"
#include "driver/signals.h"
#include "driver/startguards.h"
#include "driver/status.h"
#include "driver/statusrecord.h"
#include "driver/version.h"
#include "download/downloader.h"
#include "log/failureclass.h"
#include "repo/metadataguard.h"
#include "repo/repositorydata.h"

namespace updater {

namespace {

constexpr const char* LAST_LOG = "/var/log/updater/lastlog";

// Everything one program run carries from start-up to the exit sequence.
struct Run {
    Config config;
    CommandLine options;
    std::set<std::string> namedPackages;
    bool socketsReady = false;
    poptContext context = nullptr;
    FILE* devNull = nullptr; // rpm's own output stream
    int exitCode = 1;
    bool rebootWanted = false;
};

const char* exitWord(int exitCode)
{
    switch (exitCode) {
    case 0:
        return "OK";
    case 1:
        return "ERROR";
    case 2:
        return "FATAL";
    default:
        return "UNKNOWN";
    }
}

// Only the command line sets these two, so the mode is known before the
// configuration files are read.
const char* modeName(bool checkOnly, bool test)
{
    return checkOnly ? "check" : test ? "test" : "update";
}

int exitCodeFor(RunResult result)
{
    switch (result) {
    case RunResult::Ok:
    case RunResult::Reboot:
        return 0;
    case RunResult::Fatal:
        return 2;
    case RunResult::Error:
    case RunResult::Failed:
        break;
    }
    return 1;
}

// Allocator, XML, HTTP and rpm libraries, then the command line.
bool initLibraries(Run& run, int argc, char** argv, std::array<poptOption, CommandLine::TABLE_SIZE>& table)
{
    std::set_new_handler(onOutOfMemory);
    xmlCheckVersion(20901);
    routeXmlDiagnostics();
    ne_oom_callback(onOutOfMemory);
    if (ne_sock_init() != 0) {
        LOG(error, "failed initializing (neon)");
        return false;
    }
    run.socketsReady = true;
    rpmlogSetCallback(rpmLogBridge, nullptr);
    run.devNull = fopen("/dev/null", "we");
    if (run.devNull)
        rpmlogSetFile(run.devNull);
    else
        LOG(warn, "failed opening /dev/null output");
    run.context = rpmcliInit(argc, argv, table.data());
    if (!run.context) {
        LOG(error, "failed initializing (rpm)");
        return false;
    }
    while (const char* name = poptGetArg(run.context))
        run.namedPackages.insert(name);
    return true;
}

// Early log options, the defaults file, the configuration file, then the
// options over both.
bool readConfiguration(Run& run)
{
    const CommandLine& options = run.options;
    if (options.logTo)
        (void)Logger::instance().addFileOutput(options.logTo, LogLevel::trace, true);
    if (options.logLevel && (strcmp(options.logLevel, "trace") == 0 || strcmp(options.logLevel, "debug") == 0))
        Logger::instance().setThreshold(parseLogLevel(options.logLevel));
    if (!parseConfigFile(run.config, DEFAULTS_FILE, true))
        LOG(debug, "missing or incorrect defaults file '%s'", DEFAULTS_FILE);
    const char* configFile = options.confFile ? options.confFile : CONFIG_FILE;
    if (!parseConfigFile(run.config, configFile, false)) {
        noteFailure(FailureClass::configuration);
        LOG(error, "failed parsing configuration file '%s'", configFile);
        return false;
    }
    options.applyTo(run.config);
    return true;
}

// A relative cache directory is kept, with a warning; it always ends in '/'.
void normalizeCacheDir(std::string& cacheDir)
{
    if (cacheDir.empty()) {
        cacheDir = "./";
        LOG(warn, "cache dir empty, assuming '%s'", cacheDir.c_str());
    } else if (cacheDir[0] != '/')
        LOG(warn, "cache dir '%s' is not an absolute path", cacheDir.c_str());
    if (cacheDir.back() != '/')
        cacheDir += '/';
}

// --repo-url ID:URL replaces one repository's location.
bool applyRepoUrl(Config& config, const char* value)
{
    const std::string text = value;
    const size_t colon = text.find(':');
    if (colon == std::string::npos) {
        LOG(error, "missing ':' in --repo-url option");
        return false;
    }
    const std::string id = text.substr(0, colon);
    const std::string url = text.substr(colon + 1);
    if (id.empty() || url.empty()) {
        LOG(error, id.empty() ? "missing ID in --repo-url option" : "missing URL in --repo-url option");
        return false;
    }
    if (Repository* repository = findRepository(config, id))
        repository->location = url;
    else
        LOG(warn, "ignoring URL override for non-existing repo '%s'", id.c_str());
    return true;
}

// --repo enables one repository only; without it at most one may be enabled.
bool selectRepository(Config& config, const char* id)
{
    if (id) {
        Repository* chosen = findRepository(config, id);
        if (!chosen) {
            LOG(error, "no repository with ID '%s'", id);
            return false;
        }
        for (Repository& repository : config.repositories)
            repository.enabled = false;
        chosen->enabled = true;
        return true;
    }
    int enabled = 0;
    for (const Repository& repository : config.repositories)
        enabled += repository.enabled ? 1 : 0;
    if (enabled > 1) {
        LOG(error, "only one active repository supported");
        return false;
    }
    return true;
}

// The Logger's threshold and outputs as configured.
void setUpLogger(const Config& config)
{
    Logger& logger = Logger::instance();
    logger.setThreshold(config.logLevel);
    logger.setToStderr(config.logToStderr);
    logger.openSyslog(config.logToSyslog, LOG_PID, config.syslogFacility);
    LOG(debug, "initialized OK");
}

// HOME for the child programs, from the user database when missing.
void ensureHome()
{
    if (getenv("HOME"))
        return;
    const struct passwd* entry = getpwuid(getuid());
    if (!entry || !entry->pw_dir)
        LOG(warn, "HOME not set in environment but no entry in user database for current user");
    else if (setenv("HOME", entry->pw_dir, 0) != 0)
        LOG(warn, "failed to set HOME in environment");
    else
        LOG(debug, "HOME set to '%s' in environment", entry->pw_dir);
}

// Configuration, options, log outputs, working directory. False means exit 1
// without the exit line.
bool prepare(Run& run)
{
    if (!readConfiguration(run))
        return false;
    Config& config = run.config;
    normalizeCacheDir(config.cacheDir);
    if (!config.logToStderr && !config.logToSyslog) {
        config.logToStderr = true;
        LOG(error, "no log output! enabling stderr");
    }
    if ((run.options.repoUrl && !applyRepoUrl(config, run.options.repoUrl)) ||
        !selectRepository(config, run.options.repo)) {
        noteFailure(FailureClass::configuration);
        return false;
    }
    setUpLogger(config);
    if (chdir("/") != 0) {
        LOG(error, "failed to change to the root directory (%s)", errnoText().c_str());
        return false;
    }
    ensureHome();
    return true;
}

// The run's banner lines.
void announce(const Config& config, const char* mode)
{
    if (config.quiet)
        return;
    LOG(info, "%s version %s, product %s", PROGRAM_WORD, UPDATER_VERSION, config.productName.c_str());
    LOG(info, "--- MODE %s ---", mode);
    if (!config.network.proxyServer.empty())
        LOG(info, "using HTTP proxy '%s' port %u", config.network.proxyServer.c_str(), config.network.proxyPort);
}

// A run that passed the start checks always ends by writing READY (or, when
// FATAL, CORRUPTED); any other word left behind is a run that was cut off.
bool leftByInterruptedRun(SystemStatus status)
{
    switch (status) {
    case SystemStatus::DELAYING:
    case SystemStatus::ANALYZING:
    case SystemStatus::DOWNLOADING:
    case SystemStatus::TESTING:
    case SystemStatus::UPDATING:
    case SystemStatus::PKGSDONE:
        return true;
    default:
        return false;
    }
}

// The persisted status may refuse the start; sets the exit code then. From
// here the status record follows the run; it tells of a previous run that
// was cut off, seen by the status word it left or by its own record.
bool statusAllowsStart(Run& run)
{
    SystemStatus status;
    if (!readSystemStatus(status)) {
        LOG(error, "cannot recover status, aborting");
        return false;
    }
    StatusRecord& record = StatusRecord::instance();
    if (leftByInterruptedRun(status) || record.previousRunUnfinished()) {
        record.noteInterruptedRun(status);
        if (status != SystemStatus::UPDATING) // refused below with its own message
            LOG(warn, "the previous run was interrupted in state %s", statusWord(status));
    }
    record.stateChanged(status);
    record.activate();
    return checkStartStatus(status, run.exitCode);
}

// The first enabled repository.
const Repository* activeRepository(const Config& config)
{
    if (config.repositories.empty()) {
        noteFailure(FailureClass::configuration);
        LOG(error, "no repositories configured, nothing to do");
        return nullptr;
    }
    for (const Repository& repository : config.repositories) {
        if (repository.enabled)
            return &repository;
    }
    noteFailure(FailureClass::configuration);
    LOG(error, "no active repository, nothing to do");
    return nullptr;
}

// The init hook, the repository, the start delay and the passes. Gives the
// exit code; READY is written after it unless it is FATAL.
int runUpdates(Run& run)
{
    const Config& config = run.config;
    if (runHook("init") != RunResult::Ok) {
        noteFailure(FailureClass::hook);
        return 1;
    }
    const Repository* repository = activeRepository(config);
    if (!repository)
        return 1;
    if (!config.quiet)
        LOG(info, "updating packages from repository '%s' (URI '%s')", repository->name.c_str(),
            repository->location.c_str());
    RepositoryData repositoryData(config, *repository);
    repositoryData.setMetadataRecord(metadataRecordPath(METADATA_RECORD_DIR, repository->id));
    StatusRecord::instance().setRepository(repository->id, repositoryData.uri());
    if (!startDelay(config, repositoryData) || terminationRequested)
        return 1;
    const RunResult result = runPasses(config, run.namedPackages, repositoryData);
    run.rebootWanted = result == RunResult::Reboot;
    return exitCodeFor(result);
}

// The guarded part of the run, from the no-run file to the final status;
// every path leaves its exit code in run.exitCode. A refusal before the init
// hook writes no status: the lock may not be held, or the status is what
// refused the start.
void runGuarded(Run& run)
{
    const Config& config = run.config;
    if (runningDisabled()) {
        noteFailure(FailureClass::configuration);
        return;
    }
    const char* mode = modeName(config.checkOnly, config.test);
    if (config.background &&
        !goToBackground(config, mode, run.options.logTo ? run.options.logTo : "", run.exitCode)) {
        if (run.exitCode == 0)
            StatusRecord::instance().abandon(); // the parent: the child carries on
        return;
    }
    if (!acquireCacheLock(config.lockTimeout))
        return;
    (void)Logger::instance().addFileOutput(LAST_LOG, LogLevel::info, false);
    announce(config, mode);
    URLFetcher::initClass(config.network, config.download);
    if (const auto lockout = firmwareLockout()) {
        noteFailure(FailureClass::configuration);
        LOG(error, "firmware update is disabled: %s", lockout->c_str());
        return;
    }
    if (!statusAllowsStart(run))
        return;
    run.exitCode = runUpdates(run);
    if (run.exitCode != 2 && !writeSystemStatus(SystemStatus::READY, false))
        LOG(warn, "failed updating status file");
}

// Library teardown: in the exit sequence, and for a run refused before the
// guarded part.
void releaseLibraries(Run& run)
{
    if (run.context)
        rpmcliFini(run.context);
    rpmlogSetFile(nullptr);
    if (run.devNull)
        fclose(run.devNull);
    if (run.socketsReady)
        ne_sock_exit();
}

// The exit sequence: teardown, reboot when asked, exit line, and the caught
// signal raised again so that the process ends by it.
int finish(Run& run)
{
    releaseLibraries(run);
    if (run.rebootWanted)
        run.exitCode = rebootSystem();
    if (!run.config.quiet)
        LOG(info, "--- EXIT %s ---", exitWord(run.exitCode));
    (void)enableTermination();
    const bool terminated = terminationRequested && run.exitCode != 0;
    if (terminated) {
        noteFailure(FailureClass::interrupted);
        LOG(error, "terminated by signal #%i: %s", static_cast<int>(caughtSignal), strsignal(caughtSignal));
    }
    StatusRecord::instance().finish(run.exitCode);
    if (terminated)
        raiseCaughtSignal();
    return run.exitCode;
}

// Files the agent creates get the modes it gives them, whatever the caller's
// umask. A standard descriptor the caller left closed is opened on /dev/null:
// otherwise the next file opened takes its number, and lines meant for
// standard error end up in a log or the lock file.
void guardProcessState()
{
    umask(022);
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            (void)open("/dev/null", O_RDWR); // takes the lowest free number: fd
    }
}

// The boot-time unit's run: under the cache lock, a REBOOTING status from
// before this boot becomes READY. It needs no configuration file, so that a
// broken one cannot keep the device refusing updates; only --lock-timeout and
// --log-to apply.
int clearStatusAtBoot(const CommandLine& options)
{
    Config config;
    options.applyTo(config);
    if (options.logTo)
        (void)Logger::instance().addFileOutput(options.logTo, LogLevel::trace, true);
    const std::optional<time_t> booted = bootTime();
    if (!booted || !acquireCacheLock(config.lockTimeout))
        return 1;
    return clearRebootStatus(*booted) ? 0 : 1;
}

// --version and --clear-reboot-status: jobs that end before the configuration
// is read. Neither is an update run, so neither writes the status record.
int runJobBeforeConfiguration(Run& run)
{
    int code = 0;
    if (run.options.version)
        printf("%s %s\n", PROGRAM_WORD, UPDATER_VERSION);
    else
        code = clearStatusAtBoot(run.options);
    releaseLibraries(run);
    return code;
}

std::string programName(const char* argv0)
{
    const char* slash = strrchr(argv0, '/');
    return slash ? slash + 1 : argv0;
}

} // namespace

int run(int argc, char** argv)
{
    guardProcessState();
    Run run;
    const time_t started = time(nullptr);
    Logger::instance().setName(programName(argc > 0 ? argv[0] : PROGRAM_WORD));
    if (!installSignalHandlers())
        return 1;
    auto table = run.options.table();
    const bool initialized = initLibraries(run, argc, argv, table);
    if (initialized && (run.options.version || run.options.clearRebootStatus))
        return runJobBeforeConfiguration(run);
    const bool prepared = initialized && prepare(run);
    StatusRecord& record = StatusRecord::instance();
    record.begin(modeName(run.options.checkOnly, run.options.test), started);
    record.setProduct(run.config.productName);
    if (!prepared) {
        releaseLibraries(run);
        record.finish(1);
        return 1;
    }
    runGuarded(run);
    return finish(run);
}

int rpmLogBridge(rpmlogRec record, rpmlogCallbackData)
{
    const LogLevel level = rpmLogLevel(rpmlogRecPriority(record));
    if (!logEnabled(level))
        return 0;
    const char* text = rpmlogRecMessage(record);
    std::string message = text ? text : "";
    if (!message.empty() && message.back() == '\n')
        message.pop_back();
    logMessage(level, "rpmlib: %s", message.c_str());
    return 0;
}

LogLevel rpmLogLevel(int priority)
{
    switch (priority) {
    case RPMLOG_EMERG:
    case RPMLOG_ALERT:
    case RPMLOG_CRIT:
        return LogLevel::fatal;
    case RPMLOG_ERR:
        return LogLevel::error;
    case RPMLOG_WARNING:
        return LogLevel::warn;
    case RPMLOG_NOTICE:
    case RPMLOG_INFO:
        return LogLevel::info;
    case RPMLOG_DEBUG:
        return LogLevel::debug;
    default:
        return LogLevel::error;
    }
}

void onOutOfMemory()
{
    LOG(fatal, "out of memory, aborting execution");
    _exit(2);
}

} // namespace updater
