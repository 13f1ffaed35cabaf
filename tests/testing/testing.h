// Shared test fixtures: temporary directories, log capture, forked children.
#pragma once

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "log/logger.h"

namespace updater::testing {

namespace fs = std::filesystem;

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
void writeFile(const std::string& path, const std::string& content);
std::vector<std::string> splitLines(const std::string& text);
std::string trim(const std::string& text); // of blanks and tabs

// Names in a directory, sorted; none when it does not exist.
std::vector<std::string> directoryEntries(const std::string& path);

// A network credentials file holding `entries` (creditentials elements).
inline std::string credentialsDocument(const std::string& entries)
{
    return "<?xml version=\"1.0\"?>\n<credits xmlns:xlink=\"http://www.w3.org/1999/xlink\">\n" + entries + "</credits>\n";
}

// Runs a shell command and returns its standard output; a non-zero exit
// fails the test and shows what the command wrote on standard error.
std::string runCommand(const std::string& command);

// toString() of each element of a range, e.g. a DependencySet.
template <typename Range>
std::vector<std::string> texts(const Range& range)
{
    std::vector<std::string> result;
    for (const auto& element : range)
        result.push_back(element.toString());
    return result;
}

// label() of each package of a range keyed by name, e.g. a PackageCollection.
template <typename Range>
std::vector<std::string> labels(const Range& range)
{
    std::vector<std::string> result;
    for (const auto& [name, package] : range)
        result.push_back(package.label());
    return result;
}

// Aborts unless the process runs inside a throwaway device root
// (tests/devroot/run-in-root), for tests that write the device's fixed paths.
void requireDeviceRoot();

// Log lines ("LEVEL: message") and the questions the tests ask of them.
class LogLines {
public:
    virtual ~LogLines() = default;
    virtual std::vector<std::string> lines() const = 0;
    std::string text() const;
    // True when some line equals `line` exactly.
    bool has(const std::string& line) const { return count(line) > 0; }
    int count(const std::string& line) const;
    // True when some line contains `part`.
    bool contains(const std::string& part) const { return text().find(part) != std::string::npos; }
};

// Captures every log line from `threshold` up while it lives; standard error
// is switched off meanwhile. Restores the Logger's previous settings.
class LogCapture : public LogLines {
public:
    explicit LogCapture(LogLevel threshold = LogLevel::trace);
    ~LogCapture() override;
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const override { return splitLines(readFile(m_path)); }
    void clear();

private:
    TemporaryDirectory m_dir;
    std::string m_path;
    LogLevel m_savedThreshold;
    bool m_savedStderr;
};

// What a forked child left behind: its exit code (0: the action returned
// true; 1: false; 128 + N: killed by signal N) and its log lines.
struct ChildRun : LogLines {
    int exitCode = -1;
    std::vector<std::string> log;
    std::vector<std::string> lines() const override { return log; }
};

// The real data testing/unitdata.py builds before the unit tests run: a path
// below it.
inline std::string unitData(const std::string& relative) { return std::string(UNIT_DATA) + "/" + relative; }

// One of the keys unitdata.py makes with gpg ("rsa", "dsa", "subkeyed",
// "outsider", "eddsa"), with what gpg reports about it.
struct UnitKey {
    explicit UnitKey(const std::string& name);
    std::string name;
    std::string keyId;                  // 16 lower-case hex digits
    std::vector<std::string> subkeyIds; // in gpg's order
    unsigned long newestCreation = 0;   // of the key and its subkeys
    std::string publicKey() const { return readFile(unitData("keys/" + name + ".pub")); } // as gpg exports it
    // "signed" or "signed-other" signed by rpmsign with this key.
    std::string signedPackage(const std::string& package = "signed") const
    {
        return unitData("signed/" + name + "/" + package + "-1.0-1.noarch.rpm");
    }
    // The detached signature of unitData("docs/index.xml"): ".asc" armored,
    // ".sig" binary, ".text.sig" in text mode.
    std::string signature(const std::string& suffix) const { return unitData("docs/index.xml." + name + suffix); }
};

// Imports rsa, dsa and subkeyed into the device root's rpm database once.
void importDatabaseKeys();

// Runs `action` in a forked child that logs from `threshold` up and is killed
// after a minute. The child ends with exit(), so that a sanitizer build checks
// its leaks, or with exitChild() where rpm keeps what it allocated for a database
// that failed to open.
ChildRun runInChild(const std::function<bool()>& action, LogLevel threshold = LogLevel::trace,
                    bool leakCheck = true);

} // namespace updater::testing
