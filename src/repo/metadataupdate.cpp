// Downloading the repository metadata into the cache: repomd.xml and its
// signature every time, the primary file only when the cached copy no longer
// matches the checksum that the new repomd.xml gives; all of it within the
// configured deadline and sizes. Files of earlier metadata go once the new
// metadata has been verified.
#include <algorithm>
#include <chrono>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "download/downloader.h"
#include "download/filehelpers.h"
#include "log/failureclass.h"
#include "log/logger.h"
#include "repo/itemnotify.h"
#include "repo/metadatacheck.h"
#include "repo/packageparser.h"
#include "repo/repositorydata.h"

namespace updater {

namespace {

constexpr const char* SIGNATURE_RESOURCE = "repodata/repomd.xml.asc";

// A resource that is fetched on every update, bypassing HTTP caches.
bool fetchFresh(Downloader& downloader, const char* resource, const std::string& file, uint64_t maxSize,
                ItemNotify& notifier)
{
    if (!downloader.download(resource, file, true, maxSize)) {
        LOG(error, "failed getting repository resource '%s'", resource);
        return false;
    }
    notifier.itemDone();
    return true;
}

// Names of metadata files ("...-primary.xml.gz", "...-other.sqlite.bz2")
// and of unfinished downloads: nothing else in the directory is touched.
bool isMetadataName(const std::string& name)
{
    return name.find(".xml") != std::string::npos || name.find(".sqlite") != std::string::npos ||
           name.ends_with(".tmp");
}

// Removes the metadata files of the cache directory other than repomd.xml,
// its signature and the files that `metadata` names: those of earlier
// versions of the repository, and unfinished downloads. Directories, the
// package cache among them, stay.
void removeStaleMetadata(const std::string& cacheDir, const std::map<std::string, MetadataEntry>& metadata)
{
    std::vector<std::string> kept{"repomd.xml", "repomd.xml.asc"};
    for (const auto& [type, entry] : metadata)
        kept.push_back(baseName(entry.localPath));
    Directory dir(opendir(cacheDir.c_str()));
    if (!dir)
        return;
    while (const dirent* entry = readdir(dir.get())) {
        std::string name = entry->d_name;
        if (!isMetadataName(name) || std::find(kept.begin(), kept.end(), name) != kept.end())
            continue;
        std::string path = cacheDir + name;
        struct stat info;
        if (lstat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode))
            continue;
        if (unlink(path.c_str()) == 0)
            LOG(debug, "removed stale metadata file '%s'", path.c_str());
        else
            LOG(warn, "failed removing file '%s' (%s)", path.c_str(), errnoText().c_str());
    }
}

} // namespace

bool RepositoryData::update(const std::string& locationOverride)
{
    if (!locationOverride.empty())
        setUri(locationOverride);
    if (m_uri.empty()) {
        LOG(error, "no repository URI set, cannot update");
        return false;
    }
    m_metadata.clear();
    m_packages.clear();
    if (!createDir(m_cacheDir))
        return false;
    // Declared before the downloader, whose sessions report to it until they close.
    ItemNotify notifier(m_skipMetadataSignature ? 2 : 3);
    Downloader downloader;
    if (!downloader.open(m_uri)) {
        LOG(error, "failed creating repository downloder from '%s'", m_uri.c_str());
        return false;
    }
    downloader.setNotifier(&notifier);
    downloader.setDeadline(std::chrono::steady_clock::now() + std::chrono::seconds(m_download.metadataDeadline));
    const uint64_t maxSize = m_download.maxRepomdSize;
    if (!fetchFresh(downloader, REPOMD_RESOURCE, m_cacheDir + "repomd.xml", maxSize, notifier))
        return false;
    if (!m_skipMetadataSignature &&
        !fetchFresh(downloader, SIGNATURE_RESOURCE, m_cacheDir + "repomd.xml.asc", maxSize, notifier))
        return false;
    if (!parseRepomd()) {
        LOG(error, "failed parsing repository metadata from '%s'", REPOMD_RESOURCE);
        return false;
    }
    auto primary = m_metadata.find("primary");
    if (primary == m_metadata.end()) {
        noteFailure(FailureClass::metadata);
        LOG(error, "no 'primary' entry in repository metadata");
        return false;
    }
    if (!fetchResource(downloader, primary->second)) {
        LOG(error, "failed getting repository resource '%s'", primary->second.location.c_str());
        return false;
    }
    notifier.itemDone();
    removeStaleMetadata(m_cacheDir, m_metadata);
    return loaded(loadPrimary(false)); // just verified
}

bool RepositoryData::fetchResource(Downloader& downloader, const MetadataEntry& entry)
{
    // Without a usable file name the cache path would be the cache directory
    // or its parent: nothing may be written there.
    std::string fileName;
    if (entry.location.empty()) {
        noteFailure(FailureClass::metadata);
        LOG(error, "no location for '%s' in repository metadata", entry.type.c_str());
        return false;
    }
    if (!cacheFileName(entry.location, fileName)) {
        noteFailure(FailureClass::metadata);
        return false;
    }
    if (isReadable(entry.localPath) && metadataFileMatches(entry)) {
        LOG(debug, "cached copy '%s' of '%s' is valid", entry.localPath.c_str(), entry.location.c_str());
        return true;
    }
    for (bool bypassCaches : {false, true}) {
        if (!downloader.download(entry.location, entry.localPath, bypassCaches, entry.size)) {
            LOG(error, "failed getting repository resource '%s'", entry.location.c_str());
            return false;
        }
        if (metadataFileMatches(entry))
            return true;
        if (!bypassCaches)
            LOG(warn, "invalid checksum on '%s'; retrying with bypass of http caches", entry.location.c_str());
    }
    noteFailure(FailureClass::checksum);
    LOG(error, "invalid checksum on '%s'", entry.location.c_str());
    return false;
}

} // namespace updater
