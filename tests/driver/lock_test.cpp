// Runs inside a throwaway device root: works on /var/lock/updater directly.
#include "driver/lock.h"

#include "driver/signals.h"
#include "testing/testing.h"

namespace updater::testing {
namespace {

// The test process takes the lock and keeps it; a forked child, which does
// not share a process's locks, waits for it.
TEST(CacheLock, TerminationEndsTheWaitWithoutAnError)
{
    ASSERT_TRUE(acquireCacheLock(0));
    ChildRun waiter = runInChild([] {
        terminationRequested = 1;
        return acquireCacheLock(30);
    });
    EXPECT_EQ(waiter.exitCode, 1);
    EXPECT_FALSE(waiter.contains("ERROR")) << waiter.text();
}

} // namespace
} // namespace updater::testing
