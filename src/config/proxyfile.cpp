// The proxy file: XML with the root `proxyconf` and one `proxy` element.
// Nothing here fails start-up; a bad element only ends the reading and keeps
// what an earlier valid element set.
#include "config/config.h"
#include "config/xmlnode.h"
#include "config/xmlreader.h"

namespace updater {

namespace {

constexpr unsigned MAX_PROXY_PORT = 65534;

// Decimal port text: optional leading white space and '+', then digits only.
// A minus sign is refused outright, so that no negative text wraps around
// into a valid port, and the value is checked digit by digit against the
// maximum, so that no overflow does either.
bool parsePort(const std::string& text, unsigned& port)
{
    size_t at = text.find_first_not_of(" \t\n\v\f\r");
    if (at != std::string::npos && text[at] == '+')
        ++at;
    if (at >= text.size())
        return false;
    unsigned value = 0;
    for (; at < text.size(); ++at) {
        if (text[at] < '0' || text[at] > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(text[at] - '0');
        if (value > MAX_PROXY_PORT)
            return false;
    }
    port = value;
    return true;
}

// One `proxy` element; false stops the reading of the file.
bool readProxyElement(NetworkSettings& network, xmlTextReaderPtr reader)
{
    if (!network.proxyServer.empty())
        LOG(warn, "multiple proxy servers in configuration file, using last occurence");
    xmlNodePtr node = xmlTextReaderExpand(reader);
    if (!node)
        return false;
    std::string server, portText, bypass;
    if (!nodeAttribute(node, "server", server) || server.empty()) {
        LOG(error, "no 'server' attribute in 'proxy' element");
        return false;
    }
    if (!nodeAttribute(node, "port", portText) || portText.empty()) {
        LOG(error, "no 'port' attribute in 'proxy' element");
        return false;
    }
    unsigned port = 0;
    if (!parsePort(portText, port)) {
        LOG(error, "invalid port number '%s'", portText.c_str());
        return false;
    }
    bool bypassOn = !nodeAttribute(node, "bypassLocalNetwork", bypass) || (bypass != "off" && bypass != "false");

    network.proxyServer = server;
    network.proxyPort = port;
    network.bypassLocalNetwork = bypassOn;
    LOG(debug, "configured proxy '%s' port %u bypass %i", server.c_str(), port, bypassOn ? 1 : 0);
    // Credentials belong to this element alone: absent ones stay empty.
    network.proxyUsername.clear();
    network.proxyPassword.clear();
    static_cast<void>(nodeAttribute(node, "username", network.proxyUsername));
    static_cast<void>(nodeAttribute(node, "password", network.proxyPassword));
    return true;
}

} // namespace

void readProxyFile(NetworkSettings& network, const std::string& path)
{
    XmlReader reader = openXmlFile(path, CONFIG_READER_OPTIONS);
    if (!reader) {
        LOG(debug, "no proxy configuration file '%s'", path.c_str());
        return;
    }
    int status = xmlTextReaderRead(reader.get());
    while (status == 1) {
        const xmlChar* name = xmlTextReaderConstName(reader.get());
        if (xmlTextReaderNodeType(reader.get()) != XML_READER_TYPE_ELEMENT || !name) {
            status = xmlTextReaderRead(reader.get());
            continue;
        }
        if (xmlTextReaderDepth(reader.get()) == 0 && !xmlStrEqual(name, BAD_CAST "proxyconf")) {
            LOG(error, "bad top-level element, '%s' instead of 'proxyconf'", chars(name));
            return;
        }
        if (!xmlStrEqual(name, BAD_CAST "proxy")) {
            status = xmlTextReaderRead(reader.get());
            continue;
        }
        if (!readProxyElement(network, reader.get()))
            return;
        status = xmlTextReaderNext(reader.get());
    }
}

void readProxyFile(Config& config) { readProxyFile(config.network, PROXY_FILE); }

} // namespace updater
