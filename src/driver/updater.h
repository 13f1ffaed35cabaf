// Program entry: start-up, the pass loop and the exit sequence.
#pragma once

#include <rpm/rpmlog.h>

#include "log/logger.h"

namespace updater {

// Runs the program with its command line; returns the exit status (0 OK,
// 1 ERROR, 2 FATAL), unless a caught termination signal ends the process.
int run(int argc, char** argv);

// rpm library log records into the Logger as "rpmlib: <message>"; returns 0
// so that rpm prints nothing itself.
int rpmLogBridge(rpmlogRec record, rpmlogCallbackData data);

// The Logger level of an rpm log priority (EMERG .. DEBUG; anything else is error).
LogLevel rpmLogLevel(int priority);

// Allocation failure anywhere: logs and ends the process with status 2.
[[noreturn]] void onOutOfMemory();

} // namespace updater
