#include "driver/signals.h"

#include "platform/rpm54.h"
#include "testing/testing.h"

namespace updater::testing {
namespace {

bool isDefault(int signum)
{
    struct sigaction action;
    sigaction(signum, nullptr, &action);
    return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_DFL;
}

class Signals : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (int signum : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGUSR1})
            EXPECT_TRUE(restoreSignalHandler(signum));
        terminationRequested = 0;
        caughtSignal = 0;
    }
};

TEST_F(Signals, SignalRegisteredElsewhereInRpmIsLeftAlone)
{
    ASSERT_EQ(rpmsqEnable(SIGUSR2, nullptr), 1);
    LogCapture capture;
    EXPECT_FALSE(setSignalHandler(SIGUSR2, false));
    EXPECT_TRUE(capture.has("ERROR: handler for signal 12 was already installed in rpmlib"));
    EXPECT_TRUE(isDefault(SIGUSR2));
    EXPECT_EQ(rpmsqEnable(-SIGUSR2, nullptr), 0); // only the other registration was left
}

TEST_F(Signals, FailedSigactionReleasesTheRpmRegistration)
{
    LogCapture capture;
    EXPECT_FALSE(setSignalHandler(SIGKILL, false));
    EXPECT_TRUE(capture.has("ERROR: failed installing handler for signal 9 (Invalid argument)"));
    EXPECT_EQ(rpmsqEnable(-SIGKILL, nullptr), -1);
    EXPECT_TRUE(restoreSignalHandler(SIGKILL)); // not in the table
}

TEST_F(Signals, CaughtSignalRaisedAgainEndsTheProcessEvenWhenIgnored)
{
    // SIGHUP caught, then ignored for the rest of the run; SIGTERM inherited
    // as ignored, which enabling termination puts back.
    for (int signum : {SIGHUP, SIGTERM}) {
        auto run = runInChild([&] {
            if (signum == SIGTERM)
                signal(SIGTERM, SIG_IGN);
            if (!installSignalHandlers() || raise(signum) != 0 || (signum == SIGHUP && !ignoreHangup()) ||
                !enableTermination())
                return false;
            raiseCaughtSignal();
            return false;
        });
        EXPECT_EQ(run.exitCode, 128 + signum);
    }
}

} // namespace
} // namespace updater::testing
