// The fetcher's side of the connection watch: which socket a connection of
// the session uses, and the times the watch keeps around each response.
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "download/downloader.h"
#include "download/fetcherstate.h"
#include "log/logger.h"

namespace updater {

namespace {

// The descriptor that the next socket(2) gets: always the lowest one free.
int lowestFreeDescriptor()
{
    int fd = eventfd(0, EFD_CLOEXEC);
    if (fd >= 0)
        close(fd);
    return fd;
}

// The address bytes, in network order, of an IPv4 or IPv6 socket address.
std::string rawAddress(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        return std::string(reinterpret_cast<const char*>(&v4.sin_addr), sizeof v4.sin_addr);
    }
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        return std::string(reinterpret_cast<const char*>(&v6.sin6_addr), sizeof v6.sin6_addr);
    }
    return {};
}

std::string rawAddress(const ne_inet_addr* address)
{
    if (!address)
        return {};
    unsigned char bytes[16];
    ne_iaddr_raw(address, bytes);
    return std::string(reinterpret_cast<const char*>(bytes), ne_iaddr_typeof(address) == ne_iaddr_ipv4 ? 4 : 16);
}

// `fd` is a stream socket connected to the address `peer`.
bool isConnectedTo(int fd, const std::string& peer)
{
    int type = 0;
    socklen_t length = sizeof type;
    if (fd < 0 || peer.empty() || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)
        return false;
    sockaddr_storage address{};
    length = sizeof address;
    return getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && rawAddress(address) == peer;
}

} // namespace

// neon hands out no socket. The one it makes between the connecting and the
// connected event takes the lowest free descriptor, which is checked to be
// connected to the address neon named.
void URLFetcher::statusEvent(void* userdata, ne_session_status status, const ne_session_status_info* info)
{
    auto* fetcher = static_cast<URLFetcher*>(userdata);
    switch (status) {
    case ne_status_connecting:
        fetcher->m_iNextSocket = lowestFreeDescriptor();
        fetcher->m_sNextPeer = rawAddress(info->ci.address);
        break;
    case ne_status_connected:
        fetcher->connected();
        break;
    case ne_status_disconnected: // sent before the socket is closed
        fetcher->useSocket(-1);
        break;
    default:
        break;
    }
    if (fetcher->m_pNotifier)
        fetcher->m_pNotifier->notify(status, info);
}

void URLFetcher::useSocket(int socket)
{
    m_iSocket = socket;
    if (m_pTransfer)
        m_pTransfer->watch.setSocket(socket);
}

// A new connection: the TLS handshake, a proxy's answer to CONNECT and the
// response headers are due from now on.
void URLFetcher::connected()
{
    if (isConnectedTo(m_iNextSocket, m_sNextPeer)) {
        useSocket(m_iNextSocket);
    } else {
        useSocket(-1);
        LOG(warn, "cannot watch the connection to '%s'", m_sHost.c_str());
    }
    if (m_pTransfer)
        m_pTransfer->watch.arm(m_pTransfer->writer.headersDue());
}

// Before each request goes out. On an open connection its response headers
// are due from now on; a new connection is made within the connect timeout
// and gets its time once made.
void URLFetcher::sendingRequest(ne_request*, void* userdata, ne_buffer*)
{
    auto* fetcher = static_cast<URLFetcher*>(userdata);
    Transfer* transfer = fetcher->m_pTransfer;
    if (transfer)
        transfer->watch.arm(fetcher->m_iSocket >= 0 ? transfer->writer.headersDue() : transfer->writer.deadline());
}

// The body is bounded by the writer; the watch keeps only the deadline, for a
// body that stalls past it.
void URLFetcher::headersArrived(ne_request*, void* userdata, const ne_status*)
{
    Transfer* transfer = static_cast<URLFetcher*>(userdata)->m_pTransfer;
    if (transfer)
        transfer->watch.arm(transfer->writer.deadline());
}

} // namespace updater
