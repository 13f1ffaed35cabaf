// How a forked process ends: by an exec, or by _exit where the exec failed or
// never came. A coverage build writes the process's counts at both, which
// gcov would otherwise drop: it writes them only at a normal exit.
#pragma once

#include <unistd.h>

#ifdef UPDATER_COVERAGE_DUMP
extern "C" void __gcov_dump();
extern "C" void __gcov_reset();
#endif

namespace updater {

// execvp(). When the exec fails, counting starts afresh.
inline int execProgram(const char* file, char* const argv[])
{
#ifdef UPDATER_COVERAGE_DUMP
    __gcov_dump();
    __gcov_reset();
#endif
    return execvp(file, argv);
}

[[noreturn]] inline void exitChild(int code)
{
#ifdef UPDATER_COVERAGE_DUMP
    __gcov_dump();
#endif
    _exit(code);
}

} // namespace updater
