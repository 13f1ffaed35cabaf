#include <rpm/rpmlog.h>

#include "driver/updater.h"
#include "testing/testing.h"

namespace updater::testing {
namespace {

TEST(RpmLogBridge, RecordsFromRpmLandInTheLogWithoutTheirNewline)
{
    rpmSetVerbosity(RPMLOG_DEBUG);
    rpmlogSetCallback(rpmLogBridge, nullptr);
    LogCapture capture(LogLevel::debug);
    rpmlog(RPMLOG_ERR, "cannot open Packages index\n");
    rpmlog(RPMLOG_WARNING, "two lines\n\n");
    rpmlog(RPMLOG_CRIT, "no newline");
    rpmlog(RPMLOG_NOTICE, "notice\n");
    rpmlog(RPMLOG_DEBUG, "opening db\n");
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"ERROR: rpmlib: cannot open Packages index",
                                                         "WARNING: rpmlib: two lines\\x0a", "FATAL: rpmlib: no newline",
                                                         "INFO: rpmlib: notice", "DEBUG: rpmlib: opening db"}));
    Logger::instance().setThreshold(LogLevel::info);
    rpmlog(RPMLOG_DEBUG, "below the threshold\n");
    EXPECT_FALSE(capture.contains("below"));
    rpmlogSetCallback(nullptr, nullptr);
}

} // namespace
} // namespace updater::testing
