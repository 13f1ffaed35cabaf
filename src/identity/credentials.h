// Credentials for HTTP authentication: the entries of the network
// credentials file that belong to one server, and the device's default entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <neon/ne_uri.h>

namespace updater {

constexpr const char* NET_CREDENTIALS_FILE = "/etc/lumenta/vrkpasswd.xml";

struct CredentialEntry {
    std::string path;  // requests below this path get the entry
    std::string realm; // empty: any realm
    std::string user;
    std::string password;
};

// The credential store of one server (scheme, host, port). `find` walks the
// matching entries with a cursor, so that repeated authentication attempts of
// one request try each entry once, in file order.
class NetCredentials {
public:
    // A missing scheme or host counts as empty; port 0 becomes the scheme's
    // default port.
    explicit NetCredentials(const ne_uri& server);

    // Adds the entries of the credentials file that belong to this server.
    // False when the file cannot be opened or is malformed; entries read
    // before the fault stay.
    [[nodiscard]] bool load(const std::string& path);

    // Adds an entry when `href` names this server; absent values are null.
    bool addIfMatches(const char* href, const char* realm, const char* user, const char* password);

    // The next entry after the cursor for this realm whose path lies above
    // `requestPath` by whole path components ("/repo" is above "/repo/x" but
    // not "/repository"); null when none is left (the cursor then stays at
    // the end).
    const CredentialEntry* find(const std::string& realm, const std::string& requestPath);

    void rewind() { m_cursor = 0; }
    void add(CredentialEntry entry) { m_entries.push_back(std::move(entry)); }
    void clear();

    const std::vector<CredentialEntry>& entries() const { return m_entries; }

private:
    static constexpr size_t AT_END = SIZE_MAX;

    std::string m_scheme;
    std::string m_host;
    unsigned m_port;
    std::vector<CredentialEntry> m_entries;
    size_t m_cursor = AT_END; // index of the next entry to look at
};

} // namespace updater
