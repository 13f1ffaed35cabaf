// Shared test fixtures: temporary directories and log capture.
#pragma once

#include <string>
#include <vector>

#include "log/logger.h"

namespace updater::testing {

// A fresh directory, removed with its content when the object goes.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::string& path() const { return m_path; }
    // path() + "/" + name
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    // Writes a file below the directory and returns its path.
    std::string write(const std::string& name, const std::string& content) const;

private:
    std::string m_path;
};

std::string readFile(const std::string& path);

// Runs a shell command and returns its standard output; a non-zero exit
// fails the test and shows what the command wrote on standard error.
std::string runCommand(const std::string& command);
void writeFile(const std::string& path, const std::string& content);

// Captures every log line from `threshold` up while it lives; standard error
// is switched off meanwhile. Restores the Logger's previous settings.
class LogCapture {
public:
    explicit LogCapture(LogLevel threshold = LogLevel::trace);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    std::string text() const;
    // True when some line equals `line` exactly ("LEVEL: message").
    bool has(const std::string& line) const;
    // Number of lines equal to `line`.
    int count(const std::string& line) const;
    // True when some line contains `part`.
    bool contains(const std::string& part) const;
    void clear();

private:
    TemporaryDirectory m_dir;
    std::string m_path;
    LogLevel m_savedThreshold;
    bool m_savedStderr;
};

} // namespace updater::testing
