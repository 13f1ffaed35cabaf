#include "repo/saxelement.h"

#include <cstring>
#include <memory>

#include "config/xmlnode.h"

namespace updater {

int SaxElement::find(const char* name) const
{
    for (int i = 0; i < attributeCount; ++i) {
        if (!attributeUri(i) && strcmp(attributeName(i), name) == 0)
            return i;
    }
    return -1;
}

std::string_view SaxElement::value(int i, std::string& scratch) const
{
    const char* begin = reinterpret_cast<const char*>(attributes[5 * i + 3]);
    const char* end = reinterpret_cast<const char*>(attributes[5 * i + 4]);
    auto length = static_cast<size_t>(end - begin);
    if (!memchr(begin, '&', length))
        return {begin, length};
    struct NodeListDeleter {
        void operator()(xmlNodePtr list) const { xmlFreeNodeList(list); }
    };
    std::unique_ptr<xmlNode, NodeListDeleter> list(
        xmlStringLenGetNodeList(doc, attributes[5 * i + 3], static_cast<int>(length)));
    XmlText text(xmlNodeListGetString(doc, list.get(), 1));
    scratch = text ? chars(text.get()) : "";
    return scratch;
}

void NamespaceScope::open(int depth, int count, const xmlChar** namespaces)
{
    for (int i = 0; i < count; ++i)
        m_bindings.push_back(Binding{depth, namespaces[2 * i], namespaces[2 * i + 1]});
}

void NamespaceScope::close(int depth)
{
    while (!m_bindings.empty() && m_bindings.back().depth == depth)
        m_bindings.pop_back();
}

bool NamespaceScope::declares(const char* uri) const
{
    for (auto binding = m_bindings.rbegin(); binding != m_bindings.rend(); ++binding) {
        if (!xmlStrEqual(binding->uri, BAD_CAST uri))
            continue;
        // Bound to the URI unless an inner declaration rebinds the prefix.
        bool rebound = false;
        for (auto inner = m_bindings.rbegin(); inner != binding; ++inner)
            rebound = rebound || xmlStrEqual(inner->prefix, binding->prefix);
        if (!rebound)
            return true;
    }
    return false;
}

} // namespace updater
