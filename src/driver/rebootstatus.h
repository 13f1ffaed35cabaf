// The status a started reboot leaves behind. REBOOTING refuses every start,
// so once the device has come up again it must turn back into READY; the
// boot-time unit does that, before any scheduled run, through this unit.
#pragma once

#include <ctime>
#include <optional>

namespace updater {

constexpr const char* PROC_STAT_FILE = "/proc/stat";

// When this boot began (seconds since the epoch): the "btime" line of `path`.
// None, after logging, when the file or the line cannot be read.
std::optional<time_t> bootTime(const char* path = PROC_STAT_FILE);

// Turns a REBOOTING status written before `bootStarted` into READY with a
// synced directory. A REBOOTING written since then, and every other word,
// stay as they are. False (after logging) when the status file cannot be
// read or rewritten.
[[nodiscard]] bool clearRebootStatus(time_t bootStarted);

} // namespace updater
