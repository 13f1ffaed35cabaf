#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <neon/ne_auth.h>
#include <neon/ne_redirect.h>
#include <neon/ne_request.h>
#include <neon/ne_utils.h>

#include "download/bodywriter.h"
#include "download/downloader.h"
#include "download/fetcherstate.h"
#include "download/filehelpers.h"
#include "identity/identity.h"
#include "log/failureclass.h"
#include "log/logger.h"

namespace updater {

namespace {

constexpr int MAX_RETRIES = 2;
constexpr int HTTP_UNAUTHORIZED = 401;
constexpr int HTTP_PROXY_AUTHENTICATION_REQUIRED = 407;

// Every response's body reaches the writer, so that the bounds hold for
// error pages too; only the body of a 2xx response is kept.
int acceptAny(void* userdata, ne_request*, const ne_status* status)
{
    static_cast<Transfer*>(userdata)->statusClass = status->klass;
    return 1;
}

// neon's body reader; non-zero aborts the response.
int writeBody(void* userdata, const char* block, size_t length)
{
    auto* transfer = static_cast<Transfer*>(userdata);
    if (transfer->writer.take(block, length, transfer->statusClass == 2))
        return 0;
    ne_set_error(transfer->session, "%s", transfer->writer.reason().c_str());
    return -1;
}

bool copyFile(const std::string& source, int fd, const FetchLimits& limits)
{
    int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        noteFailure(FailureClass::network);
        LOG(error, "failed copying file (%s)", errnoText().c_str());
        return false;
    }
    BodyWriter writer(fd, limits, 0, 0);
    char block[4096];
    bool ok = true;
    for (;;) {
        ssize_t n = read(in, block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            break;
        if (n < 0) {
            noteFailure(FailureClass::network);
            LOG(error, "failed copying file (%s)", errnoText().c_str());
            ok = false;
            break;
        }
        if (!writer.take(block, static_cast<size_t>(n), true)) {
            noteFailure(writer.failureClass().value_or(FailureClass::network));
            LOG(error, "failed copying file (%s)", writer.reason().c_str());
            ok = false;
            break;
        }
    }
    close(in);
    return ok;
}

bool deadlinePassed(const FetchLimits& limits)
{
    return limits.deadline && std::chrono::steady_clock::now() >= *limits.deadline;
}

bool rewind(int fd) { return lseek(fd, 0, SEEK_SET) == 0 && ftruncate(fd, 0) == 0; }

bool isTransient(int code) { return code == NE_ERROR || code == NE_CONNECT || code == NE_TIMEOUT; }

} // namespace

void URLFetcher::Notifier::notify(ne_session_status, const ne_session_status_info*) {}

uint64_t URLFetcher::bytesFetched() { return BodyWriter::bytesStored(); }

URLFetcher::ClassState& URLFetcher::classState()
{
    static ClassState state;
    return state;
}

void URLFetcher::initClass(const NetworkSettings& settings, const DownloadSettings& download)
{
    ClassState& state = classState();
    if (state.initialised)
        return;
    state.network = settings;
    state.download = download;
    state.initialised = true;
    readCpuInfo();
    state.userAgent = composeUserAgent(settings.userAgentBase, settings.userAgentProdname);
    if (!initDefaultCredentials(state.defaults, settings.userAgentProdname))
        LOG(warn, "cannot recover default authentication credentials");
}

URLFetcher::URLFetcher(const ne_uri& uri, bool offerDeviceCredentials)
    : m_bDeviceCredentials(offerDeviceCredentials), m_credentials(uri)
{
    const ClassState& state = classState();
    if (!state.initialised) {
        LOG(error, "URLFetcher class not initialized before calling constructor");
        return;
    }
    if (!uri.host || !uri.scheme) {
        LOG(error, "URI missing host or scheme, cannot build fetcher");
        return;
    }
    m_sScheme = uri.scheme;
    m_sHost = uri.host;
    m_uPort = uri.port;
    if (m_sScheme == "file") {
        if (!m_sHost.empty() && m_sHost != "localhost") {
            LOG(error, "only local file: URIs supported");
            return;
        }
    } else if (!openSession()) {
        return;
    }
    m_bValid = true;
    LOG(debug, "URI fetcher %p for scheme '%s', host '%s', port %u created", static_cast<void*>(this),
        m_sScheme.c_str(), m_sHost.c_str(), m_uPort);
}

bool URLFetcher::openSession()
{
    if (m_uPort == 0)
        m_uPort = ne_uri_defaultport(m_sScheme.c_str());
    if (m_uPort == 0) {
        LOG(error, "scheme '%s' not supported", m_sScheme.c_str());
        return false;
    }
    m_pSession.reset(ne_session_create(m_sScheme.c_str(), m_sHost.c_str(), m_uPort));
    if (!m_pSession) {
        LOG(error, "could not open session for scheme '%s', host '%s', port %u", m_sScheme.c_str(), m_sHost.c_str(),
            m_uPort);
        return false;
    }
    ne_session* session = m_pSession.get();
    // Certificates are verified against the system's authorities; nothing
    // else is trusted and no failure is overridden.
    if (m_sScheme == "https") {
        ne_ssl_trust_default_ca(session);
        ne_ssl_set_verify(session, refuseCertificate, this);
    }
    if (isReadable(NET_CREDENTIALS_FILE))
        (void)m_credentials.load(NET_CREDENTIALS_FILE); // what loaded before a fault stays usable
    // Digest first, so that its challenges reach the callback that also
    // offers the device's default credentials.
    ne_add_server_auth(session, NE_AUTH_DIGEST, digestCredentials, this);
    ne_add_server_auth(session, NE_AUTH_DEFAULT, defaultCredentials, this);
    chooseRoute();
    ne_set_useragent(session, classState().userAgent.c_str());
    ne_redirect_register(session);
    ne_set_notifier(session, statusEvent, this);
    ne_hook_pre_send(session, sendingRequest, this);
    ne_hook_post_headers(session, headersArrived, this);
    const DownloadSettings& download = classState().download;
    ne_set_read_timeout(session, static_cast<int>(download.readTimeout));
    ne_set_connect_timeout(session, static_cast<int>(download.connectTimeout));
    return true;
}

URLFetcher::~URLFetcher()
{
    clearLocalAddresses();
    if (m_pSession) {
        LOG(debug, "destroying session for %s://%s:%u", m_sScheme.c_str(), m_sHost.c_str(), m_uPort);
        m_pSession.reset();
    }
}

// Called only for a certificate that failed verification: it stays refused,
// and the failure is known to be the certificate's.
int URLFetcher::refuseCertificate(void* userdata, int, const ne_ssl_certificate*)
{
    static_cast<URLFetcher*>(userdata)->m_bCertificateRefused = true;
    return -1;
}

// A request whose connection the watch broke failed for that reason alone.
int URLFetcher::request(const std::string& path, bool bypassCaches, BodyWriter& writer, int& status)
{
    ConnectionWatch watch(m_iSocket);
    if (!watch.isRunning()) {
        ne_set_error(m_pSession.get(), "cannot watch the connection (%s)", errnoText().c_str());
        return NE_ERROR;
    }
    m_pszPath = path.c_str();
    m_bCertificateRefused = false;
    NeonRequest request(ne_request_create(m_pSession.get(), "GET", path.c_str()));
    Transfer transfer{m_pSession.get(), writer, watch};
    m_pTransfer = &transfer;
    ne_add_response_body_reader(request.get(), acceptAny, writeBody, &transfer);
    if (bypassCaches) {
        ne_add_request_header(request.get(), "Cache-Control", "no-cache");
        ne_add_request_header(request.get(), "Pragma", "no-cache");
    }
    int code = ne_request_dispatch(request.get());
    status = ne_get_status(request.get())->code;
    request.reset();
    m_pTransfer = nullptr;
    m_pszPath = nullptr;
    if (code != NE_OK && watch.expired()) {
        writer.stopOverdue();
        ne_set_error(m_pSession.get(), "%s", writer.reason().c_str());
        code = NE_ERROR;
    }
    return code;
}

// Transient failures are retried with fd emptied, unless the body could not
// be stored, broke a bound other than the low-speed limit, or the deadline
// has passed.
bool URLFetcher::get(const std::string& path, int fd, bool bypassCaches, const std::string& displayName,
                     const FetchLimits& limits)
{
    if (!m_bValid)
        return false;
    m_bRedirected = false;
    LOG(trace, "URLFetcher::get() this = %p", static_cast<void*>(this));
    if (!m_pSession)
        return copyFile(path, fd, limits);
    const DownloadSettings& download = classState().download;
    int retries = 0;
    int status = 0;
    int code;
    std::optional<FailureClass> stopped;
    for (;;) {
        if (deadlinePassed(limits)) {
            noteFailure(FailureClass::network);
            LOG(error, "failed fetching '%s' (time allowed for the download ran out)", displayName.c_str());
            return false;
        }
        BodyWriter writer(fd, limits, download.lowSpeedLimit, download.lowSpeedTime);
        code = request(path, bypassCaches, writer, status);
        if (code == NE_REDIRECT) {
            m_bRedirected = true;
            return false;
        }
        stopped = writer.failureClass();
        if (retries == MAX_RETRIES || !isTransient(code) || !writer.retryable())
            break;
        ++retries;
        LOG(warn, "failed fetching '%s' (%s); retrying", displayName.c_str(), errorText(code).c_str());
        if (!rewind(fd)) {
            LOG(error, "failed rewinding, cannot retry");
            break;
        }
    }
    if (code == NE_OK && status / 100 == 2) {
        if (retries > 0)
            LOG(info, "fetched '%s' in retry %i", displayName.c_str(), retries);
        return true;
    }
    noteFailure(stopped ? *stopped : fetchFailure(code, status));
    LOG(error, "failed fetching '%s' (%s)", displayName.c_str(), errorText(code).c_str());
    if (code == NE_LOOKUP)
        LOG(error, "make sure that a network gateway and DNS servers are configured\nand that the unit is connected to "
                   "the network");
    else if (code == NE_PROXYAUTH)
        LOG(error, "make sure the proper username and password are configured in the proxy settings");
    return false;
}

FailureClass URLFetcher::fetchFailure(int code, int status) const
{
    FailureClass failure = FailureClass::network;
    if (m_bCertificateRefused)
        failure = FailureClass::tls;
    else if (code == NE_AUTH || status == HTTP_UNAUTHORIZED)
        failure = FailureClass::authentication;
    else if (code == NE_PROXYAUTH || status == HTTP_PROXY_AUTHENTICATION_REQUIRED)
        failure = FailureClass::proxy;
    else if (m_bViaProxy && (code == NE_CONNECT || code == NE_LOOKUP))
        failure = FailureClass::proxy; // the proxy itself cannot be reached
    return failure;
}

std::string URLFetcher::errorText(int code) const
{
    switch (code) {
    case NE_OK:
        return m_pSession ? ne_get_error(m_pSession.get()) : "no error";
    case NE_ERROR:
        return m_pSession ? ne_get_error(m_pSession.get()) : "generic error";
    case NE_LOOKUP:
        return "server or proxy hostname lookup failed";
    case NE_AUTH:
        return "authentication failed on server";
    case NE_PROXYAUTH:
        return "authentication failed on proxy";
    case NE_CONNECT:
        return "could not connect to server";
    case NE_TIMEOUT:
        return "connection timed out";
    case NE_FAILED:
        return "the precondition failed";
    case NE_RETRY:
        return "retry the request";
    case NE_REDIRECT:
        return "received server redirect";
    default:
        return "<unknown error code>";
    }
}

const ne_uri* URLFetcher::redirectLocation() const
{
    if (!m_pSession || !m_bRedirected)
        return nullptr;
    return ne_redirect_location(m_pSession.get());
}

std::string URLFetcher::address(const std::string& path) const
{
    return m_sScheme + "://" + m_sHost + ":" + std::to_string(m_uPort) + path;
}

bool URLFetcher::matches(const ne_uri& uri) const
{
    if (!uri.scheme || !uri.host || m_sScheme != uri.scheme || m_sHost != uri.host)
        return false;
    unsigned port = uri.port != 0 ? uri.port : ne_uri_defaultport(uri.scheme);
    return port == m_uPort;
}

void URLFetcher::closeConnection()
{
    if (m_pSession)
        ne_close_connection(m_pSession.get());
}

} // namespace updater
