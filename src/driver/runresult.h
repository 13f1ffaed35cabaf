// Result of one update run and of the pass loop.
#pragma once

namespace updater {

enum class RunResult : int {
    Ok = 0,      // finished; nothing more wanted
    Reboot = -1, // packages installed; a reboot is wanted
    Error = 1,   // stopped before anything was installed in this run
    Fatal = 2,   // rpm was interrupted while installing; status CORRUPTED written
    Failed = -2, // the update could not be done; worth a retry with the updater alone
};

} // namespace updater
