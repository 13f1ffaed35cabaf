#include "repo/metadataguard.h"

#include <cerrno>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "download/filehelpers.h"
#include "log/failureclass.h"
#include "log/logger.h"
#include "repo/clockcheck.h"

namespace updater {

namespace {

constexpr int64_t SECONDS_PER_DAY = 24 * 60 * 60;
constexpr size_t SHA256_HEX_SIZE = 64;

bool safeInFileName(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

// The record as stored: {"revision": text, "timestamp": number, "sha256": hex}.
std::string recordText(const RepomdFacts& facts)
{
    const nlohmann::json record = {
        {"revision", facts.revision}, {"timestamp", facts.newestTimestamp}, {"sha256", facts.sha256}};
    // Invalid UTF-8 in the revision is replaced rather than refused.
    return record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// Nothing when the text is not a whole record.
std::optional<RepomdFacts> parseRecord(const std::string& text)
{
    const nlohmann::json record = nlohmann::json::parse(text, nullptr, false);
    if (!record.is_object())
        return std::nullopt;
    const auto revision = record.find("revision");
    const auto timestamp = record.find("timestamp");
    const auto sha256 = record.find("sha256");
    if (revision == record.end() || !revision->is_string() || timestamp == record.end() ||
        !timestamp->is_number_unsigned() || sha256 == record.end() || !sha256->is_string() ||
        sha256->get_ref<const std::string&>().size() != SHA256_HEX_SIZE)
        return std::nullopt;
    return RepomdFacts{revision->get<std::string>(), timestamp->get<uint64_t>(), sha256->get<std::string>()};
}

} // namespace

std::string metadataRecordPath(const std::string& directory, const std::string& repositoryId)
{
    static const char HEX[] = "0123456789abcdef";
    std::string path = directory + "metadata-";
    for (char c : repositoryId) {
        if (safeInFileName(c)) {
            path += c;
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        path += '%';
        path += HEX[byte >> 4];
        path += HEX[byte & 0xf];
    }
    return path;
}

MetadataGuard::MetadataGuard(const Config& config, std::string recordPath)
    : m_quiet(config.quiet),
      m_allowRollback(config.allowMetadataRollback),
      m_maxAgeDays(config.maxMetadataAgeDays),
      m_refuseStale(config.refuseStaleMetadata),
      m_recordPath(std::move(recordPath))
{
}

void MetadataGuard::setRecordPath(std::string recordPath)
{
    m_recordPath = std::move(recordPath);
    m_recordRead = false;
    m_remembered.reset();
}

// Read once per process: a missing or damaged record is reported once, and
// the run starts afresh from the index it accepts.
const std::optional<RepomdFacts>& MetadataGuard::remembered()
{
    if (m_recordRead || m_recordPath.empty())
        return m_remembered;
    m_recordRead = true;
    std::ifstream stream(m_recordPath);
    if (!stream) {
        if (errno != ENOENT)
            LOG(warn, "cannot read remembered repository metadata '%s' (%s), starting afresh", m_recordPath.c_str(),
                errnoText().c_str());
        else if (!m_quiet)
            LOG(info, "no repository metadata remembered in '%s', starting afresh", m_recordPath.c_str());
        return m_remembered;
    }
    std::ostringstream text;
    text << stream.rdbuf();
    m_remembered = parseRecord(text.str());
    if (!m_remembered)
        LOG(warn, "remembered repository metadata '%s' is damaged, starting afresh", m_recordPath.c_str());
    return m_remembered;
}

bool MetadataGuard::checkRollback(const RepomdFacts& facts) const
{
    if (!m_remembered || facts.newestTimestamp >= m_remembered->newestTimestamp)
        return true;
    const std::string offered = utcDateText(facts.newestTimestamp);
    const std::string accepted = utcDateText(m_remembered->newestTimestamp);
    if (m_allowRollback) {
        LOG(warn, "accepting repository metadata dated %s, older than the metadata dated %s accepted before: "
                  "rollback allowed",
            offered.c_str(), accepted.c_str());
        return true;
    }
    LOG(error, "repository metadata dated %s is older than the metadata dated %s accepted before: possible replay or "
               "stale mirror",
        offered.c_str(), accepted.c_str());
    noteFailure(FailureClass::metadataRollback);
    return false;
}

bool MetadataGuard::checkAge(const RepomdFacts& facts, time_t now) const
{
    if (m_maxAgeDays == 0 || now < 0)
        return true;
    const uint64_t clock = static_cast<uint64_t>(now);
    const uint64_t age = clock > facts.newestTimestamp ? (clock - facts.newestTimestamp) / SECONDS_PER_DAY : 0;
    if (age <= m_maxAgeDays)
        return true;
    const std::string dated = utcDateText(facts.newestTimestamp);
    const auto days = static_cast<unsigned long long>(age);
    if (!m_refuseStale) {
        LOG(warn, "repository metadata is %llu days old (dated %s), more than the %u days allowed", days,
            dated.c_str(), m_maxAgeDays);
        return true;
    }
    LOG(error, "repository metadata is %llu days old (dated %s), more than the %u days allowed: refusing stale "
               "metadata",
        days, dated.c_str(), m_maxAgeDays);
    noteFailure(FailureClass::metadataRollback);
    return false;
}

bool MetadataGuard::admit(const RepomdFacts& facts, time_t now)
{
    if (!m_admitted.empty() && facts.sha256 == m_admitted)
        return true;
    remembered();
    if (!checkRollback(facts) || !checkAge(facts, now))
        return false;
    m_admitted = facts.sha256;
    return true;
}

void MetadataGuard::remember(const RepomdFacts& facts)
{
    if (m_recordPath.empty() || (m_remembered && m_remembered->sha256 == facts.sha256 &&
                                 m_remembered->newestTimestamp == facts.newestTimestamp))
        return;
    if (!replaceFile(m_recordPath, recordText(facts))) {
        LOG(warn, "failed remembering the accepted repository metadata in '%s' (%s)", m_recordPath.c_str(),
            errnoText().c_str());
        return;
    }
    m_remembered = facts;
    m_recordRead = true;
}

} // namespace updater
