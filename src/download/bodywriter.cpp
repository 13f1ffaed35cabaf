#include "download/bodywriter.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "download/filehelpers.h"
#include "log/logger.h"

namespace updater {

namespace {

// Bodies that are not kept (error pages, redirects) are small; a server that
// sends more is not waited for.
constexpr uint64_t DISCARDED_BODY_LIMIT = 1 << 20;

constexpr const char* OUT_OF_TIME = "time allowed for the download ran out";

uint64_t storedBytes = 0;

std::string tooLargeText(uint64_t limit)
{
    char text[64];
    snprintf(text, sizeof text, "more than the %" PRIu64 " bytes allowed", limit);
    return text;
}

} // namespace

BodyWriter::BodyWriter(int fd, const FetchLimits& limits, unsigned lowSpeedLimit, unsigned lowSpeedTime)
    : m_fd(fd),
      m_limits(limits),
      m_lowSpeedLimit(lowSpeedLimit),
      m_lowSpeedTime(lowSpeedTime),
      m_windowStart(Clock::now())
{
}

bool BodyWriter::take(const char* block, size_t length, bool store)
{
    if (m_stop != Stop::none)
        return false;
    if (length == 0)
        return true;
    if (!withinBounds(length, store))
        return false;
    if (store && !writeAll(m_fd, std::string_view(block, length))) {
        m_writeErrno = errno;
        return fail(Stop::writeFailed, "failed writing downloaded data to file (" + errnoText() + ")");
    }
    if (store)
        storedBytes += length;
    return true;
}

std::optional<FailureClass> BodyWriter::failureClass() const
{
    if (m_stop == Stop::none)
        return std::nullopt;
    if (m_stop == Stop::writeFailed && (m_writeErrno == ENOSPC || m_writeErrno == EDQUOT))
        return FailureClass::diskSpace;
    return FailureClass::network;
}

uint64_t BodyWriter::bytesStored() { return storedBytes; }

// The size first: nothing beyond the bound reaches the file.
bool BodyWriter::withinBounds(size_t length, bool store)
{
    uint64_t& count = store ? m_stored : m_discarded;
    uint64_t limit = store ? m_limits.maxSize : DISCARDED_BODY_LIMIT;
    count += length;
    if (limit != 0 && count > limit)
        return fail(Stop::tooLarge, tooLargeText(limit));
    const Clock::time_point now = Clock::now();
    if (m_limits.deadline && now >= *m_limits.deadline)
        return fail(Stop::deadline, OUT_OF_TIME);
    m_windowBytes += length;
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - m_windowStart).count();
    if (m_lowSpeedLimit == 0 || elapsed < static_cast<long long>(m_lowSpeedTime) * 1000)
        return true;
    if (m_windowBytes * 1000 < static_cast<uint64_t>(m_lowSpeedLimit) * static_cast<uint64_t>(elapsed))
        return failTooSlow();
    m_windowStart = now;
    m_windowBytes = 0;
    return true;
}

std::optional<BodyWriter::Clock::time_point> BodyWriter::headersDue() const
{
    std::optional<Clock::time_point> due = m_limits.deadline;
    if (m_lowSpeedLimit != 0) {
        const Clock::time_point window = Clock::now() + std::chrono::seconds(m_lowSpeedTime);
        due = due ? std::min(*due, window) : window;
    }
    return due;
}

void BodyWriter::stopOverdue()
{
    if (m_stop != Stop::none)
        return;
    if (m_limits.deadline && Clock::now() >= *m_limits.deadline)
        (void)fail(Stop::deadline, OUT_OF_TIME);
    else
        (void)failTooSlow();
}

bool BodyWriter::failTooSlow()
{
    char text[96];
    snprintf(text, sizeof text, "transfer slower than %u bytes per second for %u seconds", m_lowSpeedLimit,
             m_lowSpeedTime);
    return fail(Stop::tooSlow, text);
}

bool BodyWriter::fail(Stop stop, std::string reason)
{
    m_stop = stop;
    m_reason = std::move(reason);
    return false;
}

} // namespace updater
