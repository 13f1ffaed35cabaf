// The update hook: an external program of the device's other software that
// follows the update at fixed points ("init", "download", "test", "update",
// "posttest", "postupdate"). Only its path, its arguments and the reading of
// its result are fixed here.
#pragma once

#include <optional>
#include <string>

#include "driver/runresult.h"
#include "driver/version.h"

namespace updater {

constexpr const char* HOOK_PROGRAM = "/usr/lib/updater/hook";

// Runs the hook as: hook <name> 1.8.3 [argument], its output into the log.
// Ok: go on (also when it could not be started); Error: it was interrupted;
// Failed: it exited with a non-zero code.
RunResult runHook(const std::string& name, const std::optional<std::string>& argument = std::nullopt);

} // namespace updater
