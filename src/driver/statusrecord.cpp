#include "driver/statusrecord.h"

#include <fstream>
#include <nlohmann/json.hpp>

#include "download/downloader.h"
#include "download/filehelpers.h"
#include "driver/version.h"
#include "log/failureclass.h"
#include "log/logger.h"

namespace updater {

namespace {

using Json = nlohmann::ordered_json;

template <typename T>
Json orNull(const std::optional<T>& value)
{
    return value ? Json(*value) : Json(nullptr);
}

const char* resultWord(std::optional<int> exitCode)
{
    if (!exitCode)
        return "running";
    switch (*exitCode) {
    case 0:
        return "ok";
    case 2:
        return "fatal";
    default:
        return "error";
    }
}

} // namespace

std::string uriWithoutCredentials(const std::string& uri)
{
    const size_t scheme = uri.find("://");
    if (scheme == std::string::npos)
        return uri;
    const size_t hostStart = scheme + 3;
    const size_t hostEnd = uri.find_first_of("/?#", hostStart);
    const size_t at = uri.rfind('@', hostEnd == std::string::npos ? std::string::npos : hostEnd - 1);
    if (at == std::string::npos || at < hostStart)
        return uri;
    return uri.substr(0, hostStart) + uri.substr(at + 1);
}

std::string isoTime(time_t time)
{
    struct tm date = {};
    char text[32];
    if (!gmtime_r(&time, &date) || strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &date) == 0)
        return "1970-01-01T00:00:00Z";
    return text;
}

StatusRecord& StatusRecord::instance()
{
    static StatusRecord record;
    return record;
}

void StatusRecord::begin(const char* mode, time_t started)
{
    m_mode = mode;
    m_started = started;
}

void StatusRecord::setRepository(const std::string& id, const std::string& uri)
{
    m_repositoryId = id;
    m_repositoryUri = uriWithoutCredentials(uri);
}

void StatusRecord::noteSelection(unsigned count)
{
    if (m_selected == 0)
        m_selected = count;
}

bool StatusRecord::previousRunUnfinished() const
{
    std::ifstream stream(STATUS_RECORD_FILE);
    if (!stream)
        return false;
    const Json record = Json::parse(stream, nullptr, false);
    if (!record.is_object())
        return false;
    const auto result = record.find("result");
    return result != record.end() && result->is_string() && result->get_ref<const std::string&>() == "running";
}

void StatusRecord::noteInterruptedRun(SystemStatus state) { m_interruptedState = state; }

void StatusRecord::activate()
{
    m_active = true;
    write();
}

void StatusRecord::stateChanged(SystemStatus state)
{
    m_state = state;
    if (m_active)
        write();
}

void StatusRecord::finish(int exitCode)
{
    m_exitCode = exitCode;
    m_ended = time(nullptr);
    write();
}

std::string StatusRecord::text() const
{
    const std::optional<FailureClass> failure = notedFailure();
    const bool failed = m_exitCode && *m_exitCode != 0;
    const std::string& lastError = Logger::instance().lastError();
    Json record = {
        {"schema_version", STATUS_RECORD_SCHEMA_VERSION},
        {"agent_version", UPDATER_VERSION},
        {"product", m_product},
        {"release", orNull(m_release)},
        {"mode", m_mode},
        {"pass", orNull(m_pass)},
        {"state", m_state ? Json(statusWord(*m_state)) : Json(nullptr)},
        {"result", resultWord(m_exitCode)},
        {"error_class", failed && failure ? Json(failureClassName(*failure)) : Json(nullptr)},
        {"last_error", failed && !lastError.empty() ? Json(lastError) : Json(nullptr)},
        {"counts", {{"selected", m_selected}, {"downloaded_bytes", URLFetcher::bytesFetched()},
                    {"installed", m_installed}}},
        {"repository", {{"id", orNull(m_repositoryId)}, {"uri", orNull(m_repositoryUri)},
                        {"revision", orNull(m_revision)}}},
        {"started", isoTime(m_started)},
        {"ended", m_ended ? Json(isoTime(*m_ended)) : Json(nullptr)},
        {"interrupted_run",
         m_interruptedState ? Json({{"state", statusWord(*m_interruptedState)}}) : Json(nullptr)},
    };
    // Texts from the configuration, the repository or the log may hold any
    // bytes; invalid UTF-8 is replaced rather than refused.
    return record.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

void StatusRecord::write()
{
    if (m_abandoned)
        return;
    if (replaceFile(STATUS_RECORD_FILE, text()))
        return;
    if (!m_writeFailed)
        LOG(warn, "failed writing status record '%s' (%s)", STATUS_RECORD_FILE, errnoText().c_str());
    else
        LOG(debug, "failed writing status record '%s' (%s)", STATUS_RECORD_FILE, errnoText().c_str());
    m_writeFailed = true;
}

} // namespace updater
