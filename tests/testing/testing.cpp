#include "testing/testing.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

#include "child/childend.h"

namespace updater::testing {

TemporaryDirectory::TemporaryDirectory()
{
    std::string templ = (std::filesystem::temp_directory_path() / "updater-test.XXXXXX").string();
    if (!mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = templ;
}

TemporaryDirectory::~TemporaryDirectory()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string TemporaryDirectory::write(const std::string& name, const std::string& content) const
{
    std::string path = file(name);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    writeFile(path, content);
    return path;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string runCommand(const std::string& command)
{
    TemporaryDirectory dir;
    const int status = std::system(("{ " + command + "; } >" + dir.file("out") + " 2>" + dir.file("err")).c_str());
    EXPECT_EQ(status, 0) << command << "\n" << readFile(dir.file("err"));
    return readFile(dir.file("out"));
}

void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> directoryEntries(const std::string& path)
{
    std::vector<std::string> names;
    if (fs::is_directory(path))
        for (const auto& entry : fs::directory_iterator(path))
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string trim(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

void requireDeviceRoot()
{
    // "/" is the overlay that run-in-root mounts over the host's "/". (A
    // comparison of namespaces with process 1 proves nothing where process
    // 1's are out of sight.)
    std::ifstream mounts("/proc/self/mountinfo");
    for (std::string line; std::getline(mounts, line);) {
        if (line.find(" / / ") != std::string::npos && line.find(" - overlay ") != std::string::npos &&
            line.find("lowerdir=/,") != std::string::npos)
            return;
    }
    fprintf(stderr, "this test must run inside a device root (tests/devroot/run-in-root)\n");
    abort();
}

UnitKey::UnitKey(const std::string& keyName) : name(keyName)
{
    std::istringstream facts(readFile(unitData("keys/" + name + ".facts")));
    std::string subkeys;
    if (!(facts >> keyId >> subkeys >> newestCreation))
        throw std::runtime_error("no unit data for key " + name);
    std::istringstream list(subkeys);
    for (std::string id; std::getline(list, id, ',');)
        if (id != "-")
            subkeyIds.push_back(id);
}

void importDatabaseKeys()
{
    static const bool imported = [] {
        for (const char* key : {"rsa", "dsa", "subkeyed"})
            runCommand("rpm --import " + unitData(std::string("keys/") + key + ".asc"));
        return true;
    }();
    (void)imported;
}

std::string LogLines::text() const
{
    std::string all;
    for (const std::string& line : lines())
        all += line + "\n";
    return all;
}

int LogLines::count(const std::string& line) const
{
    const std::vector<std::string> all = lines();
    return static_cast<int>(std::count(all.begin(), all.end(), line));
}

ChildRun runInChild(const std::function<bool()>& action, LogLevel threshold, bool leakCheck)
{
    TemporaryDirectory dir;
    const std::string logPath = dir.file("log");
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(60);
        Logger& logger = Logger::instance();
        logger.setThreshold(threshold);
        logger.setToStderr(false);
        const bool ok = logger.addFileOutput(logPath, LogLevel::trace, false) && action();
        if (leakCheck)
            exit(ok ? 0 : 1);
        exitChild(ok ? 0 : 1);
    }
    ChildRun result;
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.log = splitLines(readFile(logPath));
    return result;
}

LogCapture::LogCapture(LogLevel threshold)
    : m_path(m_dir.file("log")),
      m_savedThreshold(Logger::instance().threshold()),
      m_savedStderr(Logger::instance().toStderr())
{
    Logger& logger = Logger::instance();
    logger.setThreshold(threshold);
    logger.setToStderr(false);
    if (!logger.addFileOutput(m_path, LogLevel::trace, false))
        throw std::runtime_error("cannot capture log");
}

LogCapture::~LogCapture()
{
    Logger& logger = Logger::instance();
    logger.removeFileOutput(m_path);
    logger.setThreshold(m_savedThreshold);
    logger.setToStderr(m_savedStderr);
}

void LogCapture::clear()
{
    Logger::instance().removeFileOutput(m_path);
    if (!Logger::instance().addFileOutput(m_path, LogLevel::trace, false))
        throw std::runtime_error("cannot capture log");
}

} // namespace updater::testing
