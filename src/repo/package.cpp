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

PackageCollection::node_type packageNode(Package package)
{
    PackageCollection staging;
    return staging.extract(staging.emplace(std::string_view(), std::move(package)));
}

PackageCollection collectByName(PackageNodes&& packages)
{
    struct Key {
        uint64_t prefix;
        uint32_t index;
    };
    auto nameOf = [&](const Key& key) { return packages[key.index].mapped().name.view(); };
    std::vector<Key> keys;
    keys.reserve(packages.size());
    for (size_t i = 0; i < packages.size(); ++i)
        keys.push_back(Key{namePrefix(packages[i].mapped().name.view()), static_cast<uint32_t>(i)});
    std::stable_sort(keys.begin(), keys.end(), [&](const Key& a, const Key& b) {
        if (a.prefix != b.prefix)
            return a.prefix < b.prefix;
        return nameOf(a) < nameOf(b);
    });
    PackageCollection collection;
    for (const Key& key : keys) {
        PackageCollection::node_type& node = packages[key.index];
        node.key() = nameOf(key);
        collection.insert(collection.end(), std::move(node));
    }
    packages.clear();
    return collection;
}

} // namespace updater
