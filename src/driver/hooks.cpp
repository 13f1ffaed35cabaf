#include "driver/hooks.h"

#include "child/childprocess.h"
#include "log/logger.h"

namespace updater {

RunResult runHook(const std::string& name, const std::optional<std::string>& argument)
{
    ChildProcess hook(HOOK_PROGRAM);
    LOG(info, "running %s hook", name.c_str());
    hook.addArgument(name);
    hook.addArgument(UPDATER_VERSION);
    if (argument)
        hook.addArgument(*argument);
    if (!hook.run()) {
        LOG(warn, "failed starting hook, continuing anyways");
        return RunResult::Ok;
    }
    if (!hook.exited()) {
        LOG(error, "hook was interrupted");
        return RunResult::Error;
    }
    if (hook.exitCode() != 0) {
        LOG(error, "hook failed (exit code %i)", hook.exitCode());
        return RunResult::Failed;
    }
    return RunResult::Ok;
}

} // namespace updater
