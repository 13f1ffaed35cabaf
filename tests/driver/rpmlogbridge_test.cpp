#include <gtest/gtest.h>
#include <rpm/rpmlog.h>

#include "driver/updater.h"
#include "testing/testing.h"

using namespace updater;
using updater::testing::LogCapture;

namespace {

TEST(RpmLogBridge, PrioritiesMapToLevels)
{
    EXPECT_EQ(rpmLogLevel(RPMLOG_EMERG), LogLevel::fatal);
    EXPECT_EQ(rpmLogLevel(RPMLOG_ALERT), LogLevel::fatal);
    EXPECT_EQ(rpmLogLevel(RPMLOG_CRIT), LogLevel::fatal);
    EXPECT_EQ(rpmLogLevel(RPMLOG_ERR), LogLevel::error);
    EXPECT_EQ(rpmLogLevel(RPMLOG_WARNING), LogLevel::warn);
    EXPECT_EQ(rpmLogLevel(RPMLOG_NOTICE), LogLevel::info);
    EXPECT_EQ(rpmLogLevel(RPMLOG_INFO), LogLevel::info);
    EXPECT_EQ(rpmLogLevel(RPMLOG_DEBUG), LogLevel::debug);
    EXPECT_EQ(rpmLogLevel(8), LogLevel::error);
    EXPECT_EQ(rpmLogLevel(-1), LogLevel::error);
}

TEST(RpmLogBridge, RecordsFromRpmLandInTheLogWithoutTheirNewline)
{
    rpmSetVerbosity(RPMLOG_DEBUG);
    rpmlogSetCallback(rpmLogBridge, nullptr);
    {
        LogCapture capture(LogLevel::info);
        rpmlog(RPMLOG_ERR, "cannot open Packages index\n");
        rpmlog(RPMLOG_WARNING, "two lines\n\n");
        rpmlog(RPMLOG_CRIT, "no newline");
        rpmlog(RPMLOG_DEBUG, "below the threshold\n");
        EXPECT_EQ(capture.lines(), (std::vector<std::string>{"ERROR: rpmlib: cannot open Packages index",
                                                             "WARNING: rpmlib: two lines", "",
                                                             "FATAL: rpmlib: no newline"}));
    }
    {
        LogCapture capture(LogLevel::trace);
        rpmlog(RPMLOG_DEBUG, "opening db\n");
        EXPECT_TRUE(capture.has("DEBUG: rpmlib: opening db"));
    }
    rpmlogSetCallback(nullptr, nullptr);
}

} // namespace
