#include "repo/packageparser.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <rpm/rpmmacro.h>
#include <utility>
#include <vector>

#include "config/xmlnode.h"
#include "download/filehelpers.h"
#include "log/logger.h"
#include "platform/rpm54.h"
#include "repo/repositorydata.h"
#include "repo/stream.h"

namespace updater {

namespace {

// The most entries one dependency list of a package may hold. The longest
// lists of real packages hold a few thousand entries; the limit keeps what a
// document can make one package take bounded.
constexpr size_t MAX_LIST_ENTRIES = 10000;

// The most document text one element read whole (name, version, location,
// checksum, group) may take in; real ones take well under a kilobyte.
constexpr uint64_t MAX_ELEMENT_BYTES = 256 * 1024;

const xmlChar* xmlText(const char* text)
{
    return reinterpret_cast<const xmlChar*>(text);
}

bool named(xmlNodePtr node, const char* name)
{
    return strcmp(chars(node->name), name) == 0;
}

// Namespaces compare by URI; the pointer test spares the string compare for
// the common case of one declaration on the root element.
bool inNamespace(xmlNodePtr node, xmlNsPtr ns)
{
    if (node->ns == ns)
        return true;
    return node->ns && ns && xmlStrEqual(node->ns->href, ns->href);
}

// The attribute of that name in no namespace, as it stands in the document
// (DTD defaults are not consulted).
xmlAttrPtr plainAttribute(xmlNodePtr element, const char* name)
{
    for (xmlAttrPtr attr = element->properties; attr; attr = attr->next) {
        if (!attr->ns && strcmp(chars(attr->name), name) == 0)
            return attr;
    }
    return nullptr;
}

// An attribute's value, borrowed from the tree when it is a single text node
// (the usual case) and otherwise assembled into `owned`.
const char* attributeText(xmlAttrPtr attr, XmlText& owned)
{
    xmlNodePtr text = attr->children;
    if (text && !text->next && text->type == XML_TEXT_NODE)
        return text->content ? chars(text->content) : "";
    if (text)
        owned.reset(xmlNodeListGetString(attr->doc, text, 1));
    return owned ? chars(owned.get()) : "";
}

// The element's own xml:base, as createrepo_c --baseurl writes it on each
// location; empty when it has none.
PooledString xmlBase(xmlNodePtr element)
{
    for (xmlAttrPtr attr = element->properties; attr; attr = attr->next) {
        if (attr->ns && xmlStrEqual(attr->ns->href, XML_XML_NAMESPACE) && strcmp(chars(attr->name), "base") == 0) {
            XmlText owned;
            return PooledString(attributeText(attr, owned));
        }
    }
    return {};
}

// The same debug line as nodeAttribute, for attributes read without it.
void logMissingAttribute(xmlNodePtr element, const char* name)
{
    LOG(debug, "no attribute '%s' for node '%s'", name, chars(element->name));
}

// A base-10 epoch taking up the whole text, 0 to 2147483646.
bool parseEpoch(const char* text, int32_t& epoch)
{
    errno = 0;
    char* end = nullptr;
    long long value = strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || value < 0 || value > 2147483646)
        return false;
    epoch = static_cast<int32_t>(value);
    return true;
}

bool parseEvr(xmlAttrPtr epochAttr, xmlAttrPtr verAttr, xmlAttrPtr relAttr, Evr& evr)
{
    if (!epochAttr || !verAttr) {
        LOG(debug, "failed parsing 'version' element");
        return false;
    }
    XmlText owned;
    Evr parsed;
    if (!parseEpoch(attributeText(epochAttr, owned), parsed.epoch))
        return false;
    parsed.version = PooledString(attributeText(verAttr, owned));
    if (relAttr)
        parsed.release = PooledString(attributeText(relAttr, owned));
    evr = parsed;
    return true;
}

struct FlagName {
    const char* text;
    int32_t flags;
};

const FlagName flagNames[] = {
    {"EQ", EQUAL}, {"LE", LESS | EQUAL}, {"GE", GREATER | EQUAL}, {"LT", LESS}, {"GT", GREATER},
};

bool parseFlags(const char* text, int32_t& flags)
{
    for (const auto& flag : flagNames) {
        if (strcmp(text, flag.text) == 0) {
            flags = flag.flags;
            return true;
        }
    }
    return false;
}

// The attributes of one `entry`, found in a single pass over its attribute
// list: there are hundreds of thousands of entries in a large repository.
struct EntryAttributes {
    xmlAttrPtr name = nullptr;
    xmlAttrPtr flags = nullptr;
    xmlAttrPtr epoch = nullptr;
    xmlAttrPtr ver = nullptr;
    xmlAttrPtr rel = nullptr;
    xmlAttrPtr missingok = nullptr;    // in no namespace
    xmlAttrPtr anyMissingok = nullptr; // in any namespace
    bool anyVer = false;

