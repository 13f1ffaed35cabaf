// A watchdog over the connection of one request (internal to the download
// subsystem). neon reads a TLS handshake, a proxy's answer to CONNECT, the
// status line and the response headers without calling back, and every byte
// that arrives restarts its read timeout: a server that drips them would hold
// the request, and the cache lock, for ever. The watch shuts the connection's
// socket down once its time is up; neon's read then fails and the request
// ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <pthread.h>

namespace updater {

class ConnectionWatch {
public:
    using Clock = std::chrono::steady_clock;

    // Watches `socket` (-1: no connection yet) from a thread of its own,
    // which blocks every signal and ends with the watch. Nothing is broken
    // until arm() sets a time.
    explicit ConnectionWatch(int socket);
    ~ConnectionWatch();
    ConnectionWatch(const ConnectionWatch&) = delete;
    ConnectionWatch& operator=(const ConnectionWatch&) = delete;

    // False when the thread could not be started (errno tells why); the
    // watch then does nothing.
    bool isRunning() const { return m_bRunning; }

    // The connection's socket; -1 once it is closed. A socket given after
    // the time has run out is shut down at once.
    void setSocket(int socket);
    // Breaks the connection at `expiry`, or never; a later call replaces the
    // time. No effect once the time has run out.
    void arm(std::optional<Clock::time_point> expiry);
    // The time ran out, and the connection was broken.
    bool expired() const;

private:
    static void* start(void* watch);
    void watch();
    void breakConnection() const;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    int m_socket;
    std::optional<Clock::time_point> m_expiry;
    bool m_bExpired = false;
    bool m_bStopping = false;
    bool m_bRunning = false;
    pthread_t m_thread{};
};

} // namespace updater
