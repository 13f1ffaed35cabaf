#include "identity/credentials.h"

#include <cstring>

#include <neon/ne_uri.h>

#include "config/xmlnode.h"
#include "config/xmlreader.h"
#include "download/neonhandles.h"
#include "log/logger.h"

namespace updater {

namespace {

constexpr const char* XLINK_NAMESPACE = "http://www.w3.org/1999/xlink";

const xmlChar* xml(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

const char* shown(const char* value) { return value ? value : "<null>"; }

// neon's child test compares prefixes, so "/repo" would take in
// "/repository"; the request must also go on with a new path component.
bool isBelow(const std::string& entryPath, const std::string& requestPath)
{
    if (!ne_path_childof(entryPath.c_str(), requestPath.c_str()))
        return false;
    return entryPath.back() == '/' || requestPath[entryPath.size()] == '/';
}

} // namespace

NetCredentials::NetCredentials(const ne_uri& server)
    : m_scheme(server.scheme ? server.scheme : ""),
      m_host(server.host ? server.host : ""),
      m_port(server.port != 0 ? server.port : ne_uri_defaultport(m_scheme.c_str()))
{
}

void NetCredentials::clear()
{
    m_entries.clear();
    m_cursor = AT_END;
}

bool NetCredentials::load(const std::string& path)
{
    XmlReader reader = openXmlFile(path, CONFIG_READER_OPTIONS);
    if (!reader) {
        LOG(error, "could not open network credentials file");
        return false;
    }
    LOG(trace, "loading network credentials for scheme '%s', host '%s', port '%u'", m_scheme.c_str(), m_host.c_str(),
        m_port);
    xmlTextReaderPtr r = reader.get();
    int rc = xmlTextReaderRead(r);
    while (rc == 1) {
        if (xmlTextReaderNodeType(r) == XML_READER_TYPE_ELEMENT) {
            const char* name = chars(xmlTextReaderConstName(r));
            int depth = xmlTextReaderDepth(r);
            if (depth == 0 && strcmp(name, "credits") != 0) {
                LOG(error, "bad top-level element, '%s' instead of 'credits'", name);
                return false;
            }
            if (depth == 1 && strcmp(name, "creditentials") == 0) {
                xmlNodePtr node = xmlTextReaderExpand(r);
                if (!node) {
                    LOG(error, "failed to expand node in network credentials file");
                    return false;
                }
                XmlText href(xmlGetNsProp(node, xml("href"), xml(XLINK_NAMESPACE)));
                XmlText realm(xmlGetNoNsProp(node, xml("realm")));
                XmlText user(xmlGetNoNsProp(node, xml("username")));
                XmlText password(xmlGetNoNsProp(node, xml("password")));
                addIfMatches(chars(href.get()), chars(realm.get()), chars(user.get()), chars(password.get()));
                rc = xmlTextReaderNext(r);
                continue;
            }
        }
        rc = xmlTextReaderRead(r);
    }
    return rc == 0;
}

bool NetCredentials::addIfMatches(const char* href, const char* realm, const char* user, const char* password)
{
    if (!href) {
        LOG(warn, "ignoring network credential with no URI");
        return false;
    }
    // The password itself never reaches the log.
    LOG(trace, "evaluating credentials URI = '%s', Realm = '%s', User = '%s', Password = '%s'", href, shown(realm),
        shown(user), password ? "<hidden>" : "<null>");
    ParsedUri uri;
    if (!uri.parse(href)) {
        LOG(warn, "invalid syntax for URI '%s' in network credentials\n", href);
        return false;
    }
    unsigned port = uri->port;
    if (port == 0 && uri->scheme)
        port = ne_uri_defaultport(uri->scheme); // no scheme: cannot match below
    bool same = uri->scheme && uri->host && m_scheme == uri->scheme && m_host == uri->host &&
                port == m_port;
    if (!same) {
        LOG(trace, "server does not match, discarded");
        return false;
    }
    LOG(trace, "server matches, loaded");
    m_entries.push_back({uri->path && *uri->path ? uri->path : "/", realm ? realm : "", user ? user : "",
                         password ? password : ""});
    return true;
}

const CredentialEntry* NetCredentials::find(const std::string& realm, const std::string& requestPath)
{
    LOG(trace, "%p searching credentials for '%s' @ '%s'", static_cast<const void*>(this), realm.c_str(),
        requestPath.c_str());
    for (; m_cursor < m_entries.size(); ++m_cursor) {
        const CredentialEntry& entry = m_entries[m_cursor];
        if ((entry.realm.empty() || entry.realm == realm) && isBelow(entry.path, requestPath)) {
            ++m_cursor;
            return &entry;
        }
    }
    m_cursor = AT_END;
    return nullptr;
}

} // namespace updater
