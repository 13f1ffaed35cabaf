// Selection of the repository packages that are newer than the installed ones.
#include "resolver/resolver.h"

#include "log/logger.h"

namespace updater {
namespace {

// Names that excluded packages obsolete; pooled, so views stay valid.
using ObsoletedNames = std::set<std::string_view, std::less<>>;

bool isExcluded(const Package& package, const NameSet& exclude, const NameSet& excludedGroups,
                const ObsoletedNames& obsoletedByExcluded)
{
    return exclude.contains(package.name.view()) || excludedGroups.contains(package.group.view()) ||
           obsoletedByExcluded.contains(package.name.view());
}

// What an excluded package obsoletes is excluded with it, and leaves the
// selection again when it was taken earlier in the walk.
void excludeObsoleted(const Package& excluded, ObsoletedNames& obsoletedByExcluded, NewPackages& newPackages)
{
    for (const Dependency& obsoletes : excluded.obsoletes) {
        LOG(trace, "adding %s to exclude set, obsoleted by excluded package", obsoletes.name.c_str());
        obsoletedByExcluded.insert(obsoletes.name.view());
        newPackages.erase(obsoletes.name.view());
    }
}

void take(const Package& package, NewPackages& newPackages)
{
    auto [at, inserted] = newPackages.try_emplace(package.name.view(), package);
    if (inserted)
        LOG(debug, "found newer package %s", package.label().c_str());
    else
        LOG(error, "internal error: failed including package %s, already have %s", package.label().c_str(),
            at->second.label().c_str());
}

// Drops the new packages that another new package obsoletes.
void removeObsoletedNew(NewPackages& newPackages)
{
    for (const auto& [name, package] : newPackages) {
        if (package.obsoletes.empty())
            continue;
        LOG(trace, "checking if %s obsoletes any new packages", package.label().c_str());
        for (const Dependency& obsoletes : package.obsoletes) {
            LOG(trace, "checking obsoletes '%s'", obsoletes.toString().c_str());
            auto obsoleted = newPackages.find(obsoletes.name.view());
            if (obsoleted == newPackages.end() || obsoleted->second.name == package.name ||
                !obsoletes.overlaps(obsoleted->second.ownEntry()))
                continue;
            LOG(debug, "removing %s from new packages, obsoleted by %s", obsoleted->second.label().c_str(),
                package.label().c_str());
            newPackages.erase(obsoleted); // never the entry being walked
        }
    }
}

} // namespace

bool Resolver::newerThanInstalled(const Package& candidate, const NameSet& pull) const
{
    PackageRange installed = findInstalled(candidate.name.view());
    if (installed.empty()) {
        if (pull.contains(candidate.name.view())) {
            LOG(debug, "considering %s as newer because in pull set", candidate.label().c_str());
            return true;
        }
        return obsoletesInstalled(candidate);
    }
    for (const auto& [name, record] : installed) {
        LOG(trace, "checking installed %s", record.label().c_str());
        if (record.evr.compare(candidate.evr) >= 0)
            return false;
    }
    return true;
}

NewPackages Resolver::resolveNewer(const PackageCollection& repository, const NameSet& include,
                                   const NameSet& exclude, const NameSet& excludedGroups, const NameSet& pull) const
{
    LOG(debug, "resolving for newer packages");
    NewPackages newPackages;
    ObsoletedNames obsoletedByExcluded;
    for (auto first = repository.begin(); first != repository.end();) {
        PackageRange run = nameRun(repository, first);
        first = run.end();
        const Package& best = bestPackage(run, true);
        LOG(trace, "checking update %s (group %s)", best.label().c_str(), best.group.c_str());
        if (!include.empty() && !include.contains(best.name.view())) {
            LOG(trace, "skipping package not in include set");
            continue;
        }
        if (isExcluded(best, exclude, excludedGroups, obsoletedByExcluded)) {
            LOG(trace, "skipping package in exclude set");
            excludeObsoleted(best, obsoletedByExcluded, newPackages);
            continue;
        }
        if (newerThanInstalled(best, pull))
            take(best, newPackages);
    }
    removeObsoletedNew(newPackages);
    LOG(debug, "done resolving for newer packages");
    return newPackages;
}

} // namespace updater
