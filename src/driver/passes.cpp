#include "driver/passes.h"

#include "log/logger.h"
#include "repo/repositorydata.h"

namespace updater {

RunResult runPasses(const Config&, const std::set<std::string>&, RepositoryData&)
{
    // The update run is not wired in yet: nothing was updated, so the run
    // ends with an error rather than pretending success.
    return RunResult::Error;
}

int rebootSystem()
{
    // No pass asks for a reboot until the update run is wired in; a request
    // that cannot start the reboot is the fatal case.
    LOG(fatal, "failed to start reboot process");
    return 2;
}

} // namespace updater
