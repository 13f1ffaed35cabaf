// One `package` element of a repository's primary metadata into a Package:
// the children that are read, the ones required, the filtering of dependency
// entries and the architecture test against rpm's configured platform.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <libxml/tree.h>
#include <libxml/xmlreader.h>

#include "evr/dependency.h"
#include "evr/evr.h"
#include "repo/checksum.h"
#include "repo/package.h"

namespace updater {

enum class PackageParse {
    bad = -1, // the metadata is bad: the whole primary document is abandoned
    skip = 0, // not for this machine or not an rpm: dropped, not an error
    keep = 1,
};

class MetadataStream;

// Fills `package` from the `package` element the reader stands on; its
// localPath is `packageCacheDir` followed by the last component of its
// location. The element is read as it streams by: only its small children are
// expanded, each within a bound on the document bytes that `stream` (where
// given) delivers meanwhile, and each dependency list may hold a bounded
// number of entries, so that what one package can take is bounded whatever
// the document says. The reader is left on the element's last node. rpm's
// macro configuration must have been read (rpmReadConfigFiles) before: the
// architecture is scored against rpm's platform.
[[nodiscard]] PackageParse parsePackage(xmlTextReaderPtr reader, MetadataStream* stream,
                                        const std::string& packageCacheDir, Package& package);

// The last component of a repository location: the name of its file in a
// cache directory. False (logged) when it would name that directory itself or
// its parent: an empty last component, "." or "..".
[[nodiscard]] bool cacheFileName(std::string_view location, std::string& name);

// The attributes epoch, ver and rel (rel optional) of an element.
[[nodiscard]] bool parseEvrAttributes(xmlNodePtr element, Evr& evr);

// A byte count of the metadata: decimal digits only.
[[nodiscard]] bool parseByteCount(const char* text, uint64_t& count);

// The attribute type and the text of a checksum element.
[[nodiscard]] bool parseChecksumElement(xmlNodePtr element, Checksum& checksum);

} // namespace updater
