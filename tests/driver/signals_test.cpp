#include "driver/signals.h"

#include "platform/rpm54.h"
#include "testing/testing.h"

namespace updater::testing {
namespace {

struct sigaction currentAction(int signum)
{
    struct sigaction action;
    sigaction(signum, nullptr, &action);
    return action;
}

bool isDefault(int signum)
{
    const auto action = currentAction(signum);
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
    // SIGHUP caught, then ignored for the rest of the run.
    auto run = runInChild([] {
        if (!installSignalHandlers())
            return false;
        raise(SIGHUP);
        if (!ignoreHangup() || !enableTermination())
            return false;
        raiseCaughtSignal();
        return false;
    });
    EXPECT_EQ(run.exitCode, 128 + SIGHUP);

    // SIGTERM inherited as ignored: enabling termination puts SIG_IGN back.
    run = runInChild([] {
        signal(SIGTERM, SIG_IGN);
        if (!installSignalHandlers())
            return false;
        raise(SIGTERM);
        if (!enableTermination())
            return false;
        raiseCaughtSignal();
        return false;
    });
    EXPECT_EQ(run.exitCode, 128 + SIGTERM);
}

} // namespace
} // namespace updater::testing
