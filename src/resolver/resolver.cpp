#include "resolver/resolver.h"

#include "log/logger.h"

namespace updater {

Resolver::~Resolver() = default;

PackageRange nameRun(const PackageCollection& collection, PackageCollection::const_iterator first)
{
    auto last = first;
    while (last != collection.end() && last->second.name == first->second.name)
        ++last;
    return {first, last};
}

const Package& bestPackage(PackageRange run, bool logDrops)
{
    const Package* best = &run.begin()->second;
    for (const auto& [name, package] : run | std::views::drop(1)) {
        if (package.evr.compare(best->evr) > 0) {
            if (logDrops)
                LOG(trace, "dropping update %s for newer %s", best->label().c_str(), package.label().c_str());
            best = &package;
        } else if (logDrops) {
            LOG(trace, "dropping update %s, has newer %s", package.label().c_str(), best->label().c_str());
        }
    }
    return *best;
}

bool onlyFileRequires(const UnsatisfiedSet& unsatisfied)
{
    LOG(debug, "checking for file-only requires");
    for (const Dependency& entry : unsatisfied) {
        if (!entry.name.view().starts_with('/'))
            return false;
    }
    return true;
}

bool Resolver::init(std::unique_ptr<PackageCollection> installed)
{
    if (m_installed) {
        LOG(error, "attempted to reinitilize a resolver");
        return false;
    }
    if (!installed) {
        LOG(error, "failed getting list of installed packages");
        return false;
    }
    m_installed = std::move(installed);
    return true;
}

const PackageCollection& Resolver::installed() const
{
    static const PackageCollection none;
    return m_installed ? *m_installed : none;
}

PackageRange Resolver::findInstalled(std::string_view name) const
{
    auto [first, last] = installed().equal_range(name);
    return {first, last};
}

bool Resolver::obsoletesInstalled(const Package& package) const
{
    for (const Dependency& obsoletes : package.obsoletes) {
        LOG(trace, "checking obsoletes '%s'", obsoletes.toString().c_str());
        for (const auto& [name, installed] : findInstalled(obsoletes.name.view())) {
            if (obsoletes.overlaps(installed.ownEntry())) {
                LOG(debug, "considering %s newer than %s due to obsoletes", package.label().c_str(),
                    installed.label().c_str());
                return true;
            }
        }
    }
    return false;
}

bool Resolver::updatesInstalled(const Package& package) const
{
    PackageRange installed = findInstalled(package.name.view());
    if (installed.empty())
        return obsoletesInstalled(package);
    for (const auto& [name, record] : installed) {
        if (record.evr.compare(package.evr) >= 0)
            return false;
    }
    return true;
}

} // namespace updater
