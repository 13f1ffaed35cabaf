// Program entry: start-up, the pass loop and the exit sequence.
#pragma once

namespace updater {

// Runs the program with its command line; returns the exit status.
int run(int argc, char** argv);

} // namespace updater
