// The command-line options: their popt table (order, names and help texts are
// part of the interface) and how they are applied over the configuration.
#pragma once

#include <array>
#include <popt.h>

#include "config/config.h"

namespace updater {

// One variable per option, filled by popt while parsing and applied to the
// Config only after both configuration files were read: a flag can only switch
// a setting on, and an integer of 0 counts as not given.
class CommandLine {
public:
    static constexpr size_t TABLE_SIZE = 25; // 23 options, popt's help table, the end

    CommandLine() = default;
    ~CommandLine(); // popt leaves its copies of string arguments to the application
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    // The table for rpmcliInit; it points into this object, which must outlive the parse.
    std::array<poptOption, TABLE_SIZE> table();

    // Applies the options over the configuration files' settings.
    void applyTo(Config& config) const;

    int quiet = 0;
    char* logLevel = nullptr;
    char* repo = nullptr;
    char* repoUrl = nullptr;
    int logToStderr = 0;
    char* logTo = nullptr;
    int checkOnly = 0;
    int test = 0;
    int noSigCheck = 0;
    int noPkgSigCheck = 0;
    int noMdSigCheck = 0;
    int noReboot = 0;
    int background = 0;
    int cacheOnly = 0;
    int noCacheClean = 0;
    int checkDbHeaders = 0;
    int maxWaitTime = 0;
    int lockTimeout = 0;
    char* cacheDir = nullptr;
    char* confFile = nullptr;
    int allowMetadataRollback = 0;
    int version = 0;
    int clearRebootStatus = 0;
};

} // namespace updater
