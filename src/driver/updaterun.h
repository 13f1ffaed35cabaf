// One update run over the chosen repository: metadata, the selection of newer
// packages and their dependencies, the report, and (unless only checking) the
// package download, their signatures and rpm, which tests or installs them.
#pragma once

#include "config/config.h"
#include "driver/runresult.h"
#include "resolver/resolver.h"

namespace updater {

class RepositoryData;

// The provide every selected package's "updater-running" requires must meet.
constexpr const char* UPDATER_RUNNING = "updater-running";

// Runs one update with the pass's options and name sets (include: empty
// means all; pull: taken even when nothing of the name is installed).
// `count` is 0 until the selection has passed the dependency checks, then
// the number of selected packages. `installed` is the number of selected
// packages the rpm database holds once rpm ended by itself, whatever its
// exit code (some may be in place), else 0: a run that stops before rpm, or
// only tests, installs nothing. A package rpm skipped fails the run even
// when rpm ended with 0. The status file moves DOWNLOADING, TESTING or
// UPDATING, PKGSDONE (before the posttest or postupdate hook); CORRUPTED
// when rpm is interrupted while installing (Fatal).
RunResult runUpdate(const Config& options, const NameSet& include, const NameSet& exclude,
                    const NameSet& excludedGroups, const NameSet& pull, RepositoryData& repository,
                    unsigned& count, unsigned& installed);

} // namespace updater
