#include "repo/clockcheck.h"

#include "log/failureclass.h"
#include "log/logger.h"

namespace updater {

std::string utcDateText(uint64_t seconds)
{
    struct tm date = {};
    const time_t value = static_cast<time_t>(seconds);
    char text[64];
    if (seconds > static_cast<uint64_t>(INT64_MAX) || !gmtime_r(&value, &date) ||
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &date) == 0)
        return "@" + std::to_string(seconds);
    return text;
}

bool clockBehindMetadata(uint64_t newestTimestamp, time_t now)
{
    const uint64_t clock = now > 0 ? static_cast<uint64_t>(now) : 0;
    return newestTimestamp > clock && newestTimestamp - clock > static_cast<uint64_t>(CLOCK_SLACK_SECONDS);
}

void warnWhenClockBehind(uint64_t newestTimestamp, time_t now)
{
    if (!clockBehindMetadata(newestTimestamp, now) || !logEnabled(LogLevel::warn))
        return;
    LOG(warn, "system clock (%s) is more than a day behind the repository metadata (%s); signature checks may fail "
              "until the clock is set",
        utcDateText(static_cast<uint64_t>(now)).c_str(), utcDateText(newestTimestamp).c_str());
}

bool blameClock(uint64_t newestTimestamp, uint32_t newestKeyCreation, time_t now)
{
    const bool behindKey = newestKeyCreation > 0 && static_cast<time_t>(newestKeyCreation) > now;
    if (!behindKey && !clockBehindMetadata(newestTimestamp, now))
        return false;
    noteFailure(FailureClass::clock);
    const bool keyIsLater = behindKey && newestKeyCreation >= newestTimestamp;
    if (logEnabled(LogLevel::error))
        LOG(error, "system clock (%s) is behind the %s (%s): the clock is the likely cause of the signature failure",
            utcDateText(static_cast<uint64_t>(now)).c_str(),
            keyIsLater ? "creation of a trusted key" : "repository metadata",
            utcDateText(keyIsLater ? newestKeyCreation : newestTimestamp).c_str());
    return true;
}

} // namespace updater
