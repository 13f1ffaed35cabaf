// Proxy or direct route: with the local-network bypass on, a server whose
// address lies on a network the device is attached to is reached directly,
// pinned to those addresses.
#include <cstdint>
#include <cstring>
#include <ifaddrs.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <neon/ne_auth.h>

#include "download/downloader.h"
#include "download/fetcherstate.h"
#include "log/logger.h"

namespace updater {

namespace {

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoDeleter>;

struct IfAddrsDeleter {
    void operator()(ifaddrs* list) const { freeifaddrs(list); }
};
using InterfaceList = std::unique_ptr<ifaddrs, IfAddrsDeleter>;

const unsigned char* getIPv4Addr(const sockaddr* address)
{
    return reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
}

const unsigned char* getIPv6Addr(const sockaddr* address)
{
    return reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr);
}

const unsigned char* rawAddress(const sockaddr* address)
{
    return address->sa_family == AF_INET ? getIPv4Addr(address) : getIPv6Addr(address);
}

// True when `address` lies in the network of the interface entry.
bool onNetwork(const sockaddr* address, const ifaddrs& entry)
{
    if (!entry.ifa_addr || !entry.ifa_netmask || entry.ifa_addr->sa_family != address->sa_family ||
        entry.ifa_netmask->sa_family != address->sa_family)
        return false;
    size_t words = address->sa_family == AF_INET ? 1 : 4;
    uint32_t remote[4];
    uint32_t local[4];
    uint32_t mask[4];
    memcpy(remote, rawAddress(address), words * 4);
    memcpy(local, rawAddress(entry.ifa_addr), words * 4);
    memcpy(mask, rawAddress(entry.ifa_netmask), words * 4);
    for (size_t i = 0; i < words; ++i) {
        if (((local[i] ^ remote[i]) & mask[i]) != 0)
            return false;
    }
    return true;
}

} // namespace

void URLFetcher::chooseRoute()
{
    const NetworkSettings& network = classState().network;
    if (network.proxyServer.empty()) {
        LOG(debug, "no proxy configured");
        return;
    }
    if (network.bypassLocalNetwork && !findLocalAddresses())
        LOG(warn, "could not check if addresses for host '%s' are in local net, using proxy", m_sHost.c_str());
    if (!m_vLocalAddrs.empty()) {
        LOG(debug, "bypassing proxy since %s is local", m_sHost.c_str());
        return;
    }
    ne_session_proxy(m_pSession.get(), network.proxyServer.c_str(), network.proxyPort);
    ne_set_proxy_auth(m_pSession.get(), proxyCredentials, this);
    m_bViaProxy = true;
    LOG(debug, "using proxy for %s", m_sHost.c_str());
}

bool URLFetcher::findLocalAddresses()
{
    clearLocalAddresses();
    std::string host = m_sHost;
    addrinfo hints{};
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        hints.ai_flags = AI_NUMERICHOST;
    }
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* resolved = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &resolved);
    if (rc != 0) {
        LOG(error, "failed resolving address '%s' (%s)", m_sHost.c_str(), gai_strerror(rc));
        return false;
    }
    AddrInfoList addresses(resolved);
    ifaddrs* entries = nullptr;
    if (getifaddrs(&entries) != 0) {
        LOG(error, "failed getting local network addresses (%s)", errnoText().c_str());
        return false;
    }
    InterfaceList interfaces(entries);
    for (const addrinfo* a = addresses.get(); a; a = a->ai_next) {
        if (!a->ai_addr || (a->ai_addr->sa_family != AF_INET && a->ai_addr->sa_family != AF_INET6))
            continue;
        for (const ifaddrs* entry = interfaces.get(); entry; entry = entry->ifa_next) {
            if (onNetwork(a->ai_addr, *entry)) {
                ne_iaddr_type type = a->ai_addr->sa_family == AF_INET ? ne_iaddr_ipv4 : ne_iaddr_ipv6;
                m_vLocalAddrs.emplace_back(ne_iaddr_make(type, rawAddress(a->ai_addr)));
                break;
            }
        }
    }
    if (m_pSession && !m_vLocalAddrs.empty()) {
        std::vector<const ne_inet_addr*> pinned;
        for (const NeonInetAddr& address : m_vLocalAddrs)
            pinned.push_back(address.get());
        ne_set_addrlist(m_pSession.get(), pinned.data(), pinned.size());
    }
    return true;
}

void URLFetcher::clearLocalAddresses()
{
    if (m_pSession)
        ne_set_addrlist(m_pSession.get(), nullptr, 0);
    m_vLocalAddrs.clear();
}

} // namespace updater