    explicit EntryAttributes(xmlNodePtr entry)
    {
        for (xmlAttrPtr attr = entry->properties; attr; attr = attr->next) {
            const char* attrName = chars(attr->name);
            if (strcmp(attrName, "missingok") == 0) {
                anyMissingok = attr;
                missingok = attr->ns ? missingok : attr;
            } else if (strcmp(attrName, "ver") == 0) {
                anyVer = true;
                ver = attr->ns ? ver : attr;
            } else if (!attr->ns) {
                take(attrName, attr);
            }
        }
    }

private:
    void take(const char* attrName, xmlAttrPtr attr)
    {
        if (strcmp(attrName, "name") == 0)
            name = attr;
        else if (strcmp(attrName, "flags") == 0)
            flags = attr;
        else if (strcmp(attrName, "epoch") == 0)
            epoch = attr;
        else if (strcmp(attrName, "rel") == 0)
            rel = attr;
    }
};

enum class MissingOk { absent, weak, bad };

// A non-zero `missingok` marks a weak dependency, which is not enforced.
MissingOk readMissingOk(const EntryAttributes& attrs)
{
    if (!attrs.anyMissingok)
        return MissingOk::absent;
    XmlText owned;
    if (!attrs.missingok) {
        LOG(debug, "failed parsing '%s' property '%s'", "missingok", attributeText(attrs.anyMissingok, owned));
        return MissingOk::bad;
    }
    const char* text = attributeText(attrs.missingok, owned);
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (end == text || *end != '\0')
        return MissingOk::bad;
    return value != 0 ? MissingOk::weak : MissingOk::absent;
}

bool parseVersionedEntry(xmlNodePtr entry, const EntryAttributes& attrs, Dependency& dependency)
{
    if (!parseEvr(attrs.epoch, attrs.ver, attrs.rel, dependency.evr)) {
        LOG(debug, "failed parsing EVR in entry");
        return false;
    }
    if (!attrs.flags) {
        logMissingAttribute(entry, "flags");
        LOG(debug, "failed parsing 'flags' in 'entry'");
        return false;
    }
    XmlText owned;
    const char* text = attributeText(attrs.flags, owned);
    if (!parseFlags(text, dependency.flags)) {
        LOG(debug, "invalid flags '%s' in 'entry'", text);
        return false;
    }
    return true;
}

bool parseEntry(xmlNodePtr entry, DependencySet& set)
{
    EntryAttributes attrs(entry);
    if (!attrs.name) {
        logMissingAttribute(entry, "name");
        LOG(debug, "failed getting 'name' from 'entry'");
        return false;
    }
    XmlText ownedName;
    const char* name = attributeText(attrs.name, ownedName);
    if (strncmp(name, "rpmlib(", 7) == 0)
        return true;
    MissingOk missingOk = readMissingOk(attrs);
    if (missingOk == MissingOk::bad)
        return false;
    if (missingOk == MissingOk::weak) {
        LOG(trace, "skipping missingok dep '%s'", name);
        return true;
    }
    Dependency dependency{PooledString(name)};
    if (attrs.anyVer && !parseVersionedEntry(entry, attrs, dependency))
        return false;
    LOG(trace, "%s", dependency.toString().c_str());
    set.insert(dependency);
    return true;
}

// Architecture texts are handed to rpm's macro expansion, which runs shell
// commands for "%(...)": only plain words are accepted.
bool isPlainWord(const std::string& text)
{
    for (char c : text) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!plain)
            return false;
    }
    return true;
}

// rpm's score of an arch on this platform, cached per arch text: a large
// repository has tens of thousands of packages but only a handful of arches.
int platformScore(const std::string& arch)
{
    static std::vector<std::pair<std::string, int>> cache;
    constexpr size_t CACHE_LIMIT = 32;
    for (const auto& [text, score] : cache) {
        if (text == arch)
            return score;
    }
    std::unique_ptr<char, decltype(&free)> platform(
        rpmExpand(arch.c_str(), "-%{_target_vendor}-%{_target_os}%{?_gnu}", nullptr), &free);
    int score = platform ? rpmPlatformScore(platform.get(), nullptr, 0) : 0;
    if (cache.size() < CACHE_LIMIT)
        cache.emplace_back(arch, score);
    return score;
}

