#include "rpmdb/dbdata.h"

#include <cstdlib>
#include <fcntl.h>
#include <rpm/rpmmacro.h>
#include <rpm/rpmtag.h>

#include "child/childprocess.h"
#include "log/logger.h"
#include "platform/rpm54.h"
#include "rpmdb/headertags.h"
#include "rpmdb/rpmhandles.h"

namespace updater {

namespace {

struct MallocFree {
    void operator()(char* text) const { free(text); }
};

// Set by the first successful open or the first recovery attempt of the
// process, whichever comes first: a recovery is tried at most once, and never
// once the database has been seen to open.
bool databaseTouched = false;

// Runs db_recover over the Berkeley DB database directory; true when it
// reported success.
bool recoverDatabase()
{
    std::unique_ptr<char, MallocFree> path(rpmGetPath("%{?_dbpath}", nullptr));
    if (!path || !*path) {
        LOG(error, "failed to get rpm DB path");
        return false;
    }
    ChildProcess recover("db_recover");
    for (const char* argument : {"-f", "-v", "-h", static_cast<const char*>(path.get())})
        recover.addArgument(argument);
    if (!recover.run() || !recover.exited() || recover.exitCode() != 0) {
        LOG(error, "rpm DB BDB recovery failed");
        return false;
    }
    LOG(info, "rpm DB recovery successful, reopening rpm DB");
    return true;
}

bool openWithRecovery(rpmts ts)
{
    // Loops at most twice: the flag is set before a recovery.
    for (;;) {
        if (rpmtsOpenDB(ts, O_RDONLY) == 0) {
            databaseTouched = true;
            return true;
        }
        if (databaseTouched)
            return false;
        databaseTouched = true;
        if (!rpmDbIsBerkeley())
            return false;
        LOG(warn, "rpm DB opening failed and using BDB, attempting recovery");
        if (!recoverDatabase())
            return false;
    }
}

// Name and epoch-version-release of one header.
bool readIdentity(Header header, Package& package)
{
    std::string name, version, release;
    if (!readStringTag(header, RPMTAG_NAME, name) || !readStringTag(header, RPMTAG_VERSION, version) ||
        !readStringTag(header, RPMTAG_RELEASE, release))
        return false;
    int32_t epoch = 0;
    if (headerIsEntry(header, RPMTAG_EPOCH) && !readIntTag(header, RPMTAG_EPOCH, epoch))
        return false;
    package.name = PooledString(name);
    package.evr = Evr{epoch, PooledString(version), PooledString(release)};
    return true;
}

bool readDependencySets(Header header, Package& package)
{
    const char* name = package.name.c_str();
    LOG(trace, "getting dependencies for package '%s'", name);
    if (!readDependencies(header, RPMTAG_REQUIRENAME, package.requires_)) {
        LOG(error, "failed getting requires for package '%s'", name);
        return false;
    }
    if (!readDependencies(header, RPMTAG_PROVIDENAME, package.provides)) {
        LOG(error, "failed getting provides for package '%s'", name);
        return false;
    }
    package.requires_.shrinkToFit();
    package.provides.shrinkToFit();
    return true;
}

// Adds every header of the iterator to the collection; false at the first
// header that cannot be read completely.
bool readAllHeaders(rpmdbMatchIterator iterator, PackageCollection& installed)
{
    while (Header header = rpmmiNext(iterator)) {
        Package package;
        if (!readIdentity(header, package)) {
            LOG(error, "failed while iterating on rpm DB");
            return false;
        }
        if (!readDependencySets(header, package))
            return false;
        addPackage(installed, std::move(package));
    }
    return true;
}

} // namespace

bool RpmDB::open(bool skipHeaderChecks)
{
    if (m_ts) {
        LOG(error, "attempted to reopen an opened RpmDB");
        return false;
    }
    TransactionSet ts(rpmtsCreate());
    if (!ts) {
        LOG(error, "failed opening rpm transaction");
        return false;
    }
    if (!openWithRecovery(ts.get())) {
        LOG(error, "failed opening rpm DB");
        return false;
    }
    if (skipHeaderChecks)
        rpmtsSetVSFlags(ts.get(), RPMVSF_NOHDRCHK);
    LOG(debug, "opened rpm transaction (%schecking headers)", skipHeaderChecks ? "NOT " : "");
    m_ts = std::move(ts);
    return true;
}

bool RpmDB::isInstalled(const Package& package)
{
    bool found = false;
    {
        const std::string name(package.name.view());
        Iterator entries(m_ts ? rpmtsInitIterator(m_ts.get(), RPMTAG_NAME, name.c_str(), 0) : nullptr);
        while (Header header = entries ? rpmmiNext(entries.get()) : nullptr) {
            Package installed;
            if (readIdentity(header, installed) && installed.evr.compare(package.evr) == 0) {
                found = true;
                break;
            }
        }
    }
    rpmtsEmpty(m_ts.get());
    return found;
}

std::unique_ptr<PackageCollection> RpmDB::getInstalledPackages()
{
    auto installed = std::make_unique<PackageCollection>();
    bool complete;
    {
        Iterator iterator(m_ts ? rpmtsInitIterator(m_ts.get(), RPMDBI_PACKAGES, nullptr, 0) : nullptr);
        if (!iterator) {
            LOG(error, "failed initializing rpm DB iterator");
            return nullptr;
        }
        complete = readAllHeaders(iterator.get(), *installed);
    }
    rpmtsEmpty(m_ts.get());
    if (!complete)
        return nullptr;
    return installed;
}

} // namespace updater
