#include "log/logger.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <syslog.h>

namespace updater {

namespace {

int syslogPriority(LogLevel level)
{
    switch (level) {
    case LogLevel::trace:
    case LogLevel::debug:
        return LOG_DEBUG;
    case LogLevel::info:
        return LOG_INFO;
    case LogLevel::warn:
        return LOG_WARNING;
    case LogLevel::error:
        return LOG_ERR;
    case LogLevel::fatal:
        return LOG_CRIT;
    }
    return LOG_DEBUG;
}

std::string formatMessage(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    const int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length <= 0)
        return {};
    std::string text(static_cast<size_t>(length) + 1, '\0');
    vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(length));
    return text;
}

void writeLine(FILE* stream, LogLevel level, const char* format, va_list args)
{
    fprintf(stream, "%s: ", levelName(level));
    vfprintf(stream, format, args);
    fputc('\n', stream);
}

} // namespace

// Constructed on first use and never destroyed before the streams it owns
// are closed at exit.
Logger& Logger::instance()
{
    static Logger logger;
    return logger;
}

Logger::~Logger()
{
    for (auto& output : m_fileOutputs)
        fclose(output.stream);
    m_fileOutputs.clear();
}

const char* levelName(LogLevel level)
{
    switch (level) {
    case LogLevel::trace:
        return "TRACE";
    case LogLevel::debug:
        return "DEBUG";
    case LogLevel::info:
        return "INFO";
    case LogLevel::warn:
        return "WARNING";
    case LogLevel::error:
        return "ERROR";
    case LogLevel::fatal:
        return "FATAL";
    }
    return "UNKNOWN";
}

void Logger::log(LogLevel level, const char* format, va_list args)
{
    if (!enabled(level))
        return;
    if (static_cast<int>(level) >= static_cast<int>(LogLevel::error)) {
        va_list copy;
        va_copy(copy, args);
        m_lastError = formatMessage(format, copy);
        va_end(copy);
    }
    // Each output formats from its own copy of the argument list.
    if (m_toSyslog) {
        va_list copy;
        va_copy(copy, args);
        vsyslog(syslogPriority(level), format, copy);
        va_end(copy);
    }
    if (m_toStderr) {
        va_list copy;
        va_copy(copy, args);
        writeLine(stderr, level, format, copy);
        va_end(copy);
    }
    for (auto& output : m_fileOutputs) {
        if (static_cast<int>(output.minLevel) > static_cast<int>(level))
            continue;
        va_list copy;
        va_copy(copy, args);
        writeLine(output.stream, level, format, copy);
        va_end(copy);
        fflush(output.stream);
    }
}

void Logger::openSyslog(bool enabled, int options, int facility)
{
    m_toSyslog = enabled;
    if (enabled)
        openlog(m_name.c_str(), options, facility);
}

bool Logger::addFileOutput(const std::string& path, LogLevel minLevel, bool append)
{
    for (auto& output : m_fileOutputs) {
        if (output.path == path) {
            output.minLevel = minLevel;
            return true;
        }
    }
    FILE* stream = fopen(path.c_str(), append ? "a" : "w");
    if (!stream) {
        LOG(error, "cannot open log file %s: %s", path.c_str(), errnoText().c_str());
        return false;
    }
    m_fileOutputs.push_back(FileOutput{path, stream, minLevel});
    return true;
}

bool Logger::removeFileOutput(const std::string& path)
{
    for (auto it = m_fileOutputs.begin(); it != m_fileOutputs.end(); ++it) {
        if (it->path == path) {
            fclose(it->stream);
            m_fileOutputs.erase(it);
            return true;
        }
    }
    return false;
}

void logMessage(LogLevel level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Logger::instance().log(level, format, args);
    va_end(args);
}

std::string errnoText()
{
    char buffer[256];
    // _GNU_SOURCE: the GNU variant returns the text, which may or may not be
    // the buffer.
    const char* text = strerror_r(errno, buffer, sizeof buffer);
    return text ? text : "";
}

LogLevel parseLogLevel(const std::string& name)
{
    static const struct {
        const char* name;
        LogLevel level;
    } levels[] = {
        {"trace", LogLevel::trace}, {"debug", LogLevel::debug}, {"info", LogLevel::info},
        {"warn", LogLevel::warn},   {"error", LogLevel::error}, {"fatal", LogLevel::fatal},
    };
    for (const auto& entry : levels) {
        if (name == entry.name)
            return entry.level;
    }
    LOG(error, "unrecognized logger level '%s' using 'info'", name.c_str());
    return LogLevel::info;
}

int parseSyslogFacility(const std::string& name)
{
    if (name == "daemon")
        return LOG_DAEMON;
    if (name == "user")
        return LOG_USER;
    if (name.size() == 6 && name.compare(0, 5, "local") == 0 && name[5] >= '0' && name[5] <= '7')
        return LOG_LOCAL0 + (name[5] - '0') * 8;
    LOG(error, "unrecognized syslog facility '%s' using 'daemon'", name.c_str());
    return LOG_DAEMON;
}

} // namespace updater
