#pragma once
// Command line of democomm-sim.
//
// Every flag takes its value either as the next argument ("--slave 3") or after "="
// ("--slave=3"). Parsing never exits or prints: the caller decides (exit code 2 for errors).

#include "sim/faults.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct Options {
    int slave = 1;          // 1..247
    int baud = 9600;        // for the 3.5-character silence, and the line speed with --port
    std::string port;       // empty: a new pseudo-terminal
    // Set by --tcp: serve a listening socket instead of a terminal (loopback unless an address
    // is given; port 0 takes any free one), one connection at a time.
    std::optional<std::string> tcpHost;
    int tcpPort = 0;
    char parity = 'N';      // N, E, O (with --port or --tcp)
    int stopBits = 2;       // 1 or 2 (with --port or --tcp)
    std::optional<std::string> alias; // set when --alias was given
    bool noAlias = false;
    std::optional<uint64_t> seed; // empty: chosen at start and printed
    FaultRates faults;
    // The line keeps time (the default): a frame takes its characters' time at `baud`, the
    // device answers `turnaroundMs` after a request has ended, and bytes reach the master in
    // chunks every `chunkMs` (0: each as its character ends). Off: replies at once, whole.
    bool lineTime = true;
    int turnaroundMs = 5;
    int chunkMs = 1;
    int chatterMs = 0;      // a stray byte every chatterMs while the line is idle; 0: none
    int speed = 1;          // the device's clock runs this many times faster than the wall's
    bool quiet = false;     // no traffic lines
    bool help = false;

    // The alias to create, or empty for none: COM2 for a pseudo-terminal, none for --port
    // unless --alias names one, never for --tcp.
    std::string AliasName() const;
};

struct ParseResult {
    Options options;
    std::string error; // empty on success
};

ParseResult ParseOptions(const std::vector<std::string>& args);

// The --help text.
std::string UsageText();

} // namespace sim
