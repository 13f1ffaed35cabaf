#include "child/childprocess.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "child/childend.h"
#include "log/logger.h"

namespace updater {

namespace {

constexpr size_t LINE_PIECE = 1023; // longer lines are logged in pieces of this size
constexpr int REAP_POLL_MS = 200;
constexpr size_t PIPE_DRAIN_LIMIT = 64 * 1024;

// Child side, between fork and exec: only async-signal-safe calls, perror
// for messages, exitChild on failure.
void resetSigpipe()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGPIPE, &action, nullptr) != 0)
        perror("failed resetting SIGPIPE");
}

// Moves a descriptor above the standard ones, so that placing the standard
// descriptors cannot clobber it when the parent ran with some of them closed.
// The copy stays close-on-exec.
int aboveStandard(int fd)
{
    if (fd > 2)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

// Closes the descriptors first..last: with close_range, or one by one up to
// the descriptor limit on a kernel without it.
void closeDescriptors(unsigned first, unsigned last)
{
    if (first > last || close_range(first, last, 0) == 0)
        return;
    struct rlimit limit;
    const rlim_t top = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY ? limit.rlim_cur : 65536;
    for (unsigned fd = first; fd <= last && fd < top; ++fd)
        close(static_cast<int>(fd));
}

// The program gets the standard descriptors and nothing else the updater
// holds, whatever a library opened without close-on-exec. `keep` (the exec
// report pipe, close-on-exec itself) stays open until the exec.
void closeAboveStandard(int keep = -1)
{
    if (keep < 3) {
        closeDescriptors(3, ~0U);
        return;
    }
    closeDescriptors(3, static_cast<unsigned>(keep) - 1);
    closeDescriptors(static_cast<unsigned>(keep) + 1, ~0U);
}

[[noreturn]] void execChild(const std::string& program, std::vector<char*>& argv)
{
    execProgram(program.c_str(), argv.data());
    perror(program.c_str());
    exitChild(1);
}

std::vector<char*> argumentVector(const std::vector<std::string>& arguments)
{
    std::vector<char*> argv;
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// Splits child output into lines (or pieces of LINE_PIECE bytes) and logs
// them, announcing the program before the first one.
class OutputLogger {
public:
    explicit OutputLogger(const std::string& program) : m_program(program) {}

    void feed(const char* data, size_t length)
    {
        for (size_t i = 0; i < length; ++i) {
            m_line += data[i];
            if (data[i] == '\n' || m_line.size() >= LINE_PIECE)
                flush();
        }
    }

    void flush()
    {
        if (!m_line.empty() && m_line.back() == '\n')
            m_line.pop_back();
        if (!m_line.empty()) {
            if (!m_announced) {
                LOG(info, "%s output:", m_program.c_str());
                m_announced = true;
            }
            LOG(info, "  %s", m_line.c_str());
        }
        m_line.clear();
    }

private:
    const std::string& m_program;
    std::string m_line;
    bool m_announced = false;
};

} // namespace

ChildProcess::ChildProcess(const std::string& program) : m_program(program)
{
    size_t slash = program.rfind('/');
    m_arguments.push_back(slash == std::string::npos ? program : program.substr(slash + 1));
}

void ChildProcess::reset()
{
    if (m_pid != 0)
        LOG(warn, "Did not wait on previously spawned helper");
    m_pid = 0;
    m_exited = false;
    m_signaled = false;
    m_exitCode = -1;
}

bool ChildProcess::run()
{
    reset();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        LOG(error, "failed creating pipe to run '%s' (%s)", m_program.c_str(), errnoText().c_str());
        return false;
    }
    std::vector<char*> argv = argumentVector(m_arguments);
    pid_t pid = fork();
    if (pid < 0) {
        LOG(error, "failed forking to run '%s' (%s)", m_program.c_str(), errnoText().c_str());
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        close(fds[0]);
        resetSigpipe();
        int out = aboveStandard(fds[1]);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull < 0) {
            perror("failed opening /dev/null");
            exitChild(1);
        }
        devnull = aboveStandard(devnull);
        if (devnull < 0 || dup2(devnull, 0) < 0) {
            perror("failed redirecting stdin to /dev/null");
            exitChild(1);
        }
        close(devnull);
        if (out < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) {
            perror("failed redirecting stdout/stderr to pipe");
            exitChild(1);
        }
        close(out);
        closeAboveStandard();
        execChild(m_program, argv);
    }
    m_pid = pid;
    LOG(debug, "started child '%s' with PID %i", m_program.c_str(), static_cast<int>(pid));
    close(fds[1]);
    readOutput(fds[0]);
    close(fds[0]);
    if (m_pid != 0)
        (void)wait();
    return true;
}

