// Downloading the repository metadata into the cache: repomd.xml and its
// signature every time, the primary file only when the cached copy no longer
// matches the checksum that the new repomd.xml gives.
#include "download/downloader.h"
#include "download/filehelpers.h"
#include "log/failureclass.h"
#include "log/logger.h"
#include "repo/itemnotify.h"
#include "repo/packageparser.h"
#include "repo/repositorydata.h"

namespace updater {

namespace {

constexpr const char* REPOMD_RESOURCE = "repodata/repomd.xml";
constexpr const char* SIGNATURE_RESOURCE = "repodata/repomd.xml.asc";

// The file as stored, or else its decompressed content, matches the entry.
bool matches(const MetadataEntry& entry)
{
    return entry.checksum.checkFile(entry.localPath) || entry.openChecksum.checkUncompressed(entry.localPath);
}

// A resource that is fetched on every update, bypassing HTTP caches.
bool fetchFresh(Downloader& downloader, const char* resource, const std::string& file, ItemNotify& notifier)
{
    if (!downloader.download(resource, file, true)) {
        LOG(error, "failed getting repository resource '%s'", resource);
        return false;
    }
    notifier.itemDone();
    return true;
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
    if (!fetchFresh(downloader, REPOMD_RESOURCE, m_cacheDir + "repomd.xml", notifier))
        return false;
    if (!m_skipMetadataSignature &&
        !fetchFresh(downloader, SIGNATURE_RESOURCE, m_cacheDir + "repomd.xml.asc", notifier))
        return false;
    if (!parseRepomd()) {
        LOG(error, "failed parsing repository metadata from '%s'", REPOMD_RESOURCE);
        return false;
    }
    auto primary = m_metadata.find("primary");
    if (primary == m_metadata.end()) {
        LOG(error, "no 'primary' entry in repository metadata");
        return false;
    }
    if (!fetchResource(downloader, primary->second)) {
        LOG(error, "failed getting repository resource '%s'", primary->second.location.c_str());
        return false;
    }
    notifier.itemDone();
    return loaded(loadPrimary(false)); // just verified
}

bool RepositoryData::fetchResource(Downloader& downloader, const MetadataEntry& entry)
{
    // Without a usable file name the cache path would be the cache directory
    // or its parent: nothing may be written there.
    std::string fileName;
    if (entry.location.empty()) {
        LOG(error, "no location for '%s' in repository metadata", entry.type.c_str());
        return false;
    }
    if (!cacheFileName(entry.location, fileName))
        return false;
    if (isReadable(entry.localPath) && matches(entry)) {
        LOG(debug, "cached copy '%s' of '%s' is valid", entry.localPath.c_str(), entry.location.c_str());
        return true;
    }
    for (bool bypassCaches : {false, true}) {
        if (!downloader.download(entry.location, entry.localPath, bypassCaches)) {
            LOG(error, "failed getting repository resource '%s'", entry.location.c_str());
            return false;
        }
        if (matches(entry))
            return true;
        if (!bypassCaches)
            LOG(warn, "invalid checksum on '%s'; retrying with bypass of http caches", entry.location.c_str());
    }
    noteFailure(FailureClass::checksum);
    LOG(error, "invalid checksum on '%s'", entry.location.c_str());
    return false;
}

} // namespace updater