bool archFits(const std::string& arch)
{
    return isPlainWord(arch) && platformScore(arch) > 0;
}

// Visits the element children of the element the reader stands on, with the
// reader on each child's start tag. A visit may expand the child or walk into
// it; the walk then goes on after the child, so that what is not read is
// passed over without being kept. False on a reader error or a failed visit.
template <typename Visit>
bool forEachChild(xmlTextReaderPtr reader, Visit visit)
{
    if (xmlTextReaderIsEmptyElement(reader))
        return true;
    int depth = xmlTextReaderDepth(reader);
    int rc = xmlTextReaderRead(reader);
    while (rc == 1 && xmlTextReaderDepth(reader) > depth) {
        if (xmlTextReaderNodeType(reader) == XML_READER_TYPE_ELEMENT) {
            if (!visit(xmlTextReaderCurrentNode(reader)))
                return false;
            rc = xmlTextReaderNext(reader);
        } else {
            rc = xmlTextReaderRead(reader);
        }
    }
    return rc == 1;
}

// The `entry` children of a provides, requires or obsoletes element, read one
// at a time from their start tags.
bool parseDependencies(xmlTextReaderPtr reader, xmlNodePtr list, const Package& package, DependencySet& set)
{
    size_t entries = 0;
    return forEachChild(reader, [&](xmlNodePtr node) {
        if (!inNamespace(node, list->ns) || !named(node, "entry"))
            return true;
        if (++entries > MAX_LIST_ENTRIES) {
            LOG(error, "package '%s' has more than %zu entries in its %s", package.name.c_str(), MAX_LIST_ENTRIES,
                chars(list->name));
            return false;
        }
        return parseEntry(node, set);
    });
}

// The element the reader stands on with its subtree, within the bound on one
// element's text.
xmlNodePtr expandSmall(xmlTextReaderPtr reader, MetadataStream* stream)
{
    if (stream)
        stream->boundFromHere(MAX_ELEMENT_BYTES);
    xmlNodePtr node = xmlTextReaderExpand(reader);
    if (stream)
        stream->unbound();
    return node;
}

// The children of one `package` element, each taken at most once.
class PackageChildren {
public:
    PackageChildren(Package& package, xmlTextReaderPtr reader, MetadataStream* stream)
        : m_package(package), m_reader(reader), m_stream(stream)
    {
    }

    bool visit(xmlNodePtr child)
    {
        if (named(child, "format"))
            return parseFormat(child);
        if (!isReadChild(child))
            return true;
        xmlNodePtr element = expandSmall(m_reader, m_stream);
        return element && parse(element);
    }

    bool complete() const { return m_hasName && m_hasVersion && m_hasLocation && m_hasChecksum; }
    const std::string& arch() const { return m_arch; }
    const std::string& location() const { return m_location; }

private:
    static bool isReadChild(xmlNodePtr child)
    {
        for (const char* name : {"name", "arch", "version", "location", "checksum", "size"}) {
            if (named(child, name))
                return true;
        }
        return false;
    }

    bool parse(xmlNodePtr child)
    {
        if (named(child, "name"))
            return !m_hasName && (m_hasName = readText(child, m_package.name));
        if (named(child, "arch"))
            return m_arch.empty() && nodeText(child, m_arch);
        if (named(child, "version"))
            return !m_hasVersion && (m_hasVersion = parseEvrAttributes(child, m_package.evr));
        if (named(child, "location")) {
            if (m_hasLocation || !nodeAttribute(child, "href", m_location))
                return false;
            m_hasLocation = true;
            m_package.locationBase = xmlBase(child);
            return true;
        }
        if (named(child, "size"))
            return !m_hasSize && (m_hasSize = readSize(child, m_package.size));
        return !m_hasChecksum && (m_hasChecksum = parseChecksumElement(child, m_package.checksum));
    }

    // The rpm-specific part of a package: group and dependency sets.
    bool parseFormat(xmlNodePtr format)
    {
        xmlNsPtr rpm = xmlSearchNsByHref(format->doc, format, xmlText(RPM_NAMESPACE));
        if (!rpm) {
            LOG(debug, "no rpm specific data in XML doc");
            return true;
        }
        return forEachChild(m_reader, [&](xmlNodePtr child) {
            if (!inNamespace(child, rpm))
                return true;
            if (named(child, "group"))
                return parseGroup();
            DependencySet* set = dependencySet(child);
            if (!set)
                return true;
            LOG(trace, "parsing rpm %s for '%s'", chars(child->name), m_package.name.c_str());
            return parseDependencies(m_reader, child, m_package, *set);
        });
    }

