#include "download/downloader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "log/failureclass.h"
#include "log/logger.h"

namespace updater {

namespace {

constexpr int MAX_REDIRECTS = 5;

const char* orEmpty(const char* text) { return text ? text : ""; }

// A file that cannot be written for want of space ends the run as a
// disk-space failure; errno stays for the caller's message.
void noteIfDiskFull()
{
    if (errno == ENOSPC || errno == EDQUOT)
        noteFailure(FailureClass::diskSpace);
}

// Only http and https servers are followed: a Location naming a local file
// would otherwise make the device copy it, or an endless device, into its cache.
bool followable(const ne_uri& location)
{
    return location.scheme && (strcmp(location.scheme, "http") == 0 || strcmp(location.scheme, "https") == 0);
}

// The temporary file of one download: closed and removed unless committed.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : m_path(std::move(path)) {}
    ~TemporaryFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        if (m_created)
            unlink(m_path.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // A file left by an interrupted run, or a link planted under the name,
    // goes first; the new file is then made afresh and never through a link.
    // What cannot be removed makes the creation fail.
    [[nodiscard]] bool create()
    {
        unlink(m_path.c_str());
        m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (m_fd < 0) {
            noteIfDiskFull();
            LOG(error, "failed creating file '%s' (%s)", m_path.c_str(), errnoText().c_str());
            return false;
        }
        m_created = true;
        return true;
    }
    int fd() const { return m_fd; }

    // Closes the file and renames it to `target`.
    [[nodiscard]] bool commit(const std::string& target)
    {
        int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0) {
            noteIfDiskFull();
            LOG(error, "failed closing file '%s' (%s)", m_path.c_str(), errnoText().c_str());
            return false;
        }
        if (rename(m_path.c_str(), target.c_str()) != 0) {
            LOG(error, "failed renaming '%s' to '%s' (%s)", m_path.c_str(), target.c_str(), errnoText().c_str());
            return false;
        }
        m_created = false;
        return true;
    }

private:
    std::string m_path;
    int m_fd = -1;
    bool m_created = false;
};

} // namespace

bool Downloader::open(const std::string& uri)
{
    if (isOpen())
        return false;
    if (!m_baseUri.parse(uri.c_str())) {
        LOG(error, "failed parsing repository URI '%s'", uri.c_str());
        return fail();
    }
    const ne_uri& base = m_baseUri.get();
    if (!base.host || !base.path || !base.scheme) {
        LOG(error, "repository URI '%s' missing host, path or scheme", uri.c_str());
        return fail();
    }
    LOG(debug, "opening repo downloader with URI scheme, host, port, path = '%s' '%s' %u '%s'", base.scheme,
        base.host, base.port, base.path);
    m_vFetchers.push_back(std::make_unique<URLFetcher>(base, true));
    if (!m_vFetchers.back()->isValid()) {
        LOG(error, "cannot create fetcher for '%s'", uri.c_str());
        return fail();
    }
    if (m_pNotifier)
        m_vFetchers.back()->setNotifier(m_pNotifier);
    m_sBasePath = base.path;
    if (m_sBasePath.empty() || m_sBasePath.back() != '/')
        m_sBasePath += '/';
    LOG(debug, "opened repo downloader with base URI '%s'", uri.c_str());
    return true;
}

bool Downloader::fail()
{
    m_vFetchers.clear();
    m_baseUri.reset();
    return false;
}

void Downloader::close()
{
    m_deadline.reset();
    m_sBasePath.clear();
    m_vFetchers.clear();
    m_baseUri.reset();
    m_pNotifier = nullptr;
}

void Downloader::setNotifier(URLFetcher::Notifier* notifier)
{
    m_pNotifier = notifier;
    for (auto& fetcher : m_vFetchers)
        fetcher->setNotifier(notifier);
}

void Downloader::resolvePath(std::string& path) const
{
    std::string resolved = m_sBasePath + path;
    LOG(debug, "resolved URI path '%s' on '%s' to '%s'", path.c_str(), m_sBasePath.c_str(), resolved.c_str());
    path = std::move(resolved);
}

bool Downloader::download(const std::string& path, const std::string& file, bool bypassCaches, uint64_t maxSize)
{
    if (!isOpen()) {
        LOG(error, "repository downloader not open, cannot download '%s'", path.c_str());
        return false;
    }
    std::string requestPath = path;
    resolvePath(requestPath);
    return downloadThrough(m_vFetchers.front().get(), requestPath, path, file, bypassCaches, maxSize);
}

bool Downloader::download(const std::string& base, const std::string& path, const std::string& file,
                          bool bypassCaches, uint64_t maxSize)
{
    std::string address = base + (base.ends_with('/') ? "" : "/") + path;
    if (!isOpen()) {
        LOG(error, "repository downloader not open, cannot download '%s'", address.c_str());
        return false;
    }
    ParsedUri uri;
    if (!parseBase(base, uri))
        return false;
    URLFetcher* fetcher = fetcherFor(uri.get());
    if (!fetcher) {
        LOG(error, "cannot create fetcher for '%s'", base.c_str());
        return false;
    }
    std::string requestPath = uri->path;
    if (!requestPath.ends_with('/'))
        requestPath += '/';
    return downloadThrough(fetcher, requestPath + path, address, file, bypassCaches, maxSize);
}

