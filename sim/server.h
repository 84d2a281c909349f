#pragma once
// The simulator's main loop: opens the line (a new pseudo-terminal or --port), makes the
// alias, answers requests with the device model through the fault injector, writes the
// traffic log, and cleans up on a stop signal or at the end of piped standard input.

#include "sim/options.h"

#include <cstdio>

namespace sim {

// Runs until stopped. Output (port, alias, traffic, summary) goes to `out`, errors to `err`.
// Returns the process exit code: 0 after a normal stop, 1 when the line or alias cannot be
// set up. Blocks SIGINT, SIGTERM and SIGHUP in the calling thread and takes them through a
// signalfd, so cleanup happens in ordinary code, not in a signal handler.
int RunSimulator(const Options& options, std::FILE* out, std::FILE* err);

} // namespace sim
