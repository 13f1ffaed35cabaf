// Keeping devices and invocations from colliding: the background split after
// the start-up checks, the cache lock that admits one updater at a time, and
// the random start delay that spreads many devices' first connection.
#pragma once

#include <string>

#include "config/config.h"

namespace updater {

class RepositoryData;

constexpr const char* LOCK_FILE = "/var/lock/updater";
constexpr const char* RANDOM_SOURCE = "/dev/urandom";

// Checks the persisted status in the foreground (so the caller sees a
// refusal), then forks. False when this process ends the run with exitCode:
// the parent (0, after its report lines; it removes the `logTo` output so its
// last lines stay out of the child's log) or a refused start (1 or 2). True
// in the detached child, and in the caller when the fork failed.
[[nodiscard]] bool goToBackground(const Config& config, const char* modeName, const std::string& logTo,
                                  int& exitCode);

// Takes the fcntl write lock on the lock file, waiting up to lockTimeout
// seconds (none when below 1), and writes the process ID into it. The lock
// is held until the process ends.
[[nodiscard]] bool acquireCacheLock(int lockTimeout);

// Waits a random time of 0 to maxWaitTime seconds with status DELAYING, unless
// the repository is local, the run uses the cache only or the delay is off.
// False only when no random data could be had.
[[nodiscard]] bool startDelay(const Config& config, const RepositoryData& repository);

} // namespace updater
