// The package cache of a repository: the packages of an update set fetched
// into it, within the sizes the metadata declares, with the free space
// checked first and their checksums after; and its emptying before a pass.
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <map>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

#include "download/downloader.h"
#include "download/filehelpers.h"
#include "log/failureclass.h"
#include "log/logger.h"
#include "repo/itemnotify.h"
#include "repo/repositorydata.h"

namespace updater {

namespace {

// Downloads one package until it matches its checksum: once, then once more
// bypassing HTTP caches.
bool fetchPackage(Downloader& downloader, const Package& package)
{
    std::string location = package.location.str();
    std::string localPath = package.localPath.str();
    std::string base = package.locationBase.str();
    for (bool bypassCaches : {false, true}) {
        bool downloaded = base.empty()
                              ? downloader.download(location, localPath, bypassCaches, package.size)
                              : downloader.download(base, location, localPath, bypassCaches, package.size);
        if (!downloaded) {
            LOG(error, "failed getting package '%s' from repository", location.c_str());
            return false;
        }
        if (package.checksum.checkFile(localPath))
            return true;
        if (!bypassCaches)
            LOG(warn, "invalid checksum on '%s'; retrying with bypass of http caches", localPath.c_str());
    }
    noteFailure(FailureClass::checksum);
    LOG(error, "invalid checksum on '%s'", localPath.c_str());
    return false;
}

// Whether the file system of `directory` has room for `needed` bytes.
bool hasRoom(const std::string& directory, uint64_t needed)
{
    struct statvfs info;
    if (statvfs(directory.c_str(), &info) != 0) {
        LOG(warn, "cannot check free space in '%s' (%s)", directory.c_str(), errnoText().c_str());
        return true; // the downloads will tell
    }
    const uint64_t available = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
    if (needed <= available)
        return true;
    noteFailure(FailureClass::diskSpace);
    LOG(error, "not enough space in '%s' for the packages: %" PRIu64 " bytes needed, %" PRIu64 " bytes free",
        directory.c_str(), needed, available);
    return false;
}

// Two packages kept under one cache file would overwrite each other, and rpm
// would be handed one file for both: such a pair is refused before anything
// is downloaded.
bool distinctCacheFiles(const NewPackages& packages)
{
    std::map<std::string_view, const Package*> byPath;
    for (const auto& [name, package] : packages) {
        auto [first, added] = byPath.try_emplace(package.localPath.view(), &package);
        if (!added) {
            noteFailure(FailureClass::network);
            LOG(error, "packages '%s' and '%s' would share the cache file '%s'", first->second->location.c_str(),
                package.location.c_str(), package.localPath.c_str());
            return false;
        }
    }
    return true;
}

// Every address that the metadata names for packages kept elsewhere is
// checked before the first download.
bool basesAccepted(const Downloader& downloader, const NewPackages& packages)
{
    for (const auto& [name, package] : packages) {
        if (!package.locationBase.empty() && !downloader.acceptsBase(package.locationBase.str())) {
            noteFailure(FailureClass::network);
            LOG(error, "failed getting package '%s' from repository", package.location.c_str());
            return false;
        }
    }
    return true;
}

} // namespace

bool RepositoryData::fetchPackages(const NewPackages& packages)
{
    if (m_uri.empty()) {
        LOG(error, "no repository URI set, cannot get packages");
        return false;
    }
    if (!distinctCacheFiles(packages) || !createDir(m_packageCacheDir))
        return false;
    // Declared before the downloader, whose sessions report to it until they close.
    ItemNotify notifier(static_cast<int>(packages.size()));
    Downloader downloader;
    if (!downloader.open(m_uri)) {
        LOG(error, "failed creating repository downloder from '%s'", m_uri.c_str());
        return false;
    }
    downloader.setNotifier(&notifier);
    if (!basesAccepted(downloader, packages))
        return false;
    // Valid copies from an earlier run are neither downloaded nor counted.
    std::vector<const Package*> missing;
    uint64_t needed = 0;
    for (const auto& [name, package] : packages) {
        std::string localPath = package.localPath.str();
        if (isReadable(localPath) && package.checksum.checkFile(localPath))
            continue;
        missing.push_back(&package);
        needed += package.size;
    }
    if (!hasRoom(m_packageCacheDir, needed))
        return false;
    for (const Package* package : missing) {
        if (!fetchPackage(downloader, *package))
            return false;
        notifier.itemDone();
    }
    return true;
}

bool RepositoryData::cleanPackageCache()
{
    LOG(debug, "removing packages from repository cache '%s'", m_packageCacheDir.c_str());
    Directory dir(opendir(m_packageCacheDir.c_str()));
    if (!dir) {
        if (errno == ENOENT)
            return true;
        LOG(error, "could not clean packages from '%s' (%s)", m_packageCacheDir.c_str(), errnoText().c_str());
        return false;
    }
    bool removalFailed = false;
    for (;;) {
        errno = 0; // set just before the call: only readdir may leave it non-zero
        const dirent* entry = readdir(dir.get());
        if (!entry)
            break;
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        // Only files belong here: a directory fails to unlink and is reported.
        std::string path = m_packageCacheDir + entry->d_name;
        if (unlink(path.c_str()) != 0) {
            LOG(error, "failed removing file '%s' (%s)", path.c_str(), errnoText().c_str());
            removalFailed = true;
        }
    }
    bool ok = errno == 0;
    if (!ok)
        LOG(error, "failed reading directory '%s' (%s)", m_packageCacheDir.c_str(), errnoText().c_str());
    if (removalFailed)
        LOG(warn, "encountered errors while cleaning package cache");
    return ok;
}

} // namespace updater
