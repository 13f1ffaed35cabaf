// Start tags as libxml2's SAX2 interface reports them, and the namespace
// declarations in scope, for the parsers that read a document as it streams
// by without building a tree.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <libxml/tree.h>

namespace updater {

struct SaxElement {
    const xmlChar* localName;
    const xmlChar* uri; // null: no namespace
    int attributeCount;
    // Five pointers per attribute: local name, prefix, URI, value, value end.
    const xmlChar** attributes;
    xmlDocPtr doc; // holds the entity declarations of the document

    bool named(const char* name) const { return xmlStrEqual(localName, BAD_CAST name); }
    bool inNamespace(const char* namespaceUri) const { return uri && xmlStrEqual(uri, BAD_CAST namespaceUri); }

    const char* attributeName(int i) const { return reinterpret_cast<const char*>(attributes[5 * i]); }
    const xmlChar* attributeUri(int i) const { return attributes[5 * i + 2]; }
    // The attribute of that name in no namespace; -1 when there is none.
    int find(const char* name) const;
    // The value of attribute `i`. Entities are not substituted in repository
    // documents, so libxml2 leaves their references in the value; they are
    // resolved here as the tree's text accessors resolve them, into
    // `scratch`. Otherwise the value is borrowed from the parser.
    std::string_view value(int i, std::string& scratch) const;
};

// The namespace declarations of the open elements.
class NamespaceScope {
public:
    // The declarations of the element opened at `depth`: libxml2's pairs of
    // prefix and URI.
    void open(int depth, int count, const xmlChar** namespaces);
    // Drops the declarations of the element at `depth`, which closes.
    void close(int depth);
    // Whether some prefix (or the default) that is declared for that URI is
    // still bound to it in the innermost open element.
    bool declares(const char* uri) const;

private:
    struct Binding {
        int depth;
        const xmlChar* prefix; // null: the default namespace
        const xmlChar* uri;
    };
    std::vector<Binding> m_bindings;
};

} // namespace updater
