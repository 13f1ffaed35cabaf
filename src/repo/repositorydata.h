// The repository of the run: its cache directory, URI, the metadata files
// that repodata/repomd.xml announces and the packages of its primary
// metadata; fetching packages into its package cache.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "config/config.h"
#include "repo/checksum.h"
#include "repo/metadataguard.h"
#include "repo/package.h"

namespace updater {

class Downloader;
class MetadataStream;

// rpm-md namespaces.
constexpr const char* REPO_NAMESPACE = "http://linux.duke.edu/metadata/repo";
constexpr const char* COMMON_NAMESPACE = "http://linux.duke.edu/metadata/common";
constexpr const char* RPM_NAMESPACE = "http://linux.duke.edu/metadata/rpm";

// The index of a repository, relative to its URI.
constexpr const char* REPOMD_RESOURCE = "repodata/repomd.xml";

struct MetadataEntry {
    std::string type;
    std::string location;  // relative to the repository URI
    std::string localPath; // cacheDir + last component of location
    Checksum checksum;     // of the file as stored
    Checksum openChecksum; // of its decompressed content; may be empty
    uint64_t openSize = 0; // bytes of its decompressed content; 0 when not declared
    uint64_t size = 0;     // bytes of the file as stored; 0: not declared
    uint64_t timestamp = 0; // whole seconds of the `timestamp` child; 0 without one
};

class RepositoryData {
public:
    RepositoryData(const Config& config, const Repository& repository);
    ~RepositoryData();
    RepositoryData(const RepositoryData&) = delete;
    RepositoryData& operator=(const RepositoryData&) = delete;

    bool isLocal() const { return m_uri.rfind("file:", 0) == 0; }
    void setUri(const std::string& location);

    // Remembers the accepted metadata in this file and refuses older metadata
    // (see MetadataGuard). Without it only the age of the metadata is checked.
    void setMetadataRecord(const std::string& path) { m_guard.setRecordPath(path); }

    // Downloads and loads all metadata (signature checked unless skipped).
    // Metadata that loads completely is remembered.
    [[nodiscard]] bool update(const std::string& locationOverride);
    // Loads the metadata from the cache only; remembered like update().
    [[nodiscard]] bool loadFromCache();
    // Reads the cached repomd.xml; warns when the clock is behind its
    // timestamps, checks its signature (unless skipped), then lets the
    // metadata guard judge it before `metadata` is filled.
    [[nodiscard]] bool parseRepomd();
    [[nodiscard]] bool loadPrimary(bool verify);
    [[nodiscard]] bool parsePrimary(const std::string& path);
    [[nodiscard]] bool fetchResource(Downloader& downloader, const MetadataEntry& entry);

    // Packages of the update set into the package cache, checksums checked.
    [[nodiscard]] bool fetchPackages(const NewPackages& packages);
    // Removes every entry of the package cache directory.
    bool cleanPackageCache();

    const Repository& repository() const { return m_repository; }
    bool skipMetadataSignature() const { return m_skipMetadataSignature; }
    const std::string& cacheDir() const { return m_cacheDir; }
    const std::string& packageCacheDir() const { return m_packageCacheDir; }
    const std::string& uri() const { return m_uri; }
    const std::map<std::string, MetadataEntry>& metadata() const { return m_metadata; }
    const PackageCollection& packages() const { return m_packages; }
    // Revision, newest timestamp and checksum of the index parsed last.
    const RepomdFacts& repomdFacts() const { return m_facts; }

private:
    // The packages of the primary document that `stream` delivers, into `loaded`.
    [[nodiscard]] bool readPrimary(MetadataStream& stream, PackageBatch& loaded);
    [[nodiscard]] bool loaded(bool primaryLoaded);
    [[nodiscard]] bool readRepomd(const std::string& path, std::map<std::string, MetadataEntry>& entries,
                                  std::string& revision) const;

    const Repository& m_repository;
    DownloadSettings m_download;
    bool m_skipMetadataSignature;
    std::string m_cacheDir;        // config cacheDir + id + "/"
    std::string m_packageCacheDir; // m_cacheDir + "packages/"
    std::string m_uri;
    std::map<std::string, MetadataEntry> m_metadata;
    PackageCollection m_packages;
    MetadataGuard m_guard;
    RepomdFacts m_facts;
    bool m_clockChecked = false; // the clock is compared with the first index only
};

} // namespace updater
