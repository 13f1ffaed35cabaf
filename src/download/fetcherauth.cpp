// Answers to the authentication challenges of servers and proxies.
#include <cstring>

#include "download/downloader.h"
#include "download/fetcherstate.h"
#include "log/logger.h"

namespace updater {

namespace {

constexpr size_t CREDENTIAL_BUFFER_SIZE = 256; // neon's NE_ABUFSIZ

// Fills neon's buffers; 0 on success, -1 (give up) when a value does not fit.
int copyCredentials(const std::string& user, const std::string& password, const char* kind, char* userBuffer,
                    char* passwordBuffer)
{
    if (user.empty()) {
        LOG(error, "%s authentication requested but no credentials set", kind);
        return -1;
    }
    if (user.size() >= CREDENTIAL_BUFFER_SIZE) {
        LOG(error, "%s username length (%i) exceeds maximum supported (%i)", kind, static_cast<int>(user.size()),
            static_cast<int>(CREDENTIAL_BUFFER_SIZE));
        return -1;
    }
    if (password.size() >= CREDENTIAL_BUFFER_SIZE) {
        LOG(error, "%s password length (%i) exceeds maximum supported (%i)", kind, static_cast<int>(password.size()),
            static_cast<int>(CREDENTIAL_BUFFER_SIZE));
        return -1;
    }
    LOG(trace, "attempting %s authentication as user '%s'", kind, user.c_str());
    memcpy(userBuffer, user.c_str(), user.size() + 1);
    memcpy(passwordBuffer, password.c_str(), password.size() + 1);
    return 0;
}

} // namespace

// Each call offers the next matching entry of `store`, so the attempts of one
// request try the entries in file order, each once.
int URLFetcher::lookupCredentials(NetCredentials& store, const char* kind, const char* realm, int attempt,
                                  char* user, char* password)
{
    if (attempt == 0) {
        m_credentials.rewind();
        classState().defaults.rewind();
    }
    const CredentialEntry* entry = store.find(realm ? realm : "", m_pszPath ? m_pszPath : "/");
    if (!entry)
        return -1;
    LOG(debug, "trying %s authentication for '%s' in attempt %i", kind, entry->user.c_str(), attempt);
    return copyCredentials(entry->user, entry->password, "http", user, password);
}

int URLFetcher::digestCredentials(void* userdata, const char* realm, int attempt, char* user, char* password)
{
    auto* fetcher = static_cast<URLFetcher*>(userdata);
    if (!fetcher)
        return -1;
    if (fetcher->lookupCredentials(fetcher->m_credentials, "user", realm, attempt, user, password) == 0)
        return 0;
    // The device's own credentials only after the configured ones, only for
    // Digest, which does not reveal the password, and only to the configured
    // repository's server: a Digest answer can still be attacked offline.
    if (!fetcher->m_bDeviceCredentials)
        return -1;
    return fetcher->lookupCredentials(classState().defaults, "default user", realm, attempt, user, password);
}

int URLFetcher::defaultCredentials(void* userdata, const char* realm, int attempt, char* user, char* password)
{
    auto* fetcher = static_cast<URLFetcher*>(userdata);
    if (!fetcher)
        return -1;
    return fetcher->lookupCredentials(fetcher->m_credentials, "user", realm, attempt, user, password);
}

// The proxy's credentials are offered once per request.
int URLFetcher::proxyCredentials(void* userdata, const char*, int attempt, char* user, char* password)
{
    if (!userdata)
        return -1;
    const NetworkSettings& network = classState().network;
    if (attempt == 0)
        return copyCredentials(network.proxyUsername, network.proxyPassword, "proxy", user, password);
    LOG(error, "proxy authentication as user '%s' failed", network.proxyUsername.c_str());
    return -1;
}

} // namespace updater
