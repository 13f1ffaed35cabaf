#include "log/logger.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

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

constexpr mode_t LOG_FILE_MODE = 0644;
constexpr size_t MESSAGE_BUFFER = 1024;

void writeLine(FILE* stream, LogLevel level, const std::string& message)
{
    fprintf(stream, "%s: %s\n", levelName(level), message.c_str());
}

// Log files are the agent's own: an explicit mode, and no child program
// inherits them.
FILE* openLogFile(const std::string& path, bool append)
{
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    const int fd = open(path.c_str(), flags, LOG_FILE_MODE);
    if (fd < 0)
        return nullptr;
    FILE* stream = fdopen(fd, append ? "a" : "w");
    if (!stream) {
        const int saved = errno;
        close(fd);
        errno = saved;
    }
    return stream;
}

// Where the newlines of the format itself land in the formatted message:
// the length of the format's text before each one, formatted.
std::vector<size_t> formatNewlines(const char* format, va_list args)
{
    std::vector<size_t> positions;
    for (const char* newline = strchr(format, '\n'); newline; newline = strchr(newline + 1, '\n')) {
        const std::string before(format, newline);
        va_list copy;
        va_copy(copy, args);
        const int length = vsnprintf(nullptr, 0, before.c_str(), copy);
        va_end(copy);
        if (length >= 0)
            positions.push_back(static_cast<size_t>(length));
    }
    return positions;
}

// Control characters other than tab as \xNN, so that no text from outside
// (a package location, a server's answer) can begin a line of its own; the
// newlines at `kept` (the program's own format's) stay.
std::string escapeControls(const std::string& text, const std::vector<size_t>& kept)
{
    static const char hex[] = "0123456789abcdef";
    std::string escaped;
    escaped.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool control = (byte < 0x20 && byte != '\t') || byte == 0x7f;
        if (!control || (byte == '\n' && std::find(kept.begin(), kept.end(), i) != kept.end())) {
            escaped += text[i];
        } else {
            escaped += "\\x";
            escaped += hex[byte >> 4];
            escaped += hex[byte & 0xf];
        }
    }
    return escaped;
}

// The message formatted once, for every output, escaped.
std::string formatMessage(const char* format, va_list args)
{
    char buffer[MESSAGE_BUFFER];
    va_list copy;
    va_copy(copy, args);
    const int length = vsnprintf(buffer, sizeof buffer, format, copy);
    va_end(copy);
    if (length < 0)
        return {};
    std::string text;
    if (static_cast<size_t>(length) < sizeof buffer) {
        text.assign(buffer, static_cast<size_t>(length));
    } else {
        text.resize(static_cast<size_t>(length));
        va_copy(copy, args);
        vsnprintf(text.data(), text.size() + 1, format, copy);
        va_end(copy);
    }
    return escapeControls(text, strchr(format, '\n') ? formatNewlines(format, args) : std::vector<size_t>{});
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
    // Formatted once: every output receives the same text.
    const std::string message = formatMessage(format, args);
    if (static_cast<int>(level) >= static_cast<int>(LogLevel::error))
        m_lastError = message;
    if (m_toSyslog)
        syslog(syslogPriority(level), "%s", message.c_str());
    if (m_toStderr)
        writeLine(stderr, level, message);
    for (auto& output : m_fileOutputs) {
        if (static_cast<int>(output.minLevel) > static_cast<int>(level))
            continue;
        writeLine(output.stream, level, message);
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
    FILE* stream = openLogFile(path, append);
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
