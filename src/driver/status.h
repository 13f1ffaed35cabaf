// The persisted state of the updater: the status file (which phase a run is
// in, written crash-safely so that an interrupted rpm is noticed at the next
// start) and the update-state file (whether updates are available, partly
// installed, complete, or the system is corrupted; read by other software).
#pragma once

namespace updater {

constexpr const char* STATUS_FILE = "/var/lib/updater/status";
constexpr const char* UPDATE_STATE_FILE = "/var/lib/updater/update-state";

// Stored as its word ("READY" ...) and a newline. A missing file means READY.
enum class SystemStatus : int {
    READY = 0,
    DELAYING = 1,
    ANALYZING = 2,
    DOWNLOADING = 3,
    TESTING = 4,
    UPDATING = 5,
    PKGSDONE = 6,
    CORRUPTED = 7,
    REBOOTING = 8,
};

// Stored as its word and a newline; NONE is never stored.
enum class UpdateState : int {
    NONE = -1,
    AVAILABLE = 0,
    PENDING = 1,
    COMPLETE = 2,
    CORRUPTED = 3,
};

// The status's word: "READY" ...
const char* statusWord(SystemStatus status);

// Reads the status file; false (after logging) when it cannot be read or
// holds an unknown word.
[[nodiscard]] bool readSystemStatus(SystemStatus& status);
// The same from `path` instead.
[[nodiscard]] bool readSystemStatus(const char* path, SystemStatus& status);

// Replaces the status file through a temporary file: write, chmod 0644,
// fsync, close, rename, and with syncDirectory an fdatasync of the directory.
// The temporary file never stays behind. CORRUPTED also writes the update
// state CORRUPTED.
[[nodiscard]] bool writeSystemStatus(SystemStatus status, bool syncDirectory);

// fdatasync of the directory that holds the status file.
[[nodiscard]] bool syncStatusDirectory();

// Reads the update-state file; NONE on any failure. The value is remembered.
UpdateState readUpdateState();
// The same from `path` instead.
UpdateState readUpdateState(const char* path);

// Replaces the update-state file as the status file is replaced (temporary
// file, mode 0644, fsync, rename, directory sync), unless the value equals
// the one last read or written by this process. Failures are warnings.
void writeUpdateState(UpdateState state);

// Refuses a start after a corrupted system, an interrupted update or a started
// reboot: false with exitCode set (2 or 1); true when the run may go on.
[[nodiscard]] bool checkStartStatus(SystemStatus status, int& exitCode);

} // namespace updater
