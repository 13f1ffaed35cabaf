// The packages of a repository's primary document, read in one pass as the
// metadata stream delivers it: libxml2's SAX2 parser reports the elements,
// and only the few that make up a package record are kept, so that no tree
// of the document is ever built.
#pragma once

#include <string>

#include "repo/package.h"

namespace updater {

class MetadataStream;

// Reads the opened `stream` to the end of its document into `packages`.
// False (logged) when the stream fails, the document is not well-formed, its
// root is not `metadata` in the common namespace or one package is bad.
// Parsed without entity substitution, without DTD defaults and without any
// network access.
[[nodiscard]] bool readPrimaryDocument(MetadataStream& stream, const std::string& packageCacheDir,
                                       PackageBatch& packages);

} // namespace updater
