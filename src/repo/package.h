// Package records, as read from repository metadata or the rpm database, and
// the collections the resolver works on.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "evr/dependency.h"
#include "evr/evr.h"
#include "evr/pooledstring.h"
#include "repo/checksum.h"

namespace updater {

struct Package {
    PooledString name;
    PooledString group;
    Evr evr;
    // Repository packages only: the address that `location` is relative to
    // when the metadata names one (xml:base); empty for the repository's
    // own. Pooled, since one base serves every package that has it, and
    // placed here where it fills padding.
    PooledString locationBase;
    DependencySet requires_; // ("requires" is a keyword)
    DependencySet provides;
    DependencySet obsoletes;
    // Repository packages only:
    StoredString location;  // relative to locationBase, or else to the repository's base URI
    StoredString localPath; // package cache directory + last component of location
    Checksum checksum;
    uint64_t size = 0; // bytes of the package file; 0: not declared

    Package() = default;
    explicit Package(PooledString packageName) : name(packageName) {}

    // "name-epoch:version-release", used by every message naming a package.
    std::string label() const;

    // The package's own entry: its name, its version and EQUAL.
    Dependency ownEntry() const { return Dependency(name, evr, EQUAL); }
};

// Packages ordered by name (byte-wise, shorter first on a common prefix),
// several per name, in insertion order within a name. Keys view the pooled
// package name.
using PackageCollection = std::multimap<std::string_view, Package, std::less<>>;

// Appends a package after any packages of the same name.
inline void addPackage(PackageCollection& collection, Package package)
{
    std::string_view key = package.name.view();
    collection.emplace_hint(collection.upper_bound(key), key, std::move(package));
}

// Packages in the order they were read, each already in the node that the
// ordered collection keeps, so that ordering them later moves no package
// and needs no second copy of the list.
class PackageBatch {
public:
    void add(Package package) { m_nodes.emplace_hint(m_nodes.end(), std::string_view(), std::move(package)); }
    size_t size() const { return m_nodes.size(); }

private:
    friend PackageCollection collectByName(PackageBatch&& batch);
    PackageCollection m_nodes; // keys empty until ordered
};

// The packages ordered by name, keeping their order within a name. Faster
// than adding them one by one for the tens of thousands of packages of a
// repository, whose names come in no particular order.
PackageCollection collectByName(PackageBatch&& batch);

// At most one package per name.
using NewPackages = std::map<std::string_view, Package, std::less<>>;

} // namespace updater
