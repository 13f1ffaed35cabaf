// The update passes over the chosen repository and the reboot after them.
#pragma once

#include <functional>
#include <set>
#include <string>

#include "config/config.h"
#include "driver/runresult.h"
#include "resolver/resolver.h"

namespace updater {

class RepositoryData;

// One update run as the pass loop calls it: runUpdate, or a stand-in in tests.
using UpdateRunner = std::function<RunResult(const Config& options, const NameSet& include, const NameSet& exclude,
                                             const NameSet& excludedGroups, const NameSet& pull,
                                             RepositoryData& repository, unsigned& count,
                                             unsigned& installed)>;

// The pass loop. Without named packages and unless only checking: a counting
// run, a run of everything but the add-ons and the release package, and a
// run of the rest, each later run from the cached metadata; with named
// packages or check-only, one run. A Failed run is retried once with the
// updater package alone. Then the update-state file is decided, an update
// cut short is detected (Fatal, CORRUPTED), and a reboot asked for by any
// run survives a later Error. Reboot asks the exit sequence for
// rebootSystem.
RunResult runPasses(const Config& config, const std::set<std::string>& namedPackages,
                    RepositoryData& repositoryData);
RunResult runPasses(const Config& config, const std::set<std::string>& namedPackages,
                    RepositoryData& repositoryData, const UpdateRunner& runUpdate);

// Re-execs init ("telinit u", waited for) and starts the delayed reboot
// ("shutdown -r +1 ...", detached); writes REBOOTING. Gives the exit code:
// 0, or 2 when the reboot could not be started.
int rebootSystem();

} // namespace updater
