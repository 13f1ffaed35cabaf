// Dependency closure: the requires that the system after the update leaves
// open, and the repository packages pulled in to meet them.
#include "resolver/resolver.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "log/logger.h"
#include "resolver/futuresystem.h"
#include "resolver/richrequire.h"

namespace updater {
namespace {

ProvidesPool providesOf(const std::vector<const Package*>& packages)
{
    size_t count = 0;
    for (const Package* package : packages)
        count += package->provides.size();
    ProvidesPool pool;
    pool.reserve(count);
    for (const Package* package : packages)
        pool.insert(pool.end(), package->provides.begin(), package->provides.end());
    std::sort(pool.begin(), pool.end());
    return pool;
}

const char* modeText(PullMode mode)
{
    switch (mode) {
    case PullMode::allAvailable:
        return "all available";
    case PullMode::updatesOnly:
        return "updates only";
    case PullMode::skipUpdates:
        return "skip updates";
    }
    return "?";
}

bool hasRichRequire(const UnsatisfiedSet& unsatisfied)
{
    auto first = unsatisfied.lower_bound(std::string_view("("));
    return first != unsatisfied.end() && isRichDependency(first->name.view());
}

// Pulls `best` for every open require that one of its provides meets, and
// erases those requires. Counts the provides that met something.
unsigned pullThroughProvides(const Package& best, UnsatisfiedSet& unsatisfied, NewPackages& newPackages)
{
    unsigned pulled = 0;
    for (const Dependency& provide : best.provides) {
        LOG(trace, "check prov %s", provide.toString().c_str());
        bool metOne = false;
        for (auto open = unsatisfied.lower_bound(provide.name.view());
             open != unsatisfied.end() && open->name == provide.name;) {
            LOG(debug, "checking provide %s", provide.toString().c_str());
            if (!provide.overlaps(*open)) {
                ++open;
                continue;
            }
            if (!metOne) {
                metOne = true;
                LOG(debug, "pulling package %s to satisfy '%s'", best.label().c_str(), open->toString().c_str());
                ++pulled;
                newPackages.try_emplace(best.name.view(), best);
            }
            LOG(debug, "removing require '%s', provided by pulled package", open->toString().c_str());
            open = unsatisfied.erase(open);
        }
    }
    return pulled;
}

// True when the system after the update meets the require.
bool isMet(const Dependency& require, const FutureSystem& system)
{
    if (isRichDependency(require.name.view()))
        return richRequireMet(require, system);
    return isProvided(system.provides, require);
}

} // namespace

FutureSystem futureSystem(const PackageCollection& installed, const NewPackages& newPackages)
{
    FutureSystem system;
    system.packages.reserve(installed.size() + newPackages.size());
    for (const auto& [name, package] : installed) {
        if (!newPackages.contains(name))
            system.packages.push_back(&package);
    }
    for (const auto& [name, package] : newPackages)
        system.packages.push_back(&package);
    system.provides = providesOf(system.packages);
    return system;
}

bool isProvided(const ProvidesPool& pool, const Dependency& require)
{
    auto entry = std::lower_bound(pool.begin(), pool.end(), require.name.view(), DependencyOrder());
    for (; entry != pool.end() && entry->name == require.name; ++entry) {
        if (entry->overlaps(require))
            return true;
    }
    return false;
}

bool Resolver::checkDependencies(const NewPackages& newPackages, UnsatisfiedSet& unsatisfied) const
{
    LOG(debug, "checking dependencies for %u new packages", static_cast<unsigned>(newPackages.size()));
    unsatisfied.clear();
    const FutureSystem system = futureSystem(installed(), newPackages);
    if (logEnabled(LogLevel::trace)) {
        for (const Dependency& provide : system.provides)
            LOG(trace, "dep %s", provide.toString().c_str());
    }
    for (const Package* package : system.packages) {
        for (const Dependency& require : package->requires_) {
            if (isMet(require, system))
                continue;
            if (isFileRequire(require)) {
                LOG(debug, "ignoring non-satisfied file dependency %s for %s", require.toString().c_str(),
                    package->label().c_str());
                continue;
            }
            unsatisfied.insert(require);
            LOG(debug, "failed dep: %s is needed by %s", require.toString().c_str(), package->label().c_str());
        }
    }
    return unsatisfied.empty();
}

bool Resolver::wantedInMode(PullMode mode, const Package& best) const
{
    if (mode == PullMode::updatesOnly && !updatesInstalled(best)) {
        LOG(trace, "skip package %s which does not update installed package", best.label().c_str());
        return false;
    }
    if (mode == PullMode::skipUpdates && updatesInstalled(best)) {
        LOG(trace, "skip package %s which updates installed package", best.label().c_str());
        return false;
    }
    return true;
}

bool Resolver::pullDependencies(PullMode mode, const PackageCollection& repository, UnsatisfiedSet& unsatisfied,
                                NewPackages& newPackages) const
{
    if (unsatisfied.empty())
        return false;
    LOG(debug, "resolving dependencies (%s)", modeText(mode));
    // Rich requires are weighed against the system as it stands before this pull.
    std::optional<FutureSystem> system;
    std::optional<RichPull> rich;
    if (hasRichRequire(unsatisfied)) {
        system.emplace(futureSystem(installed(), newPackages));
        rich.emplace(repository, newPackages, *system);
        rich->collect(unsatisfied);
    }
    unsigned pulled = 0;
    for (auto first = repository.begin(); first != repository.end();) {
        if (newPackages.contains(first->first)) {
            LOG(trace, "package %s already in", first->second.label().c_str());
            ++first;
            continue;
        }
        LOG(trace, "checking package %s", first->second.label().c_str());
        PackageRange run = nameRun(repository, first);
        first = run.end();
        const Package& best = bestPackage(run);
        LOG(trace, "found %s as best", best.label().c_str());
        if (!wantedInMode(mode, best))
            continue;
        pulled += pullThroughProvides(best, unsatisfied, newPackages);
        if (rich)
            pulled += rich->pull(best, unsatisfied, newPackages);
    }
    LOG(debug, "pulled %u packages", pulled);
    return pulled > 0;
}

bool Resolver::pullDependencies(const PackageCollection& repository, UnsatisfiedSet& unsatisfied,
                                NewPackages& newPackages) const
{
    bool pulledUpdates = pullDependencies(PullMode::updatesOnly, repository, unsatisfied, newPackages);
    bool pulledOthers = pullDependencies(PullMode::skipUpdates, repository, unsatisfied, newPackages);
    return pulledUpdates || pulledOthers;
}

bool Resolver::closeDependencies(const PackageCollection& repository, NewPackages& newPackages,
                                 UnsatisfiedSet& unsatisfied, const std::function<bool()>& terminationRequested) const
{
    while (!checkDependencies(newPackages, unsatisfied)) {
        if (!pullDependencies(repository, unsatisfied, newPackages)) {
            if (!onlyFileRequires(unsatisfied))
                return false;
            LOG(debug, "only file dependencies are left unsatisfied, assuming all are satisfied");
            return true;
        }
        if (terminationRequested())
            return false;
    }
    return true;
}

bool Resolver::checkProvide(const Dependency& provide, const NewPackages& newPackages,
                            UnsatisfiedSet& unsatisfied) const
{
    unsatisfied.clear();
    for (const auto& [name, package] : newPackages) {
        const DependencySet& requires_ = package.requires_;
        for (auto require = requires_.firstOfName(provide.name.view());
             require != requires_.end() && require->name == provide.name; ++require) {
            if (provide.overlaps(*require))
                continue;
            unsatisfied.insert(*require);
            LOG(debug, "failed satisfy of '%s': %s is needed by %s", provide.toString().c_str(),
                require->toString().c_str(), package.label().c_str());
        }
    }
    return unsatisfied.empty();
}

} // namespace updater
