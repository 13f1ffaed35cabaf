// The defaults file and the configuration file: XML with the root `updater`,
// read node by node; `repository`, `log`, `product`, `user-agent`, `metadata`
// and `download` are handled from their expanded subtrees wherever they stand.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "config/config.h"
#include "config/xmlnode.h"
#include "config/xmlreader.h"

namespace updater {

namespace {

bool named(xmlNodePtr node, const char* name) { return xmlStrEqual(node->name, BAD_CAST name); }

bool sameNamespace(xmlNodePtr a, xmlNodePtr b)
{
    return xmlStrEqual(a->ns ? a->ns->href : nullptr, b->ns ? b->ns->href : nullptr);
}

// The element children of `parent` in document order; unless `anyNamespace`,
// only those in the parent's own namespace.
std::vector<xmlNodePtr> children(xmlNodePtr parent, bool anyNamespace = false)
{
    std::vector<xmlNodePtr> result;
    for (xmlNodePtr child = parent->children; child; child = child->next) {
        if (child->type == XML_ELEMENT_NODE && (anyNamespace || sameNamespace(child, parent)))
            result.push_back(child);
    }
    return result;
}

// A defaults-file record may be replaced, by either file; a record from the
// configuration file may not be defined twice.
bool addRepository(Config& config, Repository&& repository)
{
    auto existing = std::find_if(config.repositories.begin(), config.repositories.end(),
                                 [&](const Repository& r) { return r.id == repository.id; });
    if (existing != config.repositories.end()) {
        if (!existing->isDefault) {
            LOG(error, "more than one repository with same ID");
            return false;
        }
        LOG(debug, "replacing default definition of repo '%s'", repository.id.c_str());
        config.repositories.erase(existing);
    }
    config.repositories.push_back(std::move(repository));
    return true;
}

bool handleRepository(Config& config, xmlNodePtr node, bool isDefaults)
{
    Repository repository;
    if (!nodeAttribute(node, "id", repository.id)) {
        LOG(error, "no 'id' attribute in 'repository' element");
        return false;
    }
    if (repository.id == "ndq200") {
        LOG(debug, "replacing repo ID '%s' by 'base' for backwards compatibility", repository.id.c_str());
        repository.id = "base";
    }
    std::string enabled;
    repository.enabled = !nodeAttribute(node, "enabled", enabled) || enabled == "true";
    for (xmlNodePtr child : children(node)) {
        if (named(child, "name") && !nodeText(child, repository.name))
            return false;
        if (named(child, "location") && !nodeAttribute(child, "href", repository.location)) {
            LOG(error, "no 'href' attribute in 'location' element");
            return false;
        }
    }
    if (repository.location.empty()) {
        LOG(error, "no URI for repository '%s'", repository.id.c_str());
        return false;
    }
    repository.isDefault = isDefaults;
    return addRepository(config, std::move(repository));
}

bool handleLogger(Config& config, xmlNodePtr node)
{
    std::string type;
    if (!nodeAttribute(node, "type", type))
        return false;
    if (type == "stderr") {
        config.logToStderr = true;
        return true;
    }
    if (type != "syslog") {
        LOG(debug, "ignoring unknown '%s' logger type", type.c_str());
        return true;
    }
    std::string facility;
    for (xmlNodePtr child : children(node, true)) {
        if (named(child, "facility") && !nodeText(child, facility))
            return false;
    }
    if (facility.empty())
        return false;
    config.syslogFacility = parseSyslogFacility(facility);
    config.logToSyslog = true;
    return true;
}

bool handleLog(Config& config, xmlNodePtr node, bool)
{
    std::string level;
    if (nodeAttribute(node, "level", level) && !level.empty())
        config.logLevel = parseLogLevel(level);
    for (xmlNodePtr child : children(node)) {
        if (named(child, "logger") && !handleLogger(config, child))
            return false;
    }
    return true;
}

// Calls found(name, isGroup, element) for each `name` of each `package` and
// `group` below `list`, matched in any namespace. False when a name is empty.
template <typename Found>
bool collectNames(xmlNodePtr list, Found found)
{
    for (xmlNodePtr entry : children(list, true)) {
        bool isGroup = named(entry, "group");
        if (!isGroup && !named(entry, "package"))
            continue;
        for (xmlNodePtr nameNode : children(entry, true)) {
            std::string name;
            if (!named(nameNode, "name"))
                continue;
            if (!nodeText(nameNode, name))
                return false;
            found(name, isGroup, entry);
        }
    }
    return true;
}

// The release package: exactly one package name; groups are not counted.
bool handleRelease(Config& config, xmlNodePtr node)
{
    std::vector<std::string> names;
    bool collected = collectNames(node, [&](const std::string& name, bool isGroup, xmlNodePtr entry) {
        if (!isGroup)
            names.push_back(name);
        else
            LOG(warn, "ignoring package group named '%s' in config file line %hu", name.c_str(),
                static_cast<unsigned short>(xmlGetLineNo(entry)));
    });
    if (!collected || names.size() != 1)
        return false;
    config.releasePackage = names.front();
    return true;
}

bool handleAddons(Config& config, xmlNodePtr node)
{
    return collectNames(node, [&](const std::string& name, bool isGroup, xmlNodePtr) {
        (isGroup ? config.addonGroups : config.addonPackages).push_back(name);
    });
}

bool handleProduct(Config& config, xmlNodePtr node, bool)
{
    for (xmlNodePtr child : children(node)) {
        if (named(child, "name") && !nodeText(child, config.productName))
            return false;
        if (!named(child, "packages"))
            continue;
        for (xmlNodePtr list : children(child)) {
            if (named(list, "release") && !handleRelease(config, list))
                return false;
            if (named(list, "addons") && !handleAddons(config, list))
                return false;
        }
    }
    return true;
}

bool handleUserAgent(Config& config, xmlNodePtr node, bool)
{
    for (xmlNodePtr child : children(node)) {
        if (named(child, "base") && !nodeText(child, config.network.userAgentBase))
            return false;
        if (named(child, "prodname") && !nodeText(child, config.network.userAgentProdname))
            return false;
    }
    return true;
}

// A decimal count from `min` to `max`: digits only, no sign, no blanks.
bool parseCount(const std::string& text, uint64_t min, uint64_t max, uint64_t& value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || parsed < min || parsed > max)
        return false;
    value = parsed;
    return true;
}

// The children of `download`; the seconds stay within a day, which neon's
// timeouts (int seconds, turned into milliseconds) can hold.
constexpr uint64_t DAY = 86400;
const struct {
    const char* name;
    uint64_t min;
    uint64_t max;
    void (*set)(DownloadSettings&, uint64_t);
} DOWNLOAD_SETTINGS[] = {
    {"connect-timeout", 1, DAY, [](DownloadSettings& d, uint64_t v) { d.connectTimeout = static_cast<unsigned>(v); }},
    {"read-timeout", 1, DAY, [](DownloadSettings& d, uint64_t v) { d.readTimeout = static_cast<unsigned>(v); }},
    {"low-speed-limit", 0, UINT32_MAX,
     [](DownloadSettings& d, uint64_t v) { d.lowSpeedLimit = static_cast<unsigned>(v); }},
    {"low-speed-time", 1, DAY, [](DownloadSettings& d, uint64_t v) { d.lowSpeedTime = static_cast<unsigned>(v); }},
    {"metadata-deadline", 1, DAY,
     [](DownloadSettings& d, uint64_t v) { d.metadataDeadline = static_cast<unsigned>(v); }},
    {"max-repomd-size", 1, UINT64_MAX, [](DownloadSettings& d, uint64_t v) { d.maxRepomdSize = v; }},
};

// A failing child leaves every setting as it was.
bool handleDownload(Config& config, xmlNodePtr node, bool)
{
    DownloadSettings download = config.download;
    for (xmlNodePtr child : children(node)) {
        for (const auto& setting : DOWNLOAD_SETTINGS) {
            if (!named(child, setting.name))
                continue;
            std::string text;
            uint64_t value = 0;
            if (!nodeText(child, text))
                return false;
            if (!parseCount(text, setting.min, setting.max, value)) {
                LOG(error, "invalid value '%s' for '%s' in 'download' element", text.c_str(), setting.name);
                return false;
            }
            setting.set(download, value);
        }
    }
    config.download = download;
    return true;
}

// A whole number of days from 0 (off) to 36500, digits only.
bool parseDays(const std::string& text, uint32_t& days)
{
    constexpr unsigned long MAX_DAYS = 36500;
    errno = 0;
    const unsigned long value = strtoul(text.c_str(), nullptr, 10);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || errno == ERANGE ||
        value > MAX_DAYS) {
        LOG(error, "invalid value '%s' for 'max-age-days' in configuration file, expected 0 to %lu", text.c_str(),
            MAX_DAYS);
        return false;
    }
    days = static_cast<uint32_t>(value);
    return true;
}

