// Runs one external program: with its output copied into the log and waited
// for (run), or detached on /dev/null (start, then optionally wait).
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace updater {

class ChildProcess {
public:
    // Argument zero is the part of `program` after its last '/'.
    explicit ChildProcess(const std::string& program);
    // Does not wait for, signal or otherwise touch a running child.
    ~ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ChildProcess(ChildProcess&&) = default;

    void addArgument(const std::string& argument) { m_arguments.push_back(argument); }

    // Starts the program with stdout and stderr on a pipe whose lines go to
    // the log at info level, and waits for it. False only when it could not
    // be started; then read exited() and exitCode().
    [[nodiscard]] bool run();
    // Starts the program detached (new session, stdio on /dev/null). False
    // when it could not be started: the fork or the exec failed.
    [[nodiscard]] bool start();
    // Waits for the child; true when a result was recorded.
    [[nodiscard]] bool wait();

    const std::string& program() const { return m_program; }
    const std::vector<std::string>& arguments() const { return m_arguments; }
    pid_t pid() const { return m_pid; }
    int exitCode() const { return m_exitCode; } // exit status, or the signal number
    bool exited() const { return m_exited; }
    bool signaled() const { return m_signaled; }

private:
    void reset();
    void readOutput(int fd);
    void recordStatus(int status);

    std::string m_program;
    std::vector<std::string> m_arguments;
    pid_t m_pid = 0;
    int m_exitCode = -1;
    bool m_exited = false;
    bool m_signaled = false;
};

} // namespace updater
