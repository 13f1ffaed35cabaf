#include "testing/testing.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>

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
    std::string errors = dir.file("stderr");
    std::unique_ptr<FILE, decltype(&pclose)> pipe(popen((command + " 2>" + errors).c_str(), "r"), &pclose);
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << command;
        return {};
    }
    std::string output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0)
        output.append(buffer, n);
    int status = pclose(pipe.release());
    EXPECT_EQ(status, 0) << command << "\n" << readFile(errors);
    return output;
}

void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + path);
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

std::vector<std::string> LogCapture::lines() const
{
    std::vector<std::string> result;
    std::istringstream in(text());
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

std::string LogCapture::text() const
{
    return readFile(m_path);
}

bool LogCapture::has(const std::string& line) const
{
    return count(line) > 0;
}

int LogCapture::count(const std::string& line) const
{
    int n = 0;
    for (const auto& l : lines())
        n += l == line;
    return n;
}

bool LogCapture::contains(const std::string& part) const
{
    return text().find(part) != std::string::npos;
}

void LogCapture::clear()
{
    Logger::instance().removeFileOutput(m_path);
    if (!Logger::instance().addFileOutput(m_path, LogLevel::trace, false))
        throw std::runtime_error("cannot capture log");
}

} // namespace updater::testing