// The rules for repository metadata; "true" switches a flag on, any other
// text off. A failing child leaves all three as they were.
bool handleMetadata(Config& config, xmlNodePtr node, bool)
{
    bool allowRollback = config.allowMetadataRollback;
    uint32_t maxAgeDays = config.maxMetadataAgeDays;
    bool refuseStale = config.refuseStaleMetadata;
    for (xmlNodePtr child : children(node)) {
        std::string text;
        const bool known = named(child, "allow-rollback") || named(child, "refuse-stale") || named(child, "max-age-days");
        if (!known)
            continue;
        if (!nodeText(child, text))
            return false;
        if (named(child, "allow-rollback"))
            allowRollback = text == "true";
        else if (named(child, "refuse-stale"))
            refuseStale = text == "true";
        else if (!parseDays(text, maxAgeDays))
            return false;
    }
    config.allowMetadataRollback = allowRollback;
    config.maxMetadataAgeDays = maxAgeDays;
    config.refuseStaleMetadata = refuseStale;
    return true;
}

// Recognised by their qualified names, so a prefixed element is not one of them.
const struct {
    const char* name;
    bool (*handle)(Config&, xmlNodePtr, bool isDefaults);
} ELEMENT_HANDLERS[] = {
    {"repository", handleRepository},
    {"log", handleLog},
    {"product", handleProduct},
    {"user-agent", handleUserAgent},
    {"metadata", handleMetadata},
    {"download", handleDownload},
};

