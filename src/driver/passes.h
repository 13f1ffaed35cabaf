// The update passes over the chosen repository and the reboot after them.
#pragma once

#include <set>
#include <string>

#include "config/config.h"
#include "driver/runresult.h"

namespace updater {

class RepositoryData;

// The pass loop: the counting run, the run without add-ons, the add-on run,
// and the retry with the updater alone. Gives the final result; Reboot asks
// the exit sequence for rebootSystem.
RunResult runPasses(const Config& config, const std::set<std::string>& namedPackages,
                    RepositoryData& repositoryData);

// Re-execs init and starts the delayed reboot; gives the exit code, 0 or 2.
int rebootSystem();

} // namespace updater
