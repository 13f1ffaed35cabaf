#include "driver/status.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "download/filehelpers.h"
#include "driver/statusrecord.h"
#include "driver/stdiofile.h"
#include "log/failureclass.h"
#include "log/logger.h"

namespace updater {

namespace {

constexpr const char* STATUS_WORDS[] = {"READY",    "DELAYING", "ANALYZING", "DOWNLOADING", "TESTING",
                                        "UPDATING", "PKGSDONE", "CORRUPTED", "REBOOTING"};
constexpr int STATUS_COUNT = sizeof STATUS_WORDS / sizeof STATUS_WORDS[0];
constexpr const char* UPDATE_STATE_WORDS[] = {"AVAILABLE", "PENDING", "COMPLETE", "CORRUPTED"};
constexpr int UPDATE_STATE_COUNT = sizeof UPDATE_STATE_WORDS / sizeof UPDATE_STATE_WORDS[0];

// The update state this process last read or wrote; a write of the same value is skipped.
UpdateState cachedUpdateState = UpdateState::NONE;


// Index of `word` in `words`, or -1.
int findWord(const char* const* words, int count, const char* word)
{
    for (int i = 0; i < count; ++i) {
        if (std::string_view(words[i]) == word)
            return i;
    }
    return -1;
}

// Writes "word\n" into the temporary file, sets its mode, syncs and closes it.
// The descriptor is closed on every path.
bool fillTemporary(int fd, const char* word)
{
    const std::string line = std::string(word) + "\n";
    const ssize_t written = write(fd, line.data(), line.size());
    if (written < 0)
        LOG(debug, "failed writing status to temp file: %s", errnoText().c_str());
    else if (static_cast<size_t>(written) < line.size())
        LOG(debug, "incomplete write to status temp file");
    else if (fchmod(fd, 0644) != 0)
        LOG(debug, "failed setting perms on status temporary file: %s", errnoText().c_str());
    else if (fsync(fd) != 0)
        LOG(error, "failed to sync status file: %s", errnoText().c_str());
    else if (close(fd) != 0) {
        LOG(debug, "failed on closing status temporary file: %s", errnoText().c_str());
        return false;
    } else
        return true;
    close(fd);
    return false;
}

// Moves the filled temporary file over the status file; with syncDirectory the
// rename is made durable. False when the temporary file must be removed.
bool replaceStatusFile(const char* temporary, bool syncDirectory)
{
    if (rename(temporary, STATUS_FILE) != 0) {
        LOG(debug, "failed saving status: %s", errnoText().c_str());
        return false;
    }
    if (!syncDirectory || syncStatusDirectory())
        return true;
    LOG(error, "failed to sync status dir: %s", errnoText().c_str());
    return false;
}

// A new temporary file beside `path`, close-on-exec; -1 when it cannot be made.
int createTemporary(const char* path, char (&name)[4096])
{
    snprintf(name, sizeof name, "%s.XXXXXX", path);
    return mkostemp(name, O_CLOEXEC);
}

} // namespace

const char* statusWord(SystemStatus status)
{
    const int value = static_cast<int>(status);
    return value >= 0 && value < STATUS_COUNT ? STATUS_WORDS[value] : "UNKNOWN";
}

bool readSystemStatus(SystemStatus& status)
{
    return readSystemStatus(STATUS_FILE, status);
}

bool readSystemStatus(const char* path, SystemStatus& status)
{
    StdioFile stream(fopen(path, "re"));
    if (!stream) {
        if (errno == ENOENT) {
            status = SystemStatus::READY;
            return true;
        }
        LOG(debug, "cannot read from status file: %s", errnoText().c_str());
        return false;
    }
    char word[32];
    if (fscanf(stream.get(), "%31s", word) != 1) {
        LOG(debug, "failed reading from status file");
        return false;
    }
    const int value = findWord(STATUS_WORDS, STATUS_COUNT, word);
    if (value < 0) {
        LOG(error, "unknown status '%s'", word);
        return false;
    }
    status = static_cast<SystemStatus>(value);
    return true;
}

bool writeSystemStatus(SystemStatus status, bool syncDirectory)
{
    const int value = static_cast<int>(status);
    if (value < 0 || value >= STATUS_COUNT) {
        LOG(error, "invalid status value %i", value);
        return false;
    }
    char temporary[4096];
    const int fd = createTemporary(STATUS_FILE, temporary);
    if (fd < 0) {
        LOG(debug, "failed creating status temporary file: %s", errnoText().c_str());
        return false;
    }
    bool result = fillTemporary(fd, STATUS_WORDS[value]) && replaceStatusFile(temporary, syncDirectory);
    if (!result)
        unlink(temporary); // after a successful rename the name is gone already
    if (status == SystemStatus::CORRUPTED)
        writeUpdateState(UpdateState::CORRUPTED);
    StatusRecord::instance().stateChanged(status);
    return result;
}

bool syncStatusDirectory()
{
    std::string directory = STATUS_FILE;
    if (directory.size() >= 4096)
        return false;
    const size_t slash = directory.rfind('/');
    if (slash == std::string::npos)
        return false;
    directory.resize(slash == 0 ? 1 : slash);
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = fdatasync(fd) == 0;
    const int savedErrno = errno; // the caller reports it
    if (synced)
        LOG(trace, "synced status dir");
    close(fd);
    errno = savedErrno;
    return synced;
}

UpdateState readUpdateState()
{
    return readUpdateState(UPDATE_STATE_FILE);
}

UpdateState readUpdateState(const char* path)
{
    cachedUpdateState = UpdateState::NONE;
    StdioFile stream(fopen(path, "re"));
    if (!stream) {
        if (errno != ENOENT)
            LOG(debug, "cannot read from update state file: %s", errnoText().c_str());
        return UpdateState::NONE;
    }
    char word[32];
    if (fscanf(stream.get(), "%31s", word) != 1) {
        LOG(debug, "failed reading from update state file");
        return UpdateState::NONE;
    }
    const int value = findWord(UPDATE_STATE_WORDS, UPDATE_STATE_COUNT, word);
    if (value < 0) {
        LOG(warn, "unknown update state '%s'", word);
        return UpdateState::NONE;
    }
    cachedUpdateState = static_cast<UpdateState>(value);
    return cachedUpdateState;
}

void writeUpdateState(UpdateState state)
{
    const int value = static_cast<int>(state);
    if (value < 0 || value >= UPDATE_STATE_COUNT) {
        LOG(warn, "ignoring request to save NONE as update state");
        return;
    }
    if (state == cachedUpdateState)
        return;
    // Replaced as a whole: a crash leaves the old file or the new one.
    if (!replaceFile(UPDATE_STATE_FILE, std::string(UPDATE_STATE_WORDS[value]) + "\n")) {
        LOG(warn, "failed writing to update state file: %s", errnoText().c_str());
        return;
    }
    cachedUpdateState = state;
}

bool checkStartStatus(SystemStatus status, int& exitCode)
{
    switch (status) {
    case SystemStatus::CORRUPTED:
        noteFailure(FailureClass::interrupted); // an update was cut off before it completed
        LOG(fatal, "system is corrupted cannot update");
        exitCode = 2;
        return false;
    case SystemStatus::UPDATING:
        noteFailure(FailureClass::interrupted);
        LOG(fatal, "a previous update was interrupted; SYSTEM MAY BE CORRUPTED! Aborting");
        if (!writeSystemStatus(SystemStatus::CORRUPTED, false))
            LOG(warn, "failed updating status file");
        exitCode = 2;
        return false;
    case SystemStatus::REBOOTING:
        LOG(info, "machine is rebooting after update, cannot start");
        exitCode = 1;
        return false;
    default:
        return true;
    }
}

} // namespace updater
