#include "child/childprocess.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testing/testing.h"

namespace updater::testing {
namespace {

ChildProcess shell(const std::string& script)
{
    ChildProcess child("/bin/sh");
    child.addArgument("-c");
    child.addArgument(script);
    return child;
}

std::vector<std::string> infoLines(const LogCapture& capture)
{
    std::vector<std::string> result;
    for (const auto& line : capture.lines())
        if (line.starts_with("INFO: "))
            result.push_back(line);
    return result;
}

TEST(ChildProcess, OutputLinesExitCodesAndSignals)
{
    const std::string y1023 = "INFO:   " + std::string(1023, 'y');
    struct { const char* name; ChildProcess child; std::vector<std::string> info; bool exited; int exitCode; } cases[] = {
        {"empty lines skipped, a last byte without newline kept", shell("echo a; echo; echo bc >&2; printf x"),
         {"INFO: /bin/sh output:", "INFO:   a", "INFO:   bc", "INFO:   x"}, true, 0},
        {"argument zero is the last path component", shell("echo \"$0\""), {"INFO: /bin/sh output:", "INFO:   sh"}, true, 0},
        {"no output, no announcement", shell("exit 3"), {}, true, 3},
        {"long lines in pieces", shell("head -c 3000 /dev/zero | tr '\\0' y; echo"),
         {"INFO: /bin/sh output:", y1023, y1023, "INFO:   " + std::string(954, 'y')}, true, 0},
        {"missing program", ChildProcess("/nonexistent/program"),
         {"INFO: /nonexistent/program output:", "INFO:   /nonexistent/program: No such file or directory"}, true, 1},
        {"killed", shell("kill -9 $$"), {}, false, 9},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture capture;
        ASSERT_TRUE(c.child.run());
        EXPECT_EQ(c.child.exited(), c.exited);
        EXPECT_EQ(c.child.signaled(), !c.exited);
        EXPECT_EQ(c.child.exitCode(), c.exitCode);
        EXPECT_EQ(infoLines(capture), c.info);
        EXPECT_EQ(capture.has("ERROR: child '/bin/sh' terminated by signal 9"), !c.exited) << capture.text();
    }
}

TEST(ChildProcess, ProcessLeftBehindDoesNotHoldTheRunOpen)
{
    LogCapture capture;
    ChildProcess child = shell("sleep 30 & echo started");
    auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(child.run());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
    EXPECT_TRUE(child.exited());
    EXPECT_EQ(child.exitCode(), 0);
    EXPECT_TRUE(capture.has("INFO:   started"));
    EXPECT_EQ(child.pid(), 0);
}

TEST(ChildProcess, StartDetachesOntoDevNullAndWaitRecordsTheResult)
{
    TemporaryDirectory dir;
    std::string marker = dir.file("fds");
    LogCapture capture;
    // A new session: its ID is the child's own process ID.
    ChildProcess child = shell("fds=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2); echo \"$fds\" > " + marker +
                               "; [ $(ps -o sid= -p $$) = $$ ] && echo own session >> " + marker + "; exit 4");
    ASSERT_TRUE(child.start());
    EXPECT_NE(child.pid(), 0);
    ASSERT_TRUE(child.wait());
    EXPECT_EQ(child.exitCode(), 4);
    EXPECT_TRUE(infoLines(capture).empty());
    EXPECT_EQ(readFile(marker), "/dev/null\n/dev/null\n/dev/null\nown session\n");
    EXPECT_FALSE(child.wait()); // nothing left to wait for
}

// With the parent's standard descriptors closed, /dev/null, the pipe ends and
// the exec report pipe are themselves 0 to 2. The child must still get
// /dev/null on stdin and the pipe on stdout and stderr, and the report pipe
// must close at the exec, or start() waits for the whole life of the program
// (shutdown -r +1).
TEST(ChildProcess, WorksWhenTheParentsStandardDescriptorsAreClosed)
{
    ChildRun run = runInChild(
        [] {
            close(0);
            close(1);
            close(2);
            ChildProcess child = shell("cat; echo out; echo err >&2");
            if (!child.run() || !child.exited() || child.exitCode() != 0)
                return false;
            const auto begin = std::chrono::steady_clock::now();
            ChildProcess detached = shell("sleep 20");
            const bool started = detached.start();
            const bool prompt = std::chrono::steady_clock::now() - begin < std::chrono::seconds(10);
            kill(detached.pid(), SIGKILL);
            return started && prompt && detached.wait();
        },
        LogLevel::info);
    EXPECT_EQ(run.exitCode, 0) << run.text();
    EXPECT_TRUE(run.text().starts_with("INFO: /bin/sh output:\nINFO:   out\nINFO:   err\n")) << run.text();
}

// A descriptor a library left without close-on-exec does not reach the
// program, in either mode.
TEST(ChildProcess, ProgramGetsOnlyTheStandardDescriptors)
{
    TemporaryDirectory dir;
    const int leaked = open(dir.file("leaked").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GT(leaked, 2);
    // The shell's own descriptors, each looked at without opening anything:
    // a pipeline or a listing program would show the shell's pipes.
    const std::string list = "i=0; while [ $i -lt 1024 ]; do [ -h /proc/$$/fd/$i ] && printf '%s ' $i; "
                             "i=$((i + 1)); done; echo";
    LogCapture capture;
    ChildProcess running = shell(list);
    ASSERT_TRUE(running.run());
    ChildProcess detached = shell("exec > " + dir.file("detached") + "; " + list);
    ASSERT_TRUE(detached.start());
    ASSERT_TRUE(detached.wait());
    close(leaked);
    EXPECT_EQ(infoLines(capture), (std::vector<std::string>{"INFO: /bin/sh output:", "INFO:   0 1 2 "}));
    EXPECT_EQ(readFile(dir.file("detached")), "0 1 2 \n");
}

} // namespace
} // namespace updater::testing
