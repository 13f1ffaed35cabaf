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

// A base-10 epoch taking up the whole text, 0 to 2147483646; leading white
// space and a sign are accepted.
bool parseEpoch(const std::string& text, int32_t& epoch)
{
    errno = 0;
    char* end = nullptr;
    long long value = strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || errno == ERANGE || value < 0 || value > 2147483646)
        return false;
    epoch = static_cast<int32_t>(value);
    return true;
}

// The EVR attributes (by index, -1 when absent) of a version or an entry.
bool parseEvr(const SaxElement& element, int epochAt, int verAt, int relAt, Evr& evr)
{
    if (epochAt < 0 || verAt < 0) {
        LOG(debug, "failed parsing 'version' element");
        return false;
    }
    std::string scratch;
    Evr parsed;
    if (!parseEpoch(std::string(element.value(epochAt, scratch)), parsed.epoch))
        return false;
    parsed.version = PooledString(element.value(verAt, scratch));
    if (relAt >= 0)
        parsed.release = PooledString(element.value(relAt, scratch));
    evr = parsed;
    return true;
}

struct FlagName {
    std::string_view text;
    int32_t flags;
};

const FlagName flagNames[] = {
    {"EQ", EQUAL}, {"LE", LESS | EQUAL}, {"GE", GREATER | EQUAL}, {"LT", LESS}, {"GT", GREATER},
};

bool parseFlags(std::string_view text, int32_t& flags)
{
    for (const auto& flag : flagNames) {
        if (text == flag.text) {
            flags = flag.flags;
            return true;
        }
    }
    return false;
}

// The attributes of one `entry`, found in a single pass over its attribute
// list: there are hundreds of thousands of entries in a large repository.
struct EntryAttributes {
    int name = -1;
    int flags = -1;
    int epoch = -1;
    int ver = -1;
    int rel = -1;
    int missingok = -1;    // in no namespace
    int anyMissingok = -1; // in any namespace
    bool anyVer = false;

    explicit EntryAttributes(const SaxElement& entry)
    {
        for (int i = 0; i < entry.attributeCount; ++i) {
            const char* attrName = entry.attributeName(i);
            bool plain = !entry.attributeUri(i);
            if (strcmp(attrName, "missingok") == 0) {
                anyMissingok = i;
                missingok = plain ? i : missingok;
            } else if (strcmp(attrName, "ver") == 0) {
                anyVer = true;
                ver = plain ? i : ver;
            } else if (plain) {
                take(attrName, i);
            }
        }
    }

private:
    void take(const char* attrName, int i)
    {
        if (strcmp(attrName, "name") == 0)
            name = i;
        else if (strcmp(attrName, "flags") == 0)
            flags = i;
        else if (strcmp(attrName, "epoch") == 0)
            epoch = i;
        else if (strcmp(attrName, "rel") == 0)
            rel = i;
    }
};

// The same debug line as nodeAttribute, for attributes read without it.
void logMissingAttribute(const SaxElement& element, const char* name)
{
    LOG(debug, "no attribute '%s' for node '%s'", name, chars(element.localName));
}

enum class MissingOk { absent, weak, bad };

// A non-zero `missingok` marks a weak dependency, which is not enforced.
MissingOk readMissingOk(const SaxElement& entry, const EntryAttributes& attrs)
{
    if (attrs.anyMissingok < 0)
        return MissingOk::absent;
    std::string scratch;
    if (attrs.missingok < 0) {
        LOG(debug, "failed parsing '%s' property '%s'", "missingok",
            std::string(entry.value(attrs.anyMissingok, scratch)).c_str());
        return MissingOk::bad;
    }
    std::string text(entry.value(attrs.missingok, scratch));
    char* end = nullptr;
    long value = strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0')
        return MissingOk::bad;
    return value != 0 ? MissingOk::weak : MissingOk::absent;
}

bool parseVersionedEntry(const SaxElement& entry, const EntryAttributes& attrs, Dependency& dependency)
{
    if (!parseEvr(entry, attrs.epoch, attrs.ver, attrs.rel, dependency.evr)) {
        LOG(debug, "failed parsing EVR in entry");
        return false;
    }
    if (attrs.flags < 0) {
        logMissingAttribute(entry, "flags");
        LOG(debug, "failed parsing 'flags' in 'entry'");
        return false;
    }
    std::string scratch;
    std::string_view text = entry.value(attrs.flags, scratch);
    if (!parseFlags(text, dependency.flags)) {
        LOG(debug, "invalid flags '%s' in 'entry'", std::string(text).c_str());
        return false;
    }
    return true;
}

