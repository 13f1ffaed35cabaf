#include "repo/primaryparser.h"

#include <memory>
#include <vector>

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include "config/xmlnode.h"
#include "config/xmlreader.h"
#include "log/logger.h"
#include "repo/packageparser.h"
#include "repo/repositorydata.h"
#include "repo/stream.h"

namespace updater {

namespace {

// The document is handed to the parser in blocks of this size.
constexpr size_t PARSE_BLOCK = 64 * 1024;

// libxml2 refuses entities nested deeper than this.
constexpr int MAX_ENTITY_NESTING = 40;

// Hands `take` the text that the entity `name` stands for, piece by piece,
// as a tree's text accessor would assemble it: its text nodes and those of
// the entities it refers to, markup left out. Stops when `take` returns false.
template <typename Take>
bool forEachEntityText(xmlDocPtr doc, const xmlChar* name, Take take, int nesting = 0)
{
    xmlEntityPtr entity = xmlGetDocEntity(doc, name);
    if (!entity || nesting > MAX_ENTITY_NESTING)
        return true;
    for (xmlNodePtr node = entity->children; node; node = node->next) {
        bool isText = node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE;
        if (isText && node->content && !take(node->content))
            return false;
        if (node->type == XML_ENTITY_REF_NODE && !forEachEntityText(doc, node->name, take, nesting + 1))
            return false;
    }
    return true;
}

// The document's elements as they open and close: the root is checked, each
// `package` in the common namespace (at any depth, outside another package)
// goes to the package parser, and everything else is passed over.
class PrimaryDocument {
public:
    PrimaryDocument(MetadataStream& stream, const std::string& packageCacheDir, PackageBatch& packages)
        : m_stream(stream), m_package(stream, m_scope, packageCacheDir), m_packages(packages)
    {
    }

    void open(const SaxElement& element, int namespaceCount, const xmlChar** namespaces)
    {
        ++m_depth;
        m_scope.open(m_depth, namespaceCount, namespaces);
        if (m_packageDepth || m_skipDepth) {
            if (m_packageDepth && !m_package.open(element, m_depth - m_packageDepth))
                m_failed = true;
            return;
        }
        if (m_depth == 1 && !(element.named("metadata") && element.inNamespace(COMMON_NAMESPACE))) {
            LOG(error, "bad top-level element, '%s' instead of 'metadata'", chars(element.localName));
            m_failed = true;
        } else if (element.named("package") && element.inNamespace(COMMON_NAMESPACE)) {
            (m_package.begin(element) ? m_packageDepth : m_skipDepth) = m_depth;
        }
    }

    void close()
    {
        if (m_depth == m_packageDepth)
            finishPackage();
        else if (m_packageDepth && !m_package.close(m_depth - m_packageDepth))
            m_failed = true;
        if (m_depth == m_skipDepth)
            m_skipDepth = 0;
        m_scope.close(m_depth);
        --m_depth;
    }

    void text(const xmlChar* text, int length)
    {
        if (m_packageDepth &&
            !m_package.text(chars(text), static_cast<size_t>(length), m_depth - m_packageDepth))
            m_failed = true;
    }

    // An entity reference in the text: the text it stands for, taken
    // within the bound on the element.
    void reference(const xmlChar* name)
    {
        if (!m_packageDepth || !m_package.collects(m_depth - m_packageDepth))
            return;
        (void)forEachEntityText(m_parser->myDoc, name, [&](const xmlChar* piece) {
            text(piece, xmlStrlen(piece));
            return !m_failed;
        });
    }

    void attach(xmlParserCtxtPtr parser) { m_parser = parser; }
    bool parses(xmlParserCtxtPtr parser) const { return parser == m_parser; }
    bool failed() const { return m_failed; }
    const bool* inputFailed() const { return m_stream.failedFlag(); }

private:
    void finishPackage()
    {
        m_packageDepth = 0;
        Package package;
        PackageParse result = m_package.finish(package);
        if (result == PackageParse::bad)
            m_failed = true;
        else if (result == PackageParse::keep)
            m_packages.add(std::move(package));
    }

