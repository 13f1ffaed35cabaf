// The system after the update, as one dependency check sees it (internal to
// the resolver).
#pragma once

#include <vector>

#include "resolver/resolver.h"

namespace updater {

// Provides in dependency order, duplicates allowed.
using ProvidesPool = std::vector<Dependency>;

struct FutureSystem {
    // The installed packages that no new package replaces, then the new packages.
    std::vector<const Package*> packages;
    ProvidesPool provides;
};

FutureSystem futureSystem(const PackageCollection& installed, const NewPackages& newPackages);

inline bool isFileRequire(const Dependency& require)
{
    return require.name.view().starts_with('/');
}

// True when a provide of the pool meets the require.
bool isProvided(const ProvidesPool& pool, const Dependency& require);

} // namespace updater
