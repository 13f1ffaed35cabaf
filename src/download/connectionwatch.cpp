#include "download/connectionwatch.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <limits.h>
#include <sys/socket.h>

namespace updater {

namespace {

// The thread only waits on a condition variable and calls shutdown(2).
constexpr size_t WATCH_STACK_SIZE = 128 * 1024;

} // namespace

ConnectionWatch::ConnectionWatch(int socket) : m_socket(socket)
{
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return;
    (void)pthread_attr_setstacksize(&attributes, std::max<size_t>(WATCH_STACK_SIZE, PTHREAD_STACK_MIN));
    // The new thread inherits this mask: signals stay with the main thread.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    int error = pthread_create(&m_thread, &attributes, start, this);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attributes);
    m_bRunning = error == 0;
    if (!m_bRunning)
        errno = error;
}

ConnectionWatch::~ConnectionWatch()
{
    if (!m_bRunning)
        return;
    {
        std::lock_guard lock(m_mutex);
        m_bStopping = true;
    }
    m_wake.notify_one();
    pthread_join(m_thread, nullptr);
}

void ConnectionWatch::setSocket(int socket)
{
    std::lock_guard lock(m_mutex);
    m_socket = socket;
    if (m_bExpired)
        breakConnection();
}

void ConnectionWatch::arm(std::optional<Clock::time_point> expiry)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_bExpired)
            return;
        m_expiry = expiry;
    }
    m_wake.notify_one();
}

bool ConnectionWatch::expired() const
{
    std::lock_guard lock(m_mutex);
    return m_bExpired;
}

void* ConnectionWatch::start(void* watch)
{
    static_cast<ConnectionWatch*>(watch)->watch();
    return nullptr;
}

void ConnectionWatch::watch()
{
    std::unique_lock lock(m_mutex);
    while (!m_bStopping) {
        if (!m_expiry) {
            m_wake.wait(lock);
        } else if (Clock::now() < *m_expiry) {
            m_wake.wait_until(lock, *m_expiry);
        } else {
            m_bExpired = true;
            m_expiry.reset();
            breakConnection();
        }
    }
}

// Called with the mutex held. The socket stays open: neon closes it, after
// the read that this makes fail.
void ConnectionWatch::breakConnection() const
{
    if (m_socket >= 0)
        (void)shutdown(m_socket, SHUT_RDWR);
}

} // namespace updater
