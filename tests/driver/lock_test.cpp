// Runs inside a throwaway device root: works on /var/lock/updater and
// /var/lib/updater directly. The test process itself never takes the lock;
// forked children do, so that each test starts with the lock free.
#include "driver/lock.h"

#include <chrono>
#include <sys/wait.h>
#include <unistd.h>

#include "child/childend.h"
#include "driver/signals.h"
#include "driver/status.h"
#include "repo/repositorydata.h"
#include "testing/testing.h"

namespace updater::testing {
namespace {

// Forks a child that takes the lock and holds it until `release` is closed.
// Returns once the lock is held.
pid_t holdLock(int& release)
{
    int ready[2], hold[2];
    if (pipe(ready) != 0 || pipe(hold) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        close(hold[1]);
        const char result = acquireCacheLock(0) ? 'y' : 'n';
        (void)!write(ready[1], &result, 1);
        char ignored;
        (void)!read(hold[0], &ignored, 1);
        exitChild(0);
    }
    close(ready[1]);
    close(hold[0]);
    char result = 'n';
    (void)!read(ready[0], &result, 1);
    close(ready[0]);
    release = hold[1];
    return result == 'y' ? pid : -1;
}

int exitStatusOf(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CacheLock, TerminationEndsTheWaitWithoutAnError)
{
    int release = -1;
    const pid_t holder = holdLock(release);
    ASSERT_GT(holder, 0);
    ChildRun waiter = runInChild([&] {
        close(release);
        terminationRequested = 1;
        return acquireCacheLock(30);
    });
    EXPECT_EQ(waiter.exitCode, 1);
    EXPECT_FALSE(waiter.contains("ERROR")) << waiter.text();
    close(release);
    exitStatusOf(holder);
}

} // namespace
} // namespace updater::testing