bool parseEntry(const SaxElement& entry, DependencySet& set)
{
    EntryAttributes attrs(entry);
    if (attrs.name < 0) {
        logMissingAttribute(entry, "name");
        LOG(debug, "failed getting 'name' from 'entry'");
        return false;
    }
    std::string scratch;
    std::string_view name = entry.value(attrs.name, scratch);
    if (name.substr(0, 7) == "rpmlib(")
        return true;
    MissingOk missingOk = readMissingOk(entry, attrs);
    if (missingOk == MissingOk::bad)
        return false;
    if (missingOk == MissingOk::weak) {
        LOG(trace, "skipping missingok dep '%s'", std::string(name).c_str());
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

// The element's own xml:base, as createrepo_c --baseurl writes it on each
// location; empty when it has none.
PooledString xmlBase(const SaxElement& element, std::string& scratch)
{
    for (int i = 0; i < element.attributeCount; ++i) {
        const xmlChar* uri = element.attributeUri(i);
        if (uri && xmlStrEqual(uri, XML_XML_NAMESPACE) && strcmp(element.attributeName(i), "base") == 0)
            return PooledString(element.value(i, scratch));
    }
    return {};
}

} // namespace

// The elements of a package that are read.
enum class PackageParser::Child : uint8_t {
    none,
    package,
    name,
    arch,
    version,
    location,
    checksum,
    size,
    format, // with the rpm namespace declared
    group,
    provides,
    requires_,
    obsoletes,
};

// Which child of `parent` the element is, by its local name; none for one
// that is not read.
PackageParser::Child PackageParser::childOf(Child parent, const SaxElement& element)
{
    static const struct {
        Child parent;
        const char* name;
        Child child;
    } children[] = {
        {Child::package, "name", Child::name},         {Child::package, "arch", Child::arch},
        {Child::package, "version", Child::version},   {Child::package, "location", Child::location},
        {Child::package, "checksum", Child::checksum}, {Child::package, "size", Child::size},
        {Child::package, "format", Child::format},     {Child::format, "group", Child::group},
        {Child::format, "provides", Child::provides},  {Child::format, "requires", Child::requires_},
        {Child::format, "obsoletes", Child::obsoletes},
    };
    for (const auto& rule : children) {
        if (rule.parent == parent && element.named(rule.name))
            return rule.child;
    }
    return Child::none;
}

PackageParser::PackageParser(MetadataStream& stream, const NamespaceScope& scope, std::string packageCacheDir)
    : m_stream(stream), m_scope(scope), m_packageCacheDir(std::move(packageCacheDir))
{
}

bool PackageParser::begin(const SaxElement& element)
{
    int type = element.find("type");
    if (type < 0 || element.value(type, m_scratch) != "rpm")
        return false;
    m_package = Package();
    m_namespace = element.uri;
    m_child = m_formatChild = Child::none;
    m_list = nullptr;
    m_textDepth = 0;
    m_arch.clear();
    m_location.clear();
    m_hasName = m_hasVersion = m_hasLocation = m_hasChecksum = m_hasSize = false;
    return true;
}

bool PackageParser::open(const SaxElement& element, int depth)
{
    if (depth == 1)
        return !element.uri || !xmlStrEqual(element.uri, m_namespace) || openChild(element);
    if (depth == 2 && m_child == Child::format)
        return !element.inNamespace(RPM_NAMESPACE) || openFormatChild(element);
    if (depth == 3 && m_list)
        return !element.inNamespace(RPM_NAMESPACE) || !element.named("entry") || openEntry(element);
    return true;
}

bool PackageParser::openChild(const SaxElement& element)
{
    m_child = childOf(Child::package, element);
    bool ok = true;
    switch (m_child) {
    case Child::none:
        return true;
    case Child::format:
        if (!m_scope.declares(RPM_NAMESPACE)) {
            LOG(debug, "no rpm specific data in XML doc");
            m_child = Child::none;
        }
        return true;
    case Child::name:
        ok = !m_hasName;
        break;
    case Child::arch:
        ok = m_arch.empty();
        break;
    case Child::version:
        ok = !m_hasVersion && (m_hasVersion = parseEvr(element, element.find("epoch"), element.find("ver"),
                                                        element.find("rel"), m_package.evr));
        break;
    case Child::location:
        ok = !m_hasLocation && (m_hasLocation = readLocation(element));
        break;
    case Child::checksum:
        ok = !m_hasChecksum && readChecksumType(element);
        break;
    case Child::size:
        ok = !m_hasSize && (m_hasSize = readSize(element));
        break;
    default:
        return true;
    }
    collectText(1);
    return ok;
}

bool PackageParser::readLocation(const SaxElement& element)
{
    int href = element.find("href");
    if (href < 0) {
        logMissingAttribute(element, "href");
        return false;
    }
    m_location = element.value(href, m_scratch);
    m_package.locationBase = xmlBase(element, m_scratch);
    return true;
}

// The type of a checksum; its absence shows once its text has been read.
bool PackageParser::readChecksumType(const SaxElement& element)
{
    int type = element.find("type");
    m_hasChecksumType = type >= 0;
    if (m_hasChecksumType)
        m_checksumType = element.value(type, m_scratch);
    return true;
}

// The size of the package file, when the element declares it.
bool PackageParser::readSize(const SaxElement& element)
{
    int bytes = element.find("package");
    if (bytes >= 0 && !parseByteCount(element.value(bytes, m_scratch), m_package.size)) {
        LOG(debug, "failed parsing 'size' element");
        return false;
    }
    return true;
}

// The rpm-specific part of a package: group and dependency sets.
bool PackageParser::openFormatChild(const SaxElement& element)
{
    m_formatChild = childOf(Child::format, element);
    if (m_formatChild == Child::group) {
        collectText(2);
        return true;
    }
    if (m_formatChild == Child::none)
        return true;
    LOG(trace, "parsing rpm %s for '%s'", chars(element.localName), m_package.name.c_str());
    m_list = m_formatChild == Child::provides   ? &m_package.provides
             : m_formatChild == Child::requires_ ? &m_package.requires_
                                                 : &m_package.obsoletes;
    m_entries = 0;
    return true;
}

bool PackageParser::openEntry(const SaxElement& element)
{
    if (++m_entries > MAX_LIST_ENTRIES) {
        const char* list = m_list == &m_package.provides ? "provides"
                           : m_list == &m_package.requires_ ? "requires"
                                                            : "obsoletes";
        LOG(error, "package '%s' has more than %zu entries in its %s", m_package.name.c_str(), MAX_LIST_ENTRIES, list);
        return false;
    }
    return parseEntry(element, *m_list);
}

// The text of the element just opened at `depth` is collected until it
// closes, within the bound on one element.
void PackageParser::collectText(int depth)
{
    m_textDepth = depth;
    m_text.clear();
    m_stream.boundFromHere(MAX_ELEMENT_BYTES);
}

bool PackageParser::text(const char* text, size_t length, int depth)
{
    if (!collects(depth))
        return true;
    // Entity references add text that the stream does not see.
    if (m_text.size() + length > MAX_ELEMENT_BYTES) {
        m_stream.failOversized(MAX_ELEMENT_BYTES);
        return false;
    }
    m_text.append(text, length);
    return true;
}

bool PackageParser::close(int depth)
{
    bool ok = true;
    if (collects(depth)) {
        m_stream.unbound();
        m_textDepth = 0;
        ok = closeChild(depth == 1 ? m_child : m_formatChild);
    }
    if (depth == 1)
        m_child = Child::none;
    else if (depth == 2 && m_child == Child::format) {
        m_formatChild = Child::none;
        m_list = nullptr;
    }
    return ok;
}

// An element without any text fails as it would when read from a tree.
bool PackageParser::hasText(const char* element) const
{
    if (m_text.empty())
        LOG(debug, "no string list for node '%s'", element);
    return !m_text.empty();
}

bool PackageParser::closeChild(Child child)
{
    switch (child) {
    case Child::name:
        if (!hasText("name"))
            return false;
        m_package.name = PooledString(m_text);
        m_hasName = true;
        return true;
    case Child::arch:
        if (!hasText("arch"))
            return false;
        m_arch = m_text;
        return true;
    case Child::checksum:
        if (!m_hasChecksumType)
            LOG(debug, "no attribute 'type' for node 'checksum'");
        if (!m_hasChecksumType || !hasText("checksum")) {
            LOG(debug, "failed parsing 'checksum' element");
            return false;
        }
        m_package.checksum.type = PooledString(m_checksumType);
        m_package.checksum.value = StoredString(m_text);
        m_hasChecksum = true;
        return true;
    case Child::group:
        if (!m_package.group.empty() || !hasText("group"))
            return false;
        m_package.group = PooledString(m_text);
        return true;
    default:
        return true;
    }
}

PackageParse PackageParser::finish(Package& package)
{
    if (!m_hasName || !m_hasVersion || !m_hasLocation || !m_hasChecksum)
        return PackageParse::bad;
    std::string fileName;
    if (!cacheFileName(m_location, fileName))
        return PackageParse::bad;
    if (!archFits(m_arch)) {
        LOG(warn, "skipping package '%s' of non-compatible arch '%s'", fileName.c_str(), m_arch.c_str());
        return PackageParse::skip;
    }
    m_package.location = StoredString(m_location);
    m_package.localPath = StoredString(m_packageCacheDir + fileName);
    // The sets grew by doubling; a large repository keeps them all in memory.
    m_package.requires_.shrinkToFit();
    m_package.provides.shrinkToFit();
    m_package.obsoletes.shrinkToFit();
    package = std::move(m_package);
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

bool parseByteCount(std::string_view text, uint64_t& count)
{
    if (text.empty())
        return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        auto digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    count = value;
    return true;
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
