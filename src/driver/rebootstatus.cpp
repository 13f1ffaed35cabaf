#include "driver/rebootstatus.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <sys/stat.h>

#include "driver/status.h"
#include "driver/stdiofile.h"
#include "log/logger.h"

namespace updater {

std::optional<time_t> bootTime(const char* path)
{
    StdioFile stream(fopen(path, "r"));
    if (!stream) {
        LOG(error, "cannot read boot time from '%s' (%s)", path, errnoText().c_str());
        return std::nullopt;
    }
    char line[256];
    while (fgets(line, sizeof line, stream.get())) {
        intmax_t seconds = 0;
        if (sscanf(line, "btime %" SCNdMAX, &seconds) == 1 && seconds > 0)
            return static_cast<time_t>(seconds);
    }
    LOG(error, "cannot read boot time from '%s' (no btime line)", path);
    return std::nullopt;
}

bool clearRebootStatus(time_t bootStarted)
{
    SystemStatus status;
    if (!readSystemStatus(status)) {
        LOG(error, "cannot recover status, aborting");
        return false;
    }
    if (status != SystemStatus::REBOOTING)
        return true;
    struct stat info;
    if (stat(STATUS_FILE, &info) != 0) {
        LOG(error, "failed checking status file '%s' (%s)", STATUS_FILE, errnoText().c_str());
        return false;
    }
    if (info.st_mtime >= bootStarted) {
        LOG(info, "reboot after update still to come, status stays REBOOTING");
        return true;
    }
    if (!writeSystemStatus(SystemStatus::READY, true)) {
        LOG(warn, "failed updating status file");
        return false;
    }
    LOG(info, "device rebooted after update, status is READY again");
    return true;
}

} // namespace updater
