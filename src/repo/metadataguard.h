// Rollback and freeze protection for a repository's metadata. A signature
// only says that the vendor once published an index; a mirror or a man in
// the middle can replay an older one, or keep serving the same one forever.
// The guard remembers, per repository, the last index the device accepted
// and refuses an older one; it warns about (or refuses) an index older than
// the configured maximum age.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "config/config.h"

namespace updater {

// Where the remembered records live, one file per repository.
constexpr const char* METADATA_RECORD_DIR = "/var/lib/updater/";

// What identifies an index: its revision text, the newest timestamp of its
// data entries (0 when none has one) and the SHA-256 of repomd.xml.
struct RepomdFacts {
    std::string revision;
    uint64_t newestTimestamp = 0;
    std::string sha256;
};

// The record file of a repository: "metadata-" and the ID, in which every
// byte other than a letter, a digit, '.', '_' and '-' is written as '%' and
// two hex digits, so that no ID leads out of the directory.
std::string metadataRecordPath(const std::string& directory, const std::string& repositoryId);

class MetadataGuard {
public:
    // The rules of the configuration; without a record path nothing is
    // remembered and only the age is checked.
    explicit MetadataGuard(const Config& config, std::string recordPath = {});

    void setRecordPath(std::string recordPath);

    // Judges a verified index: refused (false, after the error) when it is
    // older than the remembered one and no rollback is allowed, or older than
    // the maximum age when stale metadata is refused. An index admitted
    // before in this process passes again without a word.
    [[nodiscard]] bool admit(const RepomdFacts& facts, time_t now);

    // Remembers an accepted index, unless it is the remembered one already.
    // A failure to write is a warning: the run goes on.
    void remember(const RepomdFacts& facts);

private:
    const std::optional<RepomdFacts>& remembered();
    [[nodiscard]] bool checkRollback(const RepomdFacts& facts) const;
    [[nodiscard]] bool checkAge(const RepomdFacts& facts, time_t now) const;

    bool m_quiet;
    bool m_allowRollback;
    uint32_t m_maxAgeDays;
    bool m_refuseStale;
    std::string m_recordPath;
    bool m_recordRead = false;
    std::optional<RepomdFacts> m_remembered;
    std::string m_admitted; // SHA-256 of the index admitted last
};

} // namespace updater
