#include "driver/lock.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/signals.h"
#include "driver/status.h"
#include "driver/version.h"
#include "log/failureclass.h"
#include "log/logger.h"
#include "repo/repositorydata.h"

namespace updater {

namespace {

// The lock descriptor stays open (and the lock held) until the process ends.
int lockDescriptor = -1;

constexpr mode_t LOCK_FILE_MODE = 0644;

void reportParent(const Config& config, const char* modeName, pid_t child, const std::string& logTo)
{
    if (!config.quiet) {
        LOG(info, "--- MODE %s ---", modeName);
        LOG(info, "%s switched to background", PROGRAM_WORD);
        LOG(info, "--- BACKGROUND PID %i ---", static_cast<int>(child));
    }
    if (!logTo.empty())
        Logger::instance().removeFileOutput(logTo);
}

// New session, standard descriptors on /dev/null.
void detachChild()
{
    if (setsid() < 0)
        LOG(error, "cannot create new session (%s)", errnoText().c_str());
    const int devNull = open("/dev/null", O_RDWR);
    if (devNull < 0) {
        LOG(warn, "cannot open /dev/null to redirect stdin/out/err (%s)", errnoText().c_str());
        return;
    }
    int failure = 0;
    for (int fd = 0; fd <= 2; ++fd) {
        if (fd != devNull && dup2(devNull, fd) < 0)
            failure = errno;
    }
    if (failure != 0) {
        errno = failure;
        LOG(warn, "failed redirecting stdin/out/err to /dev/null (%s)", errnoText().c_str());
    }
    if (devNull > 2)
        close(devNull);
}

// Tries the lock once a second; `attempt` tells which try got it. False on
// another error, after lockTimeout tries, or when termination was requested.
bool waitForLock(int fd, int lockTimeout, int& attempt)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    for (attempt = 1;; ++attempt) {
        if (fcntl(fd, F_SETLK, &lock) == 0)
            return true;
        if ((errno != EAGAIN && errno != EACCES) || attempt > lockTimeout)
            return false;
        if (attempt % 10 == 1)
            LOG(info, "cache lock held by another instance, will timeout in %i secs", lockTimeout - attempt + 1);
        sleep(1);
        if (terminationRequested)
            return false;
    }
}

// Four bytes from the random source. Reads until all four have arrived: a
// failed or ended read fails, it never leaves the value partly unset.
bool readRandom(uint32_t& value)
{
    unsigned char bytes[sizeof value];
    LOG(debug, "requesting %u random bytes", static_cast<unsigned>(sizeof bytes));
    const int fd = open(RANDOM_SOURCE, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        LOG(error, "could not open '%s' to gather random data (%s).", RANDOM_SOURCE, errnoText().c_str());
        return false;
    }
    size_t received = 0;
    while (received < sizeof bytes) {
        const ssize_t count = read(fd, bytes + received, sizeof bytes - received);
        if (count <= 0) {
            LOG(error, "could not read random data from '%s' (%s).", RANDOM_SOURCE,
                count < 0 ? errnoText().c_str() : "end of file");
            close(fd);
            return false;
        }
        received += static_cast<size_t>(count);
    }
    close(fd);
    memcpy(&value, bytes, sizeof value);
    return true;
}

// The lock's directory may be writable by anyone (/var/lock is /run/lock).
// What is found there is used only when it is the agent's own: a regular
// file of this user with no other name. Anything else, such as a file
// another user planted to hold the lock for ever, is refused and left alone.
bool isOwnLockFile(int fd)
{
    struct stat info;
    if (fstat(fd, &info) != 0) {
        noteFailure(FailureClass::lock);
        LOG(error, "failed checking lock file '%s' (%s)", LOCK_FILE, errnoText().c_str());
        return false;
    }
    if (!S_ISREG(info.st_mode) || info.st_uid != geteuid() || info.st_nlink != 1) {
        noteFailure(FailureClass::lock);
        LOG(error, "lock file '%s' is not a regular file of this user, refusing to use it", LOCK_FILE);
        return false;
    }
    return true;
}

} // namespace

bool goToBackground(const Config& config, const char* modeName, const std::string& logTo, int& exitCode)
{
    LOG(debug, "going to background");
    SystemStatus status;
    if (!readSystemStatus(status)) {
        LOG(error, "cannot recover status, aborting");
        exitCode = 1;
        return false;
    }
    if (!checkStartStatus(status, exitCode)) {
        LOG(error, "cannot recover status, aborting");
        return false;
    }
    fflush(nullptr); // nothing buffered may be written twice
    const pid_t child = fork();
    if (child < 0) {
        LOG(error, "failed forking to background (%s)", errnoText().c_str());
        return true;
    }
    if (child > 0) {
        reportParent(config, modeName, child, logTo);
        exitCode = 0;
        return false;
    }
    detachChild();
    return true;
}

bool acquireCacheLock(int lockTimeout)
{
    // Close-on-exec: no child program may inherit the lock. A symbolic link
    // in its place is never followed: the open fails.
    const int fd = open(LOCK_FILE, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, LOCK_FILE_MODE);
    if (fd < 0) {
        noteFailure(FailureClass::lock);
        LOG(error, "failed creating lock file '%s' (%s).", LOCK_FILE, errnoText().c_str());
        return false;
    }
    if (!isOwnLockFile(fd)) {
        close(fd);
        return false;
    }
    int attempt = 0;
    if (!waitForLock(fd, lockTimeout, attempt)) {
        if (!terminationRequested) {
            noteFailure(FailureClass::lock);
            LOG(error, "failed acquiring lock file '%s' (%s)", LOCK_FILE, errnoText().c_str());
        }
        close(fd);
        return false;
    }
    if (attempt > 1)
        LOG(info, "other instance terminated, got cache lock");
    if (ftruncate(fd, 0) != 0) {
        noteFailure(FailureClass::lock);
        LOG(error, "failed truncating lock file '%s' (%s)", LOCK_FILE, errnoText().c_str());
        close(fd);
        return false;
    }
    char pid[32];
    const int length = snprintf(pid, sizeof pid, "%10i\n", static_cast<int>(getpid()));
    if (pwrite(fd, pid, static_cast<size_t>(length), 0) != length)
        LOG(warn, "failed writing PID to lock file '%s'.", LOCK_FILE);
    lockDescriptor = fd;
    return true;
}

bool startDelay(const Config& config, const RepositoryData& repository)
{
    if (repository.isLocal() || config.cacheOnly || config.maxWaitTime < 1)
        return true;
    uint32_t seed = 0;
    if (!readRandom(seed)) {
        LOG(error, "could not gather random data");
        return false;
    }
    srand(seed);
    const int64_t delay = static_cast<int64_t>(config.maxWaitTime) * rand() / 2147483647;
    LOG(info, "waiting %u secs before connection", static_cast<unsigned>(delay));
    if (!writeSystemStatus(SystemStatus::DELAYING, false))
        LOG(warn, "failed updating status file");
    struct timespec wait = {static_cast<time_t>(delay), 0};
    if (nanosleep(&wait, &wait) != 0)
        LOG(error, "wait interrupted");
    return true;
}

} // namespace updater
