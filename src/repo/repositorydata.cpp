#include "repo/repositorydata.h"

#include <algorithm>
#include <optional>
#include <vector>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "config/xmlnode.h"
#include "config/xmlreader.h"
#include "download/filehelpers.h"
#include "log/failureclass.h"
#include "log/logger.h"
#include "pgp/pgp.h"
#include "repo/clockcheck.h"
#include "repo/metadatacheck.h"
#include "repo/packageparser.h"
#include "repo/primaryparser.h"
#include "repo/stream.h"
#include "sigcheck/trustedkeys.h"

namespace updater {

namespace {

// Whether the detached signature of the cached repomd.xml was made by one of
// the rpm database's keys. A failure while the clock is behind the metadata
// (whose timestamps are not verified yet) or a key names the clock.
bool signatureIsValid(const std::string& repomd, const std::string& signature, uint64_t newestTimestamp)
{
    if (!isReadable(signature)) {
        LOG(error, "metadata signature missing or unreadable");
        noteFailure(FailureClass::metadataSignature);
        return false;
    }
    TrustedKeys keys;
    if (!keys.loadFromRpmDb()) {
        LOG(error, "failed to load public keys from RPM DB to check metadata signature");
        noteFailure(FailureClass::metadataSignature);
        return false;
    }
    if (!keys.verify(repomd, signature)) {
        LOG(error, "invalid metadata signature");
        if (!blameClock(newestTimestamp, newestKeyCreation(keys.keys()), time(nullptr)))
            noteFailure(FailureClass::metadataSignature);
        return false;
    }
    return true;
}

// The SHA-256 of a file as hex text; empty when it cannot be read.
std::string sha256Text(const std::string& path)
{
    Checksum checksum;
    checksum.type = PooledString("sha256");
    std::vector<unsigned char> digest;
    if (!checksum.digest(path, false, digest))
        return {};
    return hexText(digest.data(), digest.size());
}

const xmlChar* xmlText(const char* text)
{
    return reinterpret_cast<const xmlChar*>(text);
}

bool named(xmlNodePtr node, const char* name)
{
    return strcmp(chars(node->name), name) == 0;
}

bool inNamespaceOf(xmlNodePtr node, xmlNodePtr parent)
{
    if (node->ns == parent->ns)
        return true;
    return node->ns && parent->ns && xmlStrEqual(node->ns->href, parent->ns->href);
}

// The reader's current element, if it has that local name in that namespace.
bool readerAt(xmlTextReaderPtr reader, const char* localName, const char* namespaceUri)
{
    return xmlStrEqual(xmlTextReaderConstLocalName(reader), xmlText(localName)) &&
           xmlStrEqual(xmlTextReaderConstNamespaceUri(reader), xmlText(namespaceUri));
}

const char* readerLocalName(xmlTextReaderPtr reader)
{
    const xmlChar* name = xmlTextReaderConstLocalName(reader);
    return name ? chars(name) : "";
}

// What a document walk does after looking at one node.
enum class Walk { descend, skipSubtree, fail };

// Reads the document node by node, letting `visit` handle each element.
template <typename Visit>
bool walkDocument(xmlTextReaderPtr reader, Visit visit)
{
    int rc = xmlTextReaderRead(reader);
    while (rc == 1) {
        Walk next = Walk::descend;
        if (xmlTextReaderNodeType(reader) == XML_READER_TYPE_ELEMENT)
            next = visit();
        if (next == Walk::fail)
            return false;
        rc = next == Walk::skipSubtree ? xmlTextReaderNext(reader) : xmlTextReaderRead(reader);
    }
    return rc == 0;
}

// Only digits and dots; a number ending at the end of the text or at a dot.
bool parseTimestamp(const std::string& text, uint64_t& timestamp)
{
    if (text.find_first_not_of("0123456789.") != std::string::npos) {
        LOG(debug, "invalid characters in 'timestamp'");
        return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long value = strtoull(text.c_str(), &end, 10);
    if (end == text.c_str() || (*end != '\0' && *end != '.') || (value == ULLONG_MAX && errno == ERANGE)) {
        LOG(debug, "failed parsing 'timestamp'");
        return false;
    }
    timestamp = value;
    return true;
}

bool parseDataChild(xmlNodePtr child, MetadataEntry& entry)
{
    if (named(child, "location"))
        return nodeAttribute(child, "href", entry.location);
    if (named(child, "checksum"))
        return parseChecksumElement(child, entry.checksum);
    if (named(child, "open-checksum"))
        return parseChecksumElement(child, entry.openChecksum);
    if (named(child, "timestamp")) {
        std::string text;
        return nodeText(child, text) && parseTimestamp(text, entry.timestamp);
    }
    if (named(child, "size")) {
        std::string text;
        if (nodeText(child, text) && parseByteCount(text.c_str(), entry.size))
            return true;
        LOG(debug, "failed parsing 'size'");
        return false;
    }
    if (named(child, "open-size")) {
        std::string text;
        if (nodeText(child, text) && parseByteCount(text.c_str(), entry.openSize))
            return true;
        LOG(debug, "failed parsing 'open-size'");
        return false;
    }
    return true;
}

bool parseData(xmlNodePtr data, const std::string& cacheDir, MetadataEntry& entry)
{
    if (!nodeAttribute(data, "type", entry.type)) {
        LOG(debug, "no 'type' attribute in 'data' element");
        return false;
    }
    for (xmlNodePtr child = data->children; child; child = child->next) {
        if (child->type == XML_ELEMENT_NODE && inNamespaceOf(child, data) && !parseDataChild(child, entry))
            return false;
    }
    entry.localPath = cacheDir + baseName(entry.location);
    return true;
}

// The XML reader's input callback over a metadata stream.
int readStream(void* context, char* buffer, int length)
{
    return static_cast<int>(static_cast<MetadataStream*>(context)->read(buffer, static_cast<size_t>(length)));
}

// A reader on an opened metadata stream; null when its first read failed.
XmlReader openMetadataReader(MetadataStream& stream)
{
    if (stream.failed())
        return nullptr;
    return openXmlInput(readStream, &stream, stream.path(), REPOSITORY_READER_OPTIONS, stream.failedFlag());
}

} // namespace

RepositoryData::RepositoryData(const Config& config, const Repository& repository)
    : m_repository(repository),
      m_download(config.download),
      m_skipMetadataSignature(config.noMdSigCheck),
      m_cacheDir(config.cacheDir + repository.id + "/"),
      m_packageCacheDir(m_cacheDir + "packages/"),
      m_guard(config)
{
    setUri(repository.location);
}

RepositoryData::~RepositoryData()
{
    LOG(debug, "destroyed repository '%s' with cache dir '%s'", m_repository.id.c_str(), m_cacheDir.c_str());
}

void RepositoryData::setUri(const std::string& location)
{
    m_uri = !location.empty() && location[0] == '/' ? "file://" + location : location;
}

bool RepositoryData::loadFromCache()
{
    m_metadata.clear();
    m_packages.clear();
    if (!parseRepomd()) {
        LOG(error, "failed parsing repository metadata from '%s'", REPOMD_RESOURCE);
        return false;
    }
    return loaded(loadPrimary(true));
}

bool RepositoryData::loaded(bool primaryLoaded)
{
    if (primaryLoaded)
        m_guard.remember(m_facts);
    return primaryLoaded;
}

bool RepositoryData::parseRepomd()
{
    const std::string path = m_cacheDir + "repomd.xml";
    std::map<std::string, MetadataEntry> entries;
    RepomdFacts facts;
    const bool parsed = readRepomd(path, entries, facts.revision);
    for (const auto& [type, entry] : entries)
        facts.newestTimestamp = std::max(facts.newestTimestamp, entry.timestamp);
    const time_t now = time(nullptr);
    if (parsed && !m_clockChecked) {
        m_clockChecked = true;
        warnWhenClockBehind(facts.newestTimestamp, now);
    }
    if (!m_skipMetadataSignature && !signatureIsValid(path, m_cacheDir + "repomd.xml.asc", facts.newestTimestamp))
        return false;
    if (!parsed) {
        noteFailure(FailureClass::metadata);
        return false;
    }
    facts.sha256 = sha256Text(path);
    if (facts.sha256.empty() || !m_guard.admit(facts, now))
        return false;
    m_metadata = std::move(entries);
    m_facts = std::move(facts);
    return true;
}

// The `revision` and the `data` entries of a repomd.xml (the first entry of a
// type stays). Its signature is not checked yet: nothing read here is used
// before it is.
bool RepositoryData::readRepomd(const std::string& path, std::map<std::string, MetadataEntry>& entries,
                                std::string& revision) const
{
    MetadataStream stream(path);
    if (!stream.open())
        return false;
    XmlReader reader = openMetadataReader(stream);
    if (!reader)
        return false;
    bool ok = walkDocument(reader.get(), [&] {
        xmlTextReaderPtr r = reader.get();
        const int depth = xmlTextReaderDepth(r);
        if (depth == 0 && !readerAt(r, "repomd", REPO_NAMESPACE)) {
            LOG(debug, "bad top-level element, '%s' instead of 'rempomd'", readerLocalName(r));
            return Walk::fail;
        }
        if (depth == 1 && readerAt(r, "revision", REPO_NAMESPACE)) {
            xmlNodePtr node = xmlTextReaderExpand(r);
            if (node)
                (void)nodeText(node, revision); // an empty revision stays empty
            return Walk::skipSubtree;
        }
        if (!readerAt(r, "data", REPO_NAMESPACE))
            return Walk::descend;
        xmlNodePtr data = xmlTextReaderExpand(r);
        MetadataEntry entry;
        if (!data || !parseData(data, m_cacheDir, entry)) {
            LOG(debug, "failed parsing 'data' element");
            return Walk::fail;
        }
        entries.emplace(entry.type, std::move(entry));
        return Walk::skipSubtree;
    });
    return ok && !stream.failed();
}

bool RepositoryData::loadPrimary(bool verify)
{
    auto primary = m_metadata.find("primary");
    if (primary == m_metadata.end()) {
        noteFailure(FailureClass::metadata);
        LOG(error, "no 'primary' entry in repository metadata");
        return false;
    }
    const MetadataEntry& entry = primary->second;
    // One pass: the file is parsed while it is hashed, and its packages are
    // kept only when it matches.
    MetadataStream stream(entry.localPath);
    std::optional<MetadataCheck> check;
    if (verify)
        check.emplace(entry, stream);
    stream.limitContent(entry.openSize);
    bool opened = stream.open();
    if (!opened && verify)
        LOG(error, "failed opening '%s' for checksumming (%s)", entry.localPath.c_str(), errnoText().c_str());
    else if (!opened)
        LOG(error, "could not open primary file '%s' for parsing", entry.localPath.c_str());
    else if (check)
        check->opened();
    PackageBatch loaded;
    bool parsed = opened && readPrimary(stream, loaded);
    if (check && !(opened && stream.finish() && check->matches())) {
        noteFailure(FailureClass::checksum);
        LOG(error, "invalid checksum on '%s'", entry.location.c_str());
        return false;
    }
    if (!parsed) {
        noteFailure(FailureClass::metadata);
        LOG(error, "failed parsing repository resource '%s'", entry.location.c_str());
        return false;
    }
    m_packages = collectByName(std::move(loaded));
    return true;
}

bool RepositoryData::parsePrimary(const std::string& path)
{
    MetadataStream stream(path);
    if (!stream.open()) {
        LOG(error, "could not open primary file '%s' for parsing", path.c_str());
        return false;
    }
    PackageBatch loaded;
    if (!readPrimary(stream, loaded))
        return false;
    m_packages = collectByName(std::move(loaded));
    return true;
}

bool RepositoryData::readPrimary(MetadataStream& stream, PackageBatch& loaded)
{
    return readPrimaryDocument(stream, m_packageCacheDir, loaded);
}

} // namespace updater
