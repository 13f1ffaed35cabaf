// One `package` element of a repository's primary metadata into a Package,
// read from the parser's events as the document streams by: the children
// that are read, the ones required, the filtering of dependency entries and
// the architecture test against rpm's configured platform.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <libxml/tree.h>

#include "repo/checksum.h"
#include "repo/package.h"
#include "repo/saxelement.h"

namespace updater {

enum class PackageParse {
    bad = -1, // the metadata is bad: the whole primary document is abandoned
    skip = 0, // not for this machine or not an rpm: dropped, not an error
    keep = 1,
};

class MetadataStream;

// Takes the events of one `package` element at a time. Only the small
// children are collected, each within a bound on the document bytes that
// the stream delivers meanwhile, and each dependency list may hold a bounded
// number of entries, so that what one package can take is bounded whatever
// the document says. Every call but begin() returns false when the metadata
// is bad. rpm's macro configuration must have been read (rpmReadConfigFiles)
// before: the architecture is scored against rpm's platform.
class PackageParser {
public:
    // The package's localPath is `packageCacheDir` followed by the last
    // component of its location; `scope` tells whether the rpm namespace is
    // declared where a `format` element opens.
    PackageParser(MetadataStream& stream, const NamespaceScope& scope, std::string packageCacheDir);

    // At the start tag of a `package` element: false when it is not an rpm,
    // and its content is then not to be read.
    bool begin(const SaxElement& element);
    // A start tag, the end tag and text inside the package; `depth` 1 is a
    // child of the package, the text's depth that of the element holding it.
    [[nodiscard]] bool open(const SaxElement& element, int depth);
    [[nodiscard]] bool close(int depth);
    [[nodiscard]] bool text(const char* text, size_t length, int depth);
    // Whether text at `depth` is collected.
    bool collects(int depth) const { return m_textDepth != 0 && depth == m_textDepth; }
    // At the end tag of the package: the package read, when it is to be kept.
    [[nodiscard]] PackageParse finish(Package& package);

private:
    enum class Child : uint8_t;

    static Child childOf(Child parent, const SaxElement& element);
    bool openChild(const SaxElement& element);
    bool readLocation(const SaxElement& element);
    bool readChecksumType(const SaxElement& element);
    bool readSize(const SaxElement& element);
    bool openFormatChild(const SaxElement& element);
    bool openEntry(const SaxElement& element);
    bool closeChild(Child child);
    void collectText(int depth);
    bool hasText(const char* element) const;

    MetadataStream& m_stream;
    const NamespaceScope& m_scope;
    std::string m_packageCacheDir;
    Package m_package;
    const xmlChar* m_namespace = nullptr; // the package element's
    Child m_child{};                      // the open child of the package
    Child m_formatChild{};                // the open child of its format element
    DependencySet* m_list = nullptr;      // the open dependency list
    size_t m_entries = 0;
    int m_textDepth = 0; // the element whose text is collected; 0: none
    std::string m_text;
    std::string m_scratch;
    std::string m_arch;
    std::string m_location;
    std::string m_checksumType;
    bool m_hasChecksumType = false;
    bool m_hasName = false;
    bool m_hasVersion = false;
    bool m_hasLocation = false;
    bool m_hasChecksum = false;
    bool m_hasSize = false;
};

// The last component of a repository location: the name of its file in a
// cache directory. False (logged) when it would name that directory itself or
// its parent: an empty last component, "." or "..".
[[nodiscard]] bool cacheFileName(std::string_view location, std::string& name);

// A byte count of the metadata: decimal digits only.
[[nodiscard]] bool parseByteCount(std::string_view text, uint64_t& count);

// The attribute type and the text of a checksum element.
[[nodiscard]] bool parseChecksumElement(xmlNodePtr element, Checksum& checksum);

} // namespace updater