// Reads the child's output until the pipe closes. A process the child left
// behind (a daemon started by a scriptlet) may keep the pipe open after the
// child ended: once the child is reaped, what is still readable is taken
// without blocking (at most what a pipe holds) and the pipe is given up.
void ChildProcess::readOutput(int fd)
{
    OutputLogger output(m_program);
    char buffer[4096];
    bool reaped = false;
    size_t drainLeft = PIPE_DRAIN_LIMIT;
    for (;;) {
        struct pollfd entry = {fd, POLLIN, 0};
        int ready = poll(&entry, 1, reaped ? 0 : REAP_POLL_MS);
        if (ready < 0 && errno != EINTR) {
            LOG(error, "failed reading output from child, closing pipe");
            break;
        }
        if (ready > 0) {
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n > 0) {
                output.feed(buffer, static_cast<size_t>(n));
                if (reaped && (drainLeft -= std::min(drainLeft, static_cast<size_t>(n))) == 0)
                    break;
                continue;
            }
            if (n == 0)
                break;
            if (errno != EINTR && errno != EAGAIN) {
                LOG(error, "failed reading output from child, closing pipe");
                break;
            }
            continue;
        }
        if (reaped)
            break; // nothing more readable right now
        int status;
        pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            recordStatus(status);
            reaped = true;
        }
    }
    output.flush();
}

bool ChildProcess::wait()
{
    if (m_pid == 0)
        return false;
    int status;
    pid_t done;
    do {
        done = waitpid(m_pid, &status, 0);
    } while (done < 0 && errno == EINTR);
    if (done < 0) {
        m_pid = 0;
        LOG(error, "failed recovering child exit status (%s)", errnoText().c_str());
        return false;
    }
    recordStatus(status);
    return true;
}

void ChildProcess::recordStatus(int status)
{
    m_pid = 0;
    if (WIFEXITED(status)) {
        m_exitCode = WEXITSTATUS(status);
        m_exited = true;
        LOG(debug, "child '%s' exited with code %i", m_program.c_str(), m_exitCode);
    } else if (WIFSIGNALED(status)) {
        m_signaled = true;
        m_exitCode = WTERMSIG(status);
        LOG(error, "child '%s' terminated by signal %i", m_program.c_str(), m_exitCode);
    } else {
        LOG(error, "child '%s' terminated by unknown reason", m_program.c_str());
    }
}

// A detached child has no output to show why its exec failed, so it reports
// the errno over a close-on-exec pipe: end of file means the program runs.
bool ChildProcess::start()
{
    reset();
    std::vector<char*> argv = argumentVector(m_arguments);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        LOG(error, "failed creating pipe to run '%s' (%s)", m_program.c_str(), errnoText().c_str());
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
        LOG(error, "failed forking to run '%s' (%s)", m_program.c_str(), errnoText().c_str());
        close(report[0]);
        close(report[1]);
        return false;
    }
    if (pid == 0) {
        close(report[0]);
        if (setsid() < 0)
            perror("setting a new session");
        resetSigpipe();
        int out = aboveStandard(report[1]);
        int devnull = open("/dev/null", O_RDWR);
        if (devnull < 0) {
            perror("failed opening /dev/null");
            exitChild(1);
        }
        devnull = aboveStandard(devnull);
        if (devnull < 0 || dup2(devnull, 0) < 0 || dup2(devnull, 1) < 0 || dup2(devnull, 2) < 0) {
            perror("failed redirecting stdout/stderr to pipe");
            exitChild(1);
        }
        close(devnull);
        closeAboveStandard(out);
        execProgram(m_program.c_str(), argv.data());
        int error = errno;
        if (out >= 0)
            (void)!write(out, &error, sizeof error);
        exitChild(1);
    }
    close(report[1]);
    m_pid = pid;
    int execError = 0;
    ssize_t n;
    do {
        n = read(report[0], &execError, sizeof execError);
    } while (n < 0 && errno == EINTR);
    close(report[0]);
    if (n == static_cast<ssize_t>(sizeof execError)) {
        errno = execError;
        LOG(error, "failed starting '%s' (%s)", m_program.c_str(), errnoText().c_str());
        (void)wait();
        return false;
    }
    LOG(debug, "started background child '%s' with PID %i", m_program.c_str(), static_cast<int>(pid));
    return true;
}

} // namespace updater
