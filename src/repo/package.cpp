#include "repo/package.h"

#include <algorithm>
#include <cstring>

namespace updater {

std::string Package::label() const
{
    std::string text = name.str();
    text += '-';
    text += evr.toString();
    return text;
}

namespace {

// The first eight bytes of a name as a big-endian number: ordering by it
// agrees with the byte-wise order of the names, and decides most
// comparisons without reading the names themselves.
uint64_t namePrefix(std::string_view name)
{
    unsigned char bytes[8] = {};
    memcpy(bytes, name.data(), std::min<size_t>(name.size(), sizeof bytes));
    uint64_t prefix = 0;
    for (unsigned char b : bytes)
        prefix = prefix << 8 | b;
    return prefix;
}

} // namespace

PackageCollection collectByName(PackageBatch&& batch)
{
    struct Key {
        uint64_t prefix;
        PackageCollection::iterator node;
    };
    PackageCollection& nodes = batch.m_nodes;
    std::vector<Key> keys;
    keys.reserve(nodes.size());
    for (auto node = nodes.begin(); node != nodes.end(); ++node)
        keys.push_back(Key{namePrefix(node->second.name.view()), node});
    std::stable_sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
        if (a.prefix != b.prefix)
            return a.prefix < b.prefix;
        return a.node->second.name.view() < b.node->second.name.view();
    });
    PackageCollection collection;
    for (const Key& key : keys) {
        auto node = nodes.extract(key.node);
        node.key() = node.mapped().name.view();
        collection.insert(collection.end(), std::move(node));
    }
    return collection;
}

} // namespace updater