bool handleElement(Config& config, xmlTextReaderPtr reader, const char* name, bool isDefaults)
{
    for (const auto& element : ELEMENT_HANDLERS) {
        if (std::strcmp(name, element.name) != 0)
            continue;
        xmlNodePtr node = xmlTextReaderExpand(reader);
        return node && element.handle(config, node, isDefaults);
    }
    return true;
}

} // namespace

bool parseConfigFile(Config& config, const std::string& path, bool isDefaults)
{
    XmlReader reader = openXmlFile(path, CONFIG_READER_OPTIONS);
    if (!reader) {
        LOG(error, "could not open configuration file '%s'", path.c_str());
        return false;
    }
    int status;
    while ((status = xmlTextReaderRead(reader.get())) == 1) {
        if (xmlTextReaderNodeType(reader.get()) != XML_READER_TYPE_ELEMENT)
            continue;
        const xmlChar* name = xmlTextReaderConstName(reader.get());
        if (!name)
            return false;
        if (xmlTextReaderDepth(reader.get()) == 0 && !xmlStrEqual(name, BAD_CAST "updater")) {
            LOG(error, "bad top-level element, '%s' instead of 'updater'", chars(name));
            return false;
        }
        // The reader then goes on into the expanded subtree, so a recognised
        // element nested in another one is handled too.
        if (!handleElement(config, reader.get(), chars(name), isDefaults))
            return false;
    }
    if (status != 0)
        return false;
    reader.reset();
    if (!isDefaults)
        readProxyFile(config);
    return true;
}

Repository* findRepository(Config& config, const std::string& id)
{
    for (Repository& repository : config.repositories) {
        if (repository.id == id)
            return &repository;
    }
    return nullptr;
}

} // namespace updater
