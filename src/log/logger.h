// The process-wide log facility: levels, outputs (stderr, syslog, files) and
// the line format "<LEVEL>: <message>".
#pragma once

#include <cstdio>
#include <list>
#include <string>

namespace updater {

enum class LogLevel : int { trace = 0, debug = 1, info = 2, warn = 3, error = 4, fatal = 5 };

class Logger {
public:
    static Logger& instance();

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // True when a message at `level` passes the threshold.
    bool enabled(LogLevel level) const { return static_cast<int>(level) >= static_cast<int>(m_threshold); }

    void log(LogLevel level, const char* format, va_list args);

    void setName(const std::string& name) { m_name = name; }
    const std::string& name() const { return m_name; }
    void setThreshold(LogLevel level) { m_threshold = level; }
    LogLevel threshold() const { return m_threshold; }
    void setToStderr(bool on) { m_toStderr = on; }
    bool toStderr() const { return m_toStderr; }
    bool toSyslog() const { return m_toSyslog; }

    // Sets toSyslog and, when enabled, opens the syslog connection with `name`.
    void openSyslog(bool enabled, int options, int facility);

    // Adds an output file (or, when the path is already an output, only changes
    // its minimum level). Opens with "a" when appending, else "w".
    [[nodiscard]] bool addFileOutput(const std::string& path, LogLevel minLevel, bool append);
    bool removeFileOutput(const std::string& path);

    // The last error or fatal message logged, without its level; empty
    // before the first. The status record reports it.
    const std::string& lastError() const { return m_lastError; }

private:
    Logger() = default;
    ~Logger();

    struct FileOutput {
        std::string path;
        FILE* stream;
        LogLevel minLevel;
    };

    std::string m_name;
    LogLevel m_threshold = LogLevel::info;
    bool m_toStderr = true;
    bool m_toSyslog = false;
    std::list<FileOutput> m_fileOutputs;
    std::string m_lastError;
};

// Logs one message (printf format, no trailing newline).
void logMessage(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

inline bool logEnabled(LogLevel level) { return Logger::instance().enabled(level); }

// Text of the current errno, from the reentrant strerror_r.
std::string errnoText();

// "trace" .. "fatal"; anything else logs an error and gives info.
LogLevel parseLogLevel(const std::string& name);

// "daemon", "user", "local0" .. "local7"; anything else logs an error and gives LOG_DAEMON.
int parseSyslogFacility(const std::string& name);

// Printed name of a level: "TRACE" .. "FATAL", "UNKNOWN" outside the range.
const char* levelName(LogLevel level);

} // namespace updater

// Logs only when the level passes the threshold, so that the arguments (errno
// texts, labels, key IDs) are only built for messages that will be written.
#define LOG(level, ...)                                                  \
    do {                                                                 \
        if (::updater::logEnabled(::updater::LogLevel::level))           \
            ::updater::logMessage(::updater::LogLevel::level, __VA_ARGS__); \
    } while (0)
