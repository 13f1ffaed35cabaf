// Accessors on expanded libxml2 nodes, shared by every XML reader.
#pragma once

#include <memory>
#include <string>

#include <libxml/tree.h>
#include <libxml/xmlreader.h>

namespace updater {

// Reader options for the device's own XML files (configuration, proxy,
// credentials): entities substituted, DTD attribute defaults, no network.
constexpr int CONFIG_READER_OPTIONS =
    XML_PARSE_NOENT | XML_PARSE_DTDATTR | XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS | XML_PARSE_NONET | XML_PARSE_NOCDATA;

// Reader options for documents that come from a repository: no entity
// substitution and no DTD defaults, so that an external entity cannot pull a
// local file into a field.
constexpr int REPOSITORY_READER_OPTIONS = XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS | XML_PARSE_NONET | XML_PARSE_NOCDATA;

struct XmlReaderDeleter {
    void operator()(xmlTextReaderPtr reader) const { xmlFreeTextReader(reader); }
};
using XmlReader = std::unique_ptr<xmlTextReader, XmlReaderDeleter>;

struct XmlCharDeleter {
    void operator()(xmlChar* text) const { xmlFree(text); }
};
using XmlText = std::unique_ptr<xmlChar, XmlCharDeleter>;

inline const char* chars(const xmlChar* text) { return reinterpret_cast<const char*>(text); }

// The element's text children concatenated, entities substituted. Without
// any text: logs at debug level, leaves `out` unchanged and returns false.
[[nodiscard]] bool nodeText(xmlNodePtr node, std::string& out);

// The attribute, looked up without namespace. Absent: logs at debug level,
// leaves `out` unchanged and returns false.
[[nodiscard]] bool nodeAttribute(xmlNodePtr node, const char* name, std::string& out);

} // namespace updater
