#include "driver/signals.h"

#include <map>
#include <string>

#include "log/logger.h"
#include "platform/rpm54.h"

namespace updater {

volatile sig_atomic_t terminationRequested = 0;
volatile sig_atomic_t caughtSignal = 0;

namespace {

struct SignalRecord {
    struct sigaction previous; // the action in force before the updater's own
    bool ignore;               // installed mode: ignore, else catch
};

// The signals whose action the updater has replaced.
std::map<int, SignalRecord>& signalTable()
{
    static std::map<int, SignalRecord> table;
    return table;
}

constexpr int TERMINATION_SIGNALS[] = {SIGINT, SIGTERM, SIGQUIT};

// Only two stores, and only for the first signal: the driver reads both.
void catchSignal(int signum, siginfo_t*, void*)
{
    if (!terminationRequested) {
        caughtSignal = signum;
        terminationRequested = 1;
    }
}

// Catches (or restores) SIGINT, SIGTERM and SIGQUIT in order; stops at the first failure.
bool forTerminationSignals(bool restore)
{
    for (int signum : TERMINATION_SIGNALS) {
        if (!(restore ? restoreSignalHandler(signum) : setSignalHandler(signum, false)))
            return false;
    }
    return true;
}

} // namespace

bool setSignalHandler(int signum, bool ignore)
{
    auto& table = signalTable();
    auto entry = table.find(signum);
    if (entry != table.end()) {
        if (entry->second.ignore == ignore)
            return true;
        if (!restoreSignalHandler(signum)) {
            LOG(error, "failed uninstalling signal handler to install new one for signal %i", signum);
            return false;
        }
    }
    if (rpmsqEnable(signum, ignore ? nullptr : catchSignal) >= 2) {
        (void)rpmsqEnable(-signum, nullptr); // leave the other registration as it was
        LOG(error, "handler for signal %i was already installed in rpmlib", signum);
        return false;
    }
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    if (ignore) {
        action.sa_handler = SIG_IGN;
        action.sa_flags = SA_RESTART;
    } else {
        action.sa_sigaction = catchSignal;
        action.sa_flags = SA_RESTART | SA_SIGINFO;
    }
    SignalRecord record = {};
    record.ignore = ignore;
    if (sigaction(signum, &action, &record.previous) != 0) {
        const std::string reason = errnoText();
        (void)rpmsqEnable(-signum, nullptr);
        LOG(error, "failed installing handler for signal %i (%s)", signum, reason.c_str());
        return false;
    }
    table.emplace(signum, record);
    return true;
}

bool restoreSignalHandler(int signum)
{
    auto& table = signalTable();
    auto entry = table.find(signum);
    if (entry == table.end())
        return true;
    bool result = true;
    if (sigaction(signum, &entry->second.previous, nullptr) != 0) {
        LOG(error, "failed uninstalling handler for signal %i (%s)", signum, errnoText().c_str());
        result = false;
    }
    if (rpmsqEnable(-signum, nullptr) != 0) {
        LOG(error, "could not uninstall handler for signal %i from rpm", signum);
        result = false;
    }
    table.erase(entry);
    return result;
}

bool isSignalIgnored(int signum)
{
    auto& table = signalTable();
    auto entry = table.find(signum);
    return entry != table.end() && entry->second.ignore;
}

bool installSignalHandlers()
{
    if (setSignalHandler(SIGHUP, false) && forTerminationSignals(false) && setSignalHandler(SIGPIPE, true))
        return true;
    LOG(error, "failed intializing signal handlers");
    return false;
}

bool ignoreHangup()
{
    if (isSignalIgnored(SIGHUP) || setSignalHandler(SIGHUP, true))
        return true;
    LOG(error, "failed setting SIGHUP to be ignored");
    return false;
}

bool disableTermination()
{
    if ((isSignalIgnored(SIGHUP) || setSignalHandler(SIGHUP, false)) && forTerminationSignals(false))
        return true;
    LOG(error, "failed disabling termination signals");
    return false;
}

bool enableTermination()
{
    if ((isSignalIgnored(SIGHUP) || restoreSignalHandler(SIGHUP)) && forTerminationSignals(true))
        return true;
    LOG(error, "failed enabling termination signals");
    return false;
}

void raiseCaughtSignal()
{
    const int signum = caughtSignal;
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = SIG_DFL;
    sigaction(signum, &action, nullptr);
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, signum);
    sigprocmask(SIG_UNBLOCK, &mask, nullptr);
    raise(signum);
}

} // namespace updater
