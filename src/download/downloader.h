// Fetching repository files over http, https and file URIs.
//
// URLFetcher talks to one server (scheme, host, port) through one neon
// session: GET requests with retries of transient failures, authentication
// from the credentials file and the device's default credentials, redirect
// detection, and the choice between the configured proxy and the direct
// route to a local server. Downloader resolves repository-relative paths
// against the repository's base URI, follows redirects across servers with
// one fetcher per server, and moves a download into place only once it is
// complete.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <neon/ne_request.h>
#include <neon/ne_session.h>
#include <neon/ne_uri.h>

#include "config/config.h"
#include "download/neonhandles.h"
#include "identity/credentials.h"
#include "log/failureclass.h"

namespace updater {

// Bounds of one download, on top of the class-wide timeouts and low-speed
// limit. A body that would pass maxSize is cut off there and refused.
struct FetchLimits {
    uint64_t maxSize = 0; // bytes; 0: unbounded
    std::optional<std::chrono::steady_clock::time_point> deadline;
};

class BodyWriter;
struct Transfer;

class URLFetcher {
public:
    // Observer of a session's status events (looking up, connecting, ...).
    class Notifier {
    public:
        virtual ~Notifier() = default;
        virtual void notify(ne_session_status status, const ne_session_status_info* info);
    };

    // Process-wide set-up, before the first fetcher is built: network
    // settings, transfer bounds, device identity, user agent and default
    // credentials. Later calls do nothing.
    static void initClass(const NetworkSettings& settings, const DownloadSettings& download = DownloadSettings());

    // Bytes that all fetchers of the process have written into files so far
    // (response bodies and copies of local files), retries included.
    static uint64_t bytesFetched();

    // A fetcher for the scheme, host and port of `uri`; test isValid(). Only
    // the fetcher of the configured repository's own server offers the
    // device's default credentials.
    explicit URLFetcher(const ne_uri& uri, bool offerDeviceCredentials = false);
    ~URLFetcher();
    URLFetcher(const URLFetcher&) = delete;
    URLFetcher& operator=(const URLFetcher&) = delete;

    bool isValid() const { return m_bValid; }

    // GETs `path` (for file: a local path) and writes the body of a 2xx
    // response to `fd` (open for writing, empty), within `limits`.
    // Connection failures, timeouts and transfers below the low-speed limit
    // are retried twice with fd emptied, while the deadline allows; a body
    // that cannot be written or breaks another bound is not. `displayName`
    // names the resource in messages. False also after a redirect: see
    // wasRedirected().
    [[nodiscard]] bool get(const std::string& path, int fd, bool bypassCaches, const std::string& displayName,
                           const FetchLimits& limits = FetchLimits());

    bool wasRedirected() const { return m_bRedirected; }
    // Location of the last redirect, resolved by neon; null when not redirected.
    const ne_uri* redirectLocation() const;

    // Same scheme, host (exact bytes) and port; port 0 is the scheme's default.
    bool matches(const ne_uri& uri) const;
    bool isEncrypted() const { return m_sScheme == "https"; }
    // "scheme://host:port" followed by `path`, for messages.
    std::string address(const std::string& path) const;

    void closeConnection();
    // Forwards every status event of the session to `notifier` (may be null).
    void setNotifier(Notifier* notifier) { m_pNotifier = notifier; }

private:
    struct ClassState;
    static ClassState& classState();

    [[nodiscard]] bool openSession();
    int request(const std::string& path, bool bypassCaches, BodyWriter& writer, int& status);
    std::string errorText(int code) const;
    // The class of a failed request, from its neon code and HTTP status.
    FailureClass fetchFailure(int code, int status) const;
    // neon's certificate check found fault; the connection is refused.
    static int refuseCertificate(void* userdata, int failures, const ne_ssl_certificate* certificate);

    // Proxy or direct route; see localnet.cpp.
    void chooseRoute();
    [[nodiscard]] bool findLocalAddresses();
    void clearLocalAddresses();

    // neon credential callbacks; userdata is the fetcher.
    static int digestCredentials(void* userdata, const char* realm, int attempt, char* user, char* password);
    static int defaultCredentials(void* userdata, const char* realm, int attempt, char* user, char* password);
    static int proxyCredentials(void* userdata, const char* realm, int attempt, char* user, char* password);
    int lookupCredentials(NetCredentials& store, const char* kind, const char* realm, int attempt, char* user,
                          char* password);

