// The system clock against the dates of signed data. A device whose clock is
// behind sees repository metadata from its future, and keys created after
// "now"; signature checks then fail for reasons no message of the verifier
// makes plain. These checks name the clock instead.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace updater {

// How far the clock may be behind the metadata before it is named: the
// metadata's timestamps come from the vendor's build machines, whose clocks
// and time zones are not ours.
constexpr int64_t CLOCK_SLACK_SECONDS = 24 * 60 * 60;

// "2024-05-01 12:00:00 UTC"; "@<seconds>" for a value no calendar date fits.
std::string utcDateText(uint64_t seconds);

// True when `now` is more than a day behind the metadata's newest timestamp.
bool clockBehindMetadata(uint64_t newestTimestamp, time_t now);

// Warns, naming both dates, when the clock is more than a day behind the
// metadata: signature checks may fail until the clock is set.
void warnWhenClockBehind(uint64_t newestTimestamp, time_t now);

// After a failed signature check: when the clock is more than a day behind
// the metadata, or behind the creation of a trusted key, logs the error that
// names the clock as the likely cause and notes the clock as the failure's
// class; true then. `newestKeyCreation` 0 means no key date is known.
bool blameClock(uint64_t newestTimestamp, uint32_t newestKeyCreation, time_t now);

} // namespace updater