    MetadataStream& m_stream;
    xmlParserCtxtPtr m_parser = nullptr;
    NamespaceScope m_scope;
    PackageParser m_package;
    PackageBatch& m_packages;
    int m_depth = 0;        // open elements; the root is at depth 1
    int m_packageDepth = 0; // the package being read; 0: none
    int m_skipDepth = 0;    // the package being passed over; 0: none
    bool m_failed = false;
};

// The SAX callbacks get the parser context: the user data is the context
// itself, as libxml2's own SAX2 handlers require, and it carries the document
// in `_private`. The content of an internal entity is parsed in a context of
// its own the first time it is referred to; there libxml2's handlers build
// the entity's nodes, from which each reference is then resolved.
PrimaryDocument* documentOf(void* context)
{
    return static_cast<PrimaryDocument*>(static_cast<xmlParserCtxtPtr>(context)->_private);
}

bool inEntity(void* context)
{
    PrimaryDocument* document = documentOf(context);
    return !document || !document->parses(static_cast<xmlParserCtxtPtr>(context));
}

// Once the document has failed, parsing stops: the rest is not looked at.
bool proceed(void* context)
{
    if (!documentOf(context)->failed())
        return true;
    xmlStopParser(static_cast<xmlParserCtxtPtr>(context));
    return false;
}

void startElement(void* context, const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri,
                  int namespaceCount, const xmlChar** namespaces, int attributeCount, int defaulted,
                  const xmlChar** attributes)
{
    if (inEntity(context)) {
        xmlSAX2StartElementNs(context, localName, prefix, uri, namespaceCount, namespaces, attributeCount, defaulted,
                              attributes);
        return;
    }
    if (!proceed(context))
        return;
    SaxElement element{localName, uri, attributeCount, attributes, static_cast<xmlParserCtxtPtr>(context)->myDoc};
    documentOf(context)->open(element, namespaceCount, namespaces);
    (void)proceed(context);
}

void endElement(void* context, const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri)
{
    if (inEntity(context)) {
        xmlSAX2EndElementNs(context, localName, prefix, uri);
        return;
    }
    if (!proceed(context))
        return;
    documentOf(context)->close();
    (void)proceed(context);
}

void characters(void* context, const xmlChar* text, int length)
{
    if (inEntity(context)) {
        xmlSAX2Characters(context, text, length);
        return;
    }
    if (!proceed(context))
        return;
    documentOf(context)->text(text, length);
    (void)proceed(context);
}

void reference(void* context, const xmlChar* name)
{
    if (inEntity(context)) {
        xmlSAX2Reference(context, name);
        return;
    }
    if (!proceed(context))
        return;
    documentOf(context)->reference(name);
    (void)proceed(context);
}

void diagnostic(void* context, xmlErrorPtr error)
{
    PrimaryDocument* document = documentOf(context);
    logXmlDiagnostic(document ? document->inputFailed() : nullptr, error);
}

// libxml2's SAX2 handlers for the document type declaration (entity
// declarations are kept, so that references resolve as in a tree), ours for
// the content. Comments and processing instructions are dropped.
xmlSAXHandler primaryHandler()
{
    xmlSAXHandler sax;
    xmlSAXVersion(&sax, 2);
    sax.startElementNs = startElement;
    sax.endElementNs = endElement;
    sax.characters = characters;
    sax.cdataBlock = characters;
    sax.reference = reference;
    sax.comment = nullptr;
    sax.processingInstruction = nullptr;
    sax.serror = diagnostic;
    return sax;
}

struct PushParserDeleter {
    void operator()(xmlParserCtxtPtr ctxt) const
    {
        xmlFreeDoc(ctxt->myDoc);
        ctxt->myDoc = nullptr;
        xmlFreeParserCtxt(ctxt);
    }
};
using PushParser = std::unique_ptr<xmlParserCtxt, PushParserDeleter>;

} // namespace

bool readPrimaryDocument(MetadataStream& stream, const std::string& packageCacheDir, PackageBatch& packages)
{
    if (stream.failed())
        return false;
    PrimaryDocument document(stream, packageCacheDir, packages);
    xmlSAXHandler sax = primaryHandler();
    PushParser parser(xmlCreatePushParserCtxt(&sax, nullptr, nullptr, 0, stream.path().c_str()));
    if (!parser) {
        LOG(error, "cannot parse '%s': out of memory", stream.path().c_str());
        return false;
    }
    parser->_private = &document;
    document.attach(parser.get());
    (void)xmlCtxtUseOptions(parser.get(), REPOSITORY_READER_OPTIONS);
    std::vector<char> block(PARSE_BLOCK);
    long got;
    do {
        got = stream.read(block.data(), block.size());
        if (got < 0)
            return false;
        (void)xmlParseChunk(parser.get(), block.data(), static_cast<int>(got), got == 0);
    } while (got > 0 && parser->wellFormed && !document.failed());
    return got == 0 && parser->wellFormed && !document.failed() && !stream.failed();
}

} // namespace updater
