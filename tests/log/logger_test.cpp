#include "log/logger.h"

#include <cerrno>
#include <fcntl.h>
#include <syslog.h>

#include "testing/testing.h"

namespace updater::testing {
namespace {

// The capture restores the Logger's threshold and stderr switch.
struct LoggerTest : ::testing::Test {
    LogCapture restore;
    TemporaryDirectory dir;
};

TEST_F(LoggerTest, LineIsLevelNameColonMessage)
{
    std::string path = dir.file("out");
    Logger::instance().setThreshold(LogLevel::trace);
    ASSERT_TRUE(Logger::instance().addFileOutput(path, LogLevel::trace, false));
    logMessage(LogLevel::warn, "value %d of '%s'", 42, "x");
    logMessage(LogLevel::trace, "t");
    logMessage(LogLevel::fatal, "f");
    logMessage(static_cast<LogLevel>(9), "odd");
    EXPECT_TRUE(Logger::instance().removeFileOutput(path));
    EXPECT_EQ(readFile(path), "WARNING: value 42 of 'x'\nTRACE: t\nFATAL: f\nUNKNOWN: odd\n");
}

TEST_F(LoggerTest, ThresholdAppliesToEveryOutputAndFilesHaveTheirOwnMinimum)
{
    std::string all = dir.file("all"), infoOnly = dir.file("info");
    ASSERT_TRUE(Logger::instance().addFileOutput(all, LogLevel::trace, false));
    ASSERT_TRUE(Logger::instance().addFileOutput(infoOnly, LogLevel::info, false));

    Logger::instance().setThreshold(LogLevel::warn);
    LOG(info, "dropped everywhere");
    Logger::instance().setThreshold(LogLevel::trace);
    LOG(debug, "only in the trace file");
    LOG(error, "in %s", "both"); // each output formats from its own argument list

    Logger::instance().removeFileOutput(all);
    Logger::instance().removeFileOutput(infoOnly);
    EXPECT_EQ(readFile(all), "DEBUG: only in the trace file\nERROR: in both\n");
    EXPECT_EQ(readFile(infoOnly), "ERROR: in both\n");
}

TEST_F(LoggerTest, ArgumentsAreNotEvaluatedBelowTheThreshold)
{
    Logger::instance().setThreshold(LogLevel::info);
    int evaluated = 0;
    const auto costly = [&] { return ++evaluated, "x"; };
    LOG(debug, "%s", costly());
    EXPECT_EQ(evaluated, 0);
    LOG(info, "%s", costly());
    EXPECT_EQ(evaluated, 1);
}

TEST_F(LoggerTest, SyslogGetsEveryLevel)
{
    // With LOG_PERROR the C library copies each message to standard error.
    const int saved = dup(2), copy = open(dir.file("stderr").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(dup2(copy, 2), 2);
    Logger::instance().openSyslog(true, LOG_PERROR, LOG_LOCAL3);
    for (int level = static_cast<int>(LogLevel::trace); level <= static_cast<int>(LogLevel::fatal); ++level)
        logMessage(static_cast<LogLevel>(level), "to syslog %d", level);
    Logger::instance().openSyslog(false, 0, LOG_DAEMON);
    EXPECT_TRUE(dup2(saved, 2) == 2 && close(saved) == 0 && close(copy) == 0);
    EXPECT_EQ(splitLines(readFile(dir.file("stderr"))).size(), 6u) << readFile(dir.file("stderr"));
}

TEST_F(LoggerTest, UnopenableFileIsReported)
{
    LogCapture capture;
    EXPECT_FALSE(Logger::instance().addFileOutput(dir.file("missing/dir/log"), LogLevel::trace, true));
    EXPECT_TRUE(capture.has("ERROR: cannot open log file " + dir.file("missing/dir/log") +
                            ": No such file or directory"));
}

} // namespace
} // namespace updater::testing