bool Downloader::acceptsBase(const std::string& base) const
{
    ParsedUri uri;
    return parseBase(base, uri);
}

// A base is an absolute address without query or fragment, on a server that
// a redirect may lead to; a local repository may also name local files.
bool Downloader::parseBase(const std::string& base, ParsedUri& uri) const
{
    const char* refusal = nullptr;
    if (!uri.parse(base.c_str()) || !uri->scheme || !uri->host || !uri->path || uri->query || uri->fragment)
        refusal = "not a plain absolute address";
    else if (strcmp(uri->scheme, "file") == 0)
        refusal = isLocal() ? nullptr : "a network repository may not name local files";
    else if (!followable(uri.get()))
        refusal = "only http, https and file addresses are followed";
    if (refusal)
        LOG(error, "refusing location base '%s': %s", base.c_str(), refusal);
    return !refusal;
}

bool Downloader::isLocal() const
{
    return isOpen() && m_baseUri->scheme && strcmp(m_baseUri->scheme, "file") == 0;
}

// Downloads through "<file>.tmp", starting with the `first` fetcher.
bool Downloader::downloadThrough(URLFetcher* first, const std::string& requestPath, const std::string& displayName,
                                 const std::string& file, bool bypassCaches, uint64_t maxSize)
{
    TemporaryFile temporary(file + ".tmp");
    LOG(debug, "downloading path '%s' to '%s'", displayName.c_str(), file.c_str());
    if (!temporary.create() ||
        !fetch(first, requestPath, displayName, temporary.fd(), bypassCaches, FetchLimits{maxSize, m_deadline}) ||
        !temporary.commit(file))
        return false;
    LOG(debug, "successfully downloaded path '%s' to '%s'", displayName.c_str(), file.c_str());
    return true;
}

// Gets `requestPath` from the `first` fetcher's server, following up to
// MAX_REDIRECTS redirects. The first fetcher keeps its connection for the
// next download; one reached by a redirect closes it.
bool Downloader::fetch(URLFetcher* first, const std::string& path, const std::string& displayName, int fd,
                       bool bypassCaches, const FetchLimits& limits)
{
    std::string requestPath = path;
    URLFetcher* current = first;
    int allowance = MAX_REDIRECTS + 1;
    for (;;) {
        if (current->get(requestPath, fd, bypassCaches, displayName, limits)) {
            if (current != first)
                current->closeConnection();
            return true;
        }
        if (!current->wasRedirected())
            return false;
        if (--allowance == 0) {
            LOG(error, "maximum number of redirects (%i) exceeded", MAX_REDIRECTS);
            return false;
        }
        const ne_uri* location = current->redirectLocation();
        if (!location) {
            LOG(error, "got redirect with unparseable location");
            return false;
        }
        LOG(debug, "'%s' redirected to '%s://%s:%u%s", displayName.c_str(), orEmpty(location->scheme),
            orEmpty(location->host), location->port, orEmpty(location->path));
        if (current->isEncrypted() && location->scheme && strcmp(location->scheme, "http") == 0) {
            NeonText text(ne_uri_unparse(location));
            noteFailure(FailureClass::tls);
            LOG(error, "refusing redirect from '%s' to unencrypted '%s'", current->address(requestPath).c_str(),
                text.get());
            return false;
        }
        current = fetcherForRedirect(*location, current);
        if (!current)
            return false;
        requestPath = orEmpty(location->path);
        if (location->query)
            requestPath += std::string("?") + location->query;
    }
}

// The fetcher of the server `uri` names: an existing one, or a new one added
// to the list; null when none can be built.
URLFetcher* Downloader::fetcherFor(const ne_uri& uri)
{
    for (auto& fetcher : m_vFetchers) {
        if (fetcher->matches(uri))
            return fetcher.get();
    }
    auto fetcher = std::make_unique<URLFetcher>(uri);
    if (!fetcher->isValid())
        return nullptr;
    fetcher->setNotifier(m_pNotifier);
    m_vFetchers.push_back(std::move(fetcher));
    return m_vFetchers.back().get();
}

// The fetcher for a redirect's Location (see fetcherFor). Null, after a
// message, when the Location is not followable or no fetcher can be built.
URLFetcher* Downloader::fetcherForRedirect(const ne_uri& location, URLFetcher* current)
{
    URLFetcher* next = followable(location) ? fetcherFor(location) : nullptr;
    if (next != current)
        current->closeConnection();
    if (!next) {
        NeonText text(ne_uri_unparse(&location));
        LOG(error, "cannot create fetcher for redirection to '%s'", text.get());
    }
    return next;
}

} // namespace updater