    bool parseGroup()
    {
        xmlNodePtr element = expandSmall(m_reader, m_stream);
        std::string group;
        if (!element || !m_package.group.empty() || !nodeText(element, group))
            return false;
        m_package.group = PooledString(group);
        return true;
    }

    DependencySet* dependencySet(xmlNodePtr list)
    {
        if (named(list, "provides"))
            return &m_package.provides;
        if (named(list, "requires"))
            return &m_package.requires_;
        if (named(list, "obsoletes"))
            return &m_package.obsoletes;
        return nullptr;
    }

    static bool readText(xmlNodePtr element, PooledString& out)
    {
        std::string text;
        if (!nodeText(element, text))
            return false;
        out = PooledString(text);
        return true;
    }

    // The size of the package file, when the element declares it.
    static bool readSize(xmlNodePtr element, uint64_t& size)
    {
        xmlAttrPtr attr = plainAttribute(element, "package");
        XmlText owned;
        if (attr && !parseByteCount(attributeText(attr, owned), size)) {
            LOG(debug, "failed parsing 'size' element");
            return false;
        }
        return true;
    }

    Package& m_package;
    xmlTextReaderPtr m_reader;
    MetadataStream* m_stream;
    bool m_hasSize = false;
    bool m_hasName = false;
    bool m_hasVersion = false;
    bool m_hasLocation = false;
    bool m_hasChecksum = false;
    std::string m_arch;
    std::string m_location;
};

bool isRpmPackage(xmlNodePtr element)
{
    xmlAttrPtr type = plainAttribute(element, "type");
    XmlText owned;
    return type && strcmp(attributeText(type, owned), "rpm") == 0;
}

} // namespace

PackageParse parsePackage(xmlTextReaderPtr reader, MetadataStream* stream, const std::string& packageCacheDir,
                          Package& package)
{
    xmlNodePtr element = xmlTextReaderCurrentNode(reader);
    if (!isRpmPackage(element))
        return PackageParse::skip;
    if (xmlTextReaderIsEmptyElement(reader))
        return PackageParse::bad;
    xmlNsPtr ns = element->ns;
    PackageChildren children(package, reader, stream);
    bool read = forEachChild(reader, [&](xmlNodePtr child) { return !inNamespace(child, ns) || children.visit(child); });
    if (!read || !children.complete())
        return PackageParse::bad;
    std::string fileName;
    if (!cacheFileName(children.location(), fileName))
        return PackageParse::bad;
    if (!archFits(children.arch())) {
        LOG(warn, "skipping package '%s' of non-compatible arch '%s'", fileName.c_str(), children.arch().c_str());
        return PackageParse::skip;
    }
    package.location = StoredString(children.location());
    package.localPath = StoredString(packageCacheDir + fileName);
    // The sets grew by doubling; a large repository keeps them all in memory.
    package.requires_.shrinkToFit();
    package.provides.shrinkToFit();
    package.obsoletes.shrinkToFit();
    return PackageParse::keep;
}

bool cacheFileName(std::string_view location, std::string& name)
{
    name = baseName(location);
    if (name.empty() || name == "." || name == "..") {
        LOG(error, "invalid location '%s' in repository metadata", std::string(location).c_str());
        return false;
    }
    return true;
}

bool parseByteCount(const char* text, uint64_t& count)
{
    if (!*text || strspn(text, "0123456789") != strlen(text))
        return false;
    errno = 0;
    unsigned long long value = strtoull(text, nullptr, 10);
    if (errno == ERANGE)
        return false;
    count = value;
    return true;
}

bool parseEvrAttributes(xmlNodePtr element, Evr& evr)
{
    return parseEvr(plainAttribute(element, "epoch"), plainAttribute(element, "ver"), plainAttribute(element, "rel"),
                    evr);
}

bool parseChecksumElement(xmlNodePtr element, Checksum& checksum)
{
    std::string type;
    std::string value;
    if (!nodeAttribute(element, "type", type) || !nodeText(element, value)) {
        LOG(debug, "failed parsing 'checksum' element");
        return false;
    }
    checksum.type = PooledString(type);
    checksum.value = StoredString(value);
    return true;
}

} // namespace updater