    // neon's connection events and the hooks around each response, which
    // keep the watch of the request in progress told (fetcherwatch.cpp);
    // userdata is the fetcher.
    static void statusEvent(void* userdata, ne_session_status status, const ne_session_status_info* info);
    static void sendingRequest(ne_request* request, void* userdata, ne_buffer* header);
    static void headersArrived(ne_request* request, void* userdata, const ne_status* status);
    void connected();
    void useSocket(int socket);

    bool m_bValid = false;
    bool m_bDeviceCredentials; // the default credentials may be offered here
    std::string m_sScheme;
    std::string m_sHost;
    unsigned m_uPort = 0;
    NeonSession m_pSession;
    bool m_bRedirected = false;
    bool m_bViaProxy = false;
    bool m_bCertificateRefused = false;
    std::vector<NeonInetAddr> m_vLocalAddrs; // the server's local addresses; empty when the proxy is used
    NetCredentials m_credentials;
    const char* m_pszPath = nullptr; // request in progress, for the credential callbacks
    Transfer* m_pTransfer = nullptr; // request in progress, for the watch of its connection
    Notifier* m_pNotifier = nullptr;
    int m_iSocket = -1;              // of the session's connection; -1: none, or not known
    int m_iNextSocket = -1;          // what the socket of a connection being made will be
    std::string m_sNextPeer;         // its peer's address, in network order
};

class Downloader {
public:
    Downloader() = default;
    ~Downloader() { close(); }
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Opens on the repository's base URI (http, https or file); false when
    // already open, on a bad URI or when no fetcher can be built for it.
    [[nodiscard]] bool open(const std::string& uri);
    bool isOpen() const { return !m_vFetchers.empty(); }

    // Set after open(); every fetcher, also those made for redirects, reports to it.
    void setNotifier(URLFetcher::Notifier* notifier);

    // Every download from now on ends with a failure once `deadline` passes.
    void setDeadline(std::chrono::steady_clock::time_point deadline) { m_deadline = deadline; }

    // Downloads the repository-relative `path` into `file` through
    // "<file>.tmp", renamed into place only when complete. A body larger than
    // `maxSize` (0: unbounded) is cut off and refused. A failed download
    // leaves neither the temporary file nor any change to `file`. A redirect
    // from https to http is refused.
    [[nodiscard]] bool download(const std::string& path, const std::string& file, bool bypassCaches,
                                uint64_t maxSize = 0);

    // Likewise for a file kept elsewhere: `path` relative to `base`, an
    // absolute address that the repository's metadata names, fetched through
    // the fetcher of the base's server (one is added for a new server).
    [[nodiscard]] bool download(const std::string& base, const std::string& path, const std::string& file,
                                bool bypassCaches, uint64_t maxSize = 0);

    // True when files may be fetched from `base`: an http or https address,
    // or a local file address when the repository itself is a local one.
    // Logs why it refuses.
    [[nodiscard]] bool acceptsBase(const std::string& base) const;

    // Drops every fetcher, the base URI and the deadline; the downloader may be
    // opened again.
    void close();

    // Prefixes `path` with the base path (nothing normalised).
    void resolvePath(std::string& path) const;

private:
    bool fail();
    bool isLocal() const; // opened on a file: URI
    [[nodiscard]] bool parseBase(const std::string& base, ParsedUri& uri) const;
    [[nodiscard]] bool downloadThrough(URLFetcher* first, const std::string& requestPath,
                                       const std::string& displayName, const std::string& file, bool bypassCaches,
                                       uint64_t maxSize);
    [[nodiscard]] bool fetch(URLFetcher* first, const std::string& requestPath, const std::string& displayName, int fd,
                             bool bypassCaches, const FetchLimits& limits);
    URLFetcher* fetcherForRedirect(const ne_uri& location, URLFetcher* current);
    URLFetcher* fetcherFor(const ne_uri& uri);

    ParsedUri m_baseUri;
    std::vector<std::unique_ptr<URLFetcher>> m_vFetchers; // [0]: the base URI's server
    std::string m_sBasePath;                              // ends in "/" while open
    URLFetcher::Notifier* m_pNotifier = nullptr;
    std::optional<std::chrono::steady_clock::time_point> m_deadline;
};

} // namespace updater
