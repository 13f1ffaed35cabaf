#include "config/xmlnode.h"

#include "log/logger.h"

namespace updater {

bool nodeText(xmlNodePtr node, std::string& out)
{
    XmlText text(xmlNodeListGetString(node->doc, node->children, 1));
    if (!text) {
        LOG(debug, "no string list for node '%s'", chars(node->name));
        return false;
    }
    out = chars(text.get());
    return true;
}

bool nodeAttribute(xmlNodePtr node, const char* name, std::string& out)
{
    XmlText value(xmlGetNoNsProp(node, reinterpret_cast<const xmlChar*>(name)));
    if (!value) {
        LOG(debug, "no attribute '%s' for node '%s'", name, chars(node->name));
        return false;
    }
    out = chars(value.get());
    return true;
}

} // namespace updater
