#include "driver/options.h"

#include <cstdlib>

namespace updater {

CommandLine::~CommandLine()
{
    for (char* text : {logLevel, repo, repoUrl, logTo, cacheDir, confFile})
        free(text);
}

std::array<poptOption, CommandLine::TABLE_SIZE> CommandLine::table()
{
    return {{
        {"quiet", 'q', POPT_ARG_NONE, &quiet, 0, "Do not output messages if nothing to be done.", nullptr},
        {"log-level", 'l', POPT_ARG_STRING, &logLevel, 0,
         "Set the log level to one of trace, debug, info, warn, error or fatal.", nullptr},
        {"repo", 'r', POPT_ARG_STRING, &repo, 0,
         "Use the specified repo from the configuration file instead of the default.", "repo-id"},
        {"repo-url", '\0', POPT_ARG_STRING, &repoUrl, 0, "Override the URL for a specific repository ID.",
         "repo-id:url"},
        {"log-to-stderr", '\0', POPT_ARG_NONE, &logToStderr, 0,
         "Output logs to stderr in addition to the outputs in the config file.", nullptr},
        {"log-to", '\0', POPT_ARG_STRING, &logTo, 0, "Output logs also to the given file (not truncated)", "file"},
        {"check-only", 'n', POPT_ARG_NONE, &checkOnly, 0,
         "Checks and reports if any updates are required, does not update any packages.", nullptr},
        {"test", 'N', POPT_ARG_NONE, &test, 0, "Tests the updates but does not install them.", nullptr},
        {"no-sig-check", '\0', POPT_ARG_NONE, &noSigCheck, 0,
         "disables checking of metadata and package signatures.", nullptr},
        {"no-pkg-sig-check", '\0', POPT_ARG_NONE, &noPkgSigCheck, 0, "disables checking of package signatures.",
         nullptr},
        {"no-md-sig-check", '\0', POPT_ARG_NONE, &noMdSigCheck, 0, "disables checking of metadata signatures.",
         nullptr},
        {"no-reboot", '\0', POPT_ARG_NONE, &noReboot, 0,
         "Prevent reboot after updates, even if program determines that a reboot is necessary.", nullptr},
        {"background", 'b', POPT_ARG_NONE, &background, 0, "Background and detach process after initialization.",
         nullptr},
        {"cache-only", 'C', POPT_ARG_NONE, &cacheOnly, 0,
         "runs from the cache, but required packages are still downloaded.", nullptr},
        {"no-cache-clean", '\0', POPT_ARG_NONE, &noCacheClean, 0,
         "prevents the cleaning of cached packages at startup / exit, mostly intended for debugging.", nullptr},
        {"check-db-headers", '\0', POPT_ARG_NONE, &checkDbHeaders, 0,
         "Force checking of package headers in rpm database; these are not checked by default since it is "
         "fairly slow.",
         nullptr},
        {"max-wait-time", '\0', POPT_ARG_INT, &maxWaitTime, 0,
         "Specifies a maximum wait time before processing starts; the actual wait is a random duration between 0 "
         "and the specified value. Should be greater than zero or negative to disable.",
         "seconds"},
        {"lock-timeout", '\0', POPT_ARG_INT, &lockTimeout, 0,
         "Specifies the timeout when waiting to obtain the cache lock. Should be greater than zero or negative to "
         "disable.",
         "seconds"},
        {"cache-dir", '\0', POPT_ARG_STRING, &cacheDir, 0, "Specify a cache directory other than the default.",
         "<dir>"},
        {"conf-file", '\0', POPT_ARG_STRING, &confFile, 0,
         "Specify a configuration file other than the default '/etc/updater.conf'.", "<file>"},
        {"allow-metadata-rollback", '\0', POPT_ARG_NONE, &allowMetadataRollback, 0,
         "Accept repository metadata older than the metadata accepted before, for a deliberate rollback.", nullptr},
        {"version", '\0', POPT_ARG_NONE, &version, 0, "Print the program's version and exit.", nullptr},
        {"clear-reboot-status", '\0', POPT_ARG_NONE, &clearRebootStatus, 0,
         "Turn a REBOOTING status left from before this boot into READY and exit; meant for the boot-time unit.",
         nullptr},
        POPT_AUTOHELP POPT_TABLEEND,
    }};
}

void CommandLine::applyTo(Config& config) const
{
    config.quiet = config.quiet || quiet;
    if (logLevel)
        config.logLevel = parseLogLevel(logLevel);
    config.logToStderr = config.logToStderr || logToStderr;
    config.checkOnly = config.checkOnly || checkOnly;
    config.test = config.test || test;
    config.noPkgSigCheck = config.noPkgSigCheck || noSigCheck || noPkgSigCheck;
    config.noMdSigCheck = config.noMdSigCheck || noSigCheck || noMdSigCheck;
    config.noReboot = config.noReboot || noReboot;
    config.background = config.background || background;
    config.cacheOnly = config.cacheOnly || cacheOnly;
    config.noCacheClean = config.noCacheClean || noCacheClean;
    config.checkDbHeaders = config.checkDbHeaders || checkDbHeaders;
    if (maxWaitTime != 0)
        config.maxWaitTime = maxWaitTime;
    if (lockTimeout != 0)
        config.lockTimeout = lockTimeout;
    if (cacheDir)
        config.cacheDir = cacheDir;
    config.allowMetadataRollback = config.allowMetadataRollback || allowMetadataRollback;
}

} // namespace updater
