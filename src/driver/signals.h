// Termination signals over the rpm library's signal queue. SIGHUP, SIGINT,
// SIGQUIT and SIGTERM are either caught (the handler only records the
// request, which the driver checks at safe points, so that an rpm
// transaction is never cut in half) or back in their previous action (while
// only the network is waited for). SIGPIPE is ignored for the whole run, and
// SIGHUP can be made ignored for the rest of it.
#pragma once

#include <csignal>

namespace updater {

// Set by the catch handler on the first caught signal, whose number is
// stored in caughtSignal before the flag is raised. Read by the driver.
extern volatile sig_atomic_t terminationRequested;
extern volatile sig_atomic_t caughtSignal;

// Catches (ignore false) or ignores the signal, saving the action it had
// before. A signal already in the wanted mode is left alone.
[[nodiscard]] bool setSignalHandler(int signum, bool ignore);
// Puts back the action saved by setSignalHandler; true when none is saved.
[[nodiscard]] bool restoreSignalHandler(int signum);
// True when the updater has set the signal to be ignored.
bool isSignalIgnored(int signum);

// Start-up: catch the termination signals, ignore SIGPIPE.
[[nodiscard]] bool installSignalHandlers();
// From the download hook on: SIGHUP is ignored.
[[nodiscard]] bool ignoreHangup();
// Catch the termination signals (SIGHUP only while it is not ignored).
[[nodiscard]] bool disableTermination();
// Put the termination signals back to their previous action (SIGHUP only
// while it is not ignored).
[[nodiscard]] bool enableTermination();

// Raises the caught signal again with its default action in force, so that
// the process ends by it even when it was ignored or inherited as ignored.
void raiseCaughtSignal();

} // namespace updater
