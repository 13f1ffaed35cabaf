// The file end of a transfer: each block that arrives is written to the
// download's file, within the bounds of the download, which also tell when
// the response headers are due (internal to the download subsystem).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "download/downloader.h"
#include "log/failureclass.h"

namespace updater {

class BodyWriter {
public:
    // Why a transfer was stopped before its end.
    enum class Stop { none, writeFailed, tooLarge, tooSlow, deadline };

    // The low-speed window starts now: a transfer that has delivered less
    // than lowSpeedLimit bytes per second after lowSpeedTime seconds, and in
    // each such period after, is too slow. A lowSpeedLimit of 0 turns that
    // check off.
    BodyWriter(int fd, const FetchLimits& limits, unsigned lowSpeedLimit, unsigned lowSpeedTime);

    // Writes a block of the body (`store`) or counts a block that is
    // discarded. False, with the reason kept, when the transfer must stop;
    // a length of 0 (the end of the body) never stops it.
    [[nodiscard]] bool take(const char* block, size_t length, bool store);

    // When the response headers of a request sent now are due: within the
    // low-speed time while that check is on, and never after the deadline.
    std::optional<std::chrono::steady_clock::time_point> headersDue() const;
    std::optional<std::chrono::steady_clock::time_point> deadline() const { return m_limits.deadline; }
    // The connection was broken because the headers were not in when due, or
    // the deadline passed: the transfer stops as too slow, or once the
    // deadline has passed as too late. Nothing changes when it had stopped.
    void stopOverdue();

    Stop stop() const { return m_stop; }
    // Text of the stop for the failure message; empty while none.
    const std::string& reason() const { return m_reason; }
    // Another attempt may succeed: nothing stopped the transfer, or the
    // network was too slow.
    bool retryable() const { return m_stop == Stop::none || m_stop == Stop::tooSlow; }
    // The class of the failure when the writer stopped the transfer: a full
    // file system is short of disk space; a body too large, too slow or too
    // late is the server's or the network's.
    std::optional<FailureClass> failureClass() const;

    // Bytes that every writer of the process has stored, retries included.
    static uint64_t bytesStored();

private:
    using Clock = std::chrono::steady_clock;

    bool fail(Stop stop, std::string reason);
    bool failTooSlow();
    bool withinBounds(size_t length, bool store);

    int m_fd;
    FetchLimits m_limits;
    unsigned m_lowSpeedLimit;
    unsigned m_lowSpeedTime;
    uint64_t m_stored = 0;    // bytes written to the file
    uint64_t m_discarded = 0; // bytes of bodies that are not kept
    Clock::time_point m_windowStart;
    uint64_t m_windowBytes = 0;
    Stop m_stop = Stop::none;
    int m_writeErrno = 0;
    std::string m_reason;
};

} // namespace updater
