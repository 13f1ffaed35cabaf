// Choosing the packages of an update run: the repository packages that are
// newer than the installed ones, within the run's name sets, and the packages
// that their requires pull in.
#pragma once

#include <functional>
#include <memory>
#include <ranges>
#include <set>
#include <string>
#include <string_view>

#include "config/config.h"
#include "evr/dependency.h"
#include "repo/package.h"

namespace updater {

// Dependency order (name, then version, then flags). Also compares entries
// with a bare name, so that the first entry of a name is found by the name
// alone: no probe entry orders below every version ("~rc1" sorts below the
// empty version, and epochs may be negative).
struct DependencyOrder {
    using is_transparent = void;
    bool operator()(const Dependency& a, const Dependency& b) const { return a < b; }
    bool operator()(const Dependency& a, std::string_view name) const { return a.name.view() < name; }
    bool operator()(std::string_view name, const Dependency& b) const { return name < b.name.view(); }
};

// The open requires of an update run, each entry once.
using UnsatisfiedSet = std::set<Dependency, DependencyOrder>;

// Package names or group names: the include, exclude, excluded-group and pull
// sets of an update pass.
using NameSet = std::set<std::string, std::less<>>;

// A contiguous part of a package collection, usually the packages of one name.
using PackageRange = std::ranges::subrange<PackageCollection::const_iterator>;

// The packages of the name of `first`, starting at `first`.
PackageRange nameRun(const PackageCollection& collection, PackageCollection::const_iterator first);

// The best package of a run of one name: the newest, the first listed among
// equal versions. With logDrops, each package passed over is traced.
const Package& bestPackage(PackageRange run, bool logDrops = false);

// True when every entry is a file path (also for an empty set).
bool onlyFileRequires(const UnsatisfiedSet& unsatisfied);

// Which best packages a pull may take.
enum class PullMode {
    allAvailable = 0, // every one
    updatesOnly = 1,  // those that update the installed system
    skipUpdates = 2,  // those that do not
};

class Resolver {
public:
    Resolver() = default;
    ~Resolver();
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    // Reads the installed packages from the rpm database, verifying headers
    // only with config.checkDbHeaders. The database is closed again before
    // this returns; the resolver never reads it afterwards. Fails (after
    // logging) when already initialised or when the database fails.
    [[nodiscard]] bool init(const Config& config);
    // Takes an installed collection read elsewhere (null fails like an
    // unreadable database).
    [[nodiscard]] bool init(std::unique_ptr<PackageCollection> installed);
    bool initialised() const { return m_installed != nullptr; }

    // The installed records of that name, in database order (possibly none).
    PackageRange findInstalled(std::string_view name) const;
    // True when one of the package's obsoletes entries meets an installed package.
    bool obsoletesInstalled(const Package& package) const;
    // True when the package is newer than every installed package of its
    // name or, with nothing of its name installed, obsoletes an installed one.
    bool updatesInstalled(const Package& package) const;

    // The newest repository package of each name that is newer than what is
    // installed (or obsoletes an installed package, or is in the pull set),
    // within the include set and outside the exclude set and excluded groups,
    // less the packages that other selected packages obsolete.
    NewPackages resolveNewer(const PackageCollection& repository, const NameSet& include, const NameSet& exclude,
                             const NameSet& excludedGroups, const NameSet& pull) const;

    // Fills `unsatisfied` with the non-file requires that nothing of the
    // system after the update provides (the installed packages not replaced
    // by a new one, and the new packages); true when there are none.
    bool checkDependencies(const NewPackages& newPackages, UnsatisfiedSet& unsatisfied) const;

    // Adds the best repository packages whose provides meet open requires,
    // first among updates of installed packages, then among the rest, and
    // erases the requires they meet. True when something was pulled. The
    // run's name sets play no part: any repository package may be pulled.
    bool pullDependencies(const PackageCollection& repository, UnsatisfiedSet& unsatisfied,
                          NewPackages& newPackages) const;
    // One pull over the repository in the given mode.
    bool pullDependencies(PullMode mode, const PackageCollection& repository, UnsatisfiedSet& unsatisfied,
                          NewPackages& newPackages) const;

    // Alternates the check and the pull until nothing is open, or nothing
    // more can be pulled, or `terminationRequested` answers true after a
    // pull. True when the closure is complete; otherwise `unsatisfied` holds
    // the open requires (unless the loop stopped for termination).
    bool closeDependencies(const PackageCollection& repository, NewPackages& newPackages, UnsatisfiedSet& unsatisfied,
                           const std::function<bool()>& terminationRequested) const;

    // Fills `unsatisfied` with every require of a new package on the name of
    // `provide` that `provide` does not meet; true when there is none. The
    // update run checks the running updater's own version with it.
    bool checkProvide(const Dependency& provide, const NewPackages& newPackages, UnsatisfiedSet& unsatisfied) const;

private:
    const PackageCollection& installed() const; // empty until init
    bool newerThanInstalled(const Package& candidate, const NameSet& pull) const;
    bool wantedInMode(PullMode mode, const Package& best) const;

    std::unique_ptr<PackageCollection> m_installed; // null until init
};

} // namespace updater
