#pragma once
// democomm-cli: the device's data from scripts, on the monitor's exchange (master::Session).
//
// Two halves: the command line (ParseCommandLine, pure, refuses bad input before anything is
// sent) and running a parsed command (Run, on a QCoreApplication's event loop).

#include "device/map.h"

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

// Exit codes, as --help and the man page list them.
enum ExitCode : int {
    kOk = 0,
    kUsage = 2,
    kPortError = 3,
    kTimeout = 4,
    kBadReply = 5, // CRC or length failure
    kException = 6,
    kNotEchoed = 7,
    kOutputError = 8,  // standard output could not be written (a closed pipe, a full disk)
    kFinding = 9,      // analyse: a closing with a finding, or one that may have been missed
    kRecordError = 10, // analyse: the record cannot be read, or is not a record
};

enum class Format { Text, Json, Csv };

// The device's named values (device/map.h): working data 0000..0004, set-points 0100..0107
// (holding registers), switch states 0300..030B (discrete inputs).
using device::Field;
using device::SetpointFields;
using device::SwitchFields;
using device::WorkingFields;

struct Command {
    std::string name; // "read", "write", "watch", "scan", "list-ports", "analyse"; empty with
                      // help
    std::string what; // read/watch: working, setpoints, switches, all, registers, inputs;
                      // write: "registers" or "setpoint"
    std::string file; // analyse: the record
    uint16_t address = 0;
    uint16_t count = 0;
    std::vector<uint16_t> values; // write: raw words
    const Field* setpoint = nullptr;
    int setpointValue = 0;
    int intervalMs = 1000;
    long long samples = 0; // watch --count; 0: until Ctrl-C
    int scanFrom = 1, scanTo = 247;

    std::string port = "COM2";
    uint32_t baud = 9600;
    int slave = 1;
    int timeoutMs = 500;
    int charTimeoutMs = 30;    // silence that ends a reply that has started
    std::string echo = "auto"; // auto (learned), on, off
    bool timeoutGiven = false;
    Format format = Format::Text;
    bool frames = false;
    bool hex = false;
    bool help = false;
};

struct ParseResult {
    Command command;
    std::string error; // empty on success
};

ParseResult ParseCommandLine(const std::vector<std::string>& args);

std::string UsageText();

// Runs `command` and returns the exit code. `analyse` reads its record and opens no port. Writes
// records (and, with text, frames) to standard output, diagnostics to standard error. Needs a
// QCoreApplication. Ignores SIGPIPE (a write to a closed pipe is an output failure, kOutputError);
// while a port is open it takes SIGINT, SIGTERM and SIGHUP itself, so that the port is always
// closed properly: watch then ends with the link statistics and kOk, the other commands end by the
// same signal once the port is closed (the caller sees the usual 128 + signal number).
int Run(const Command& command);

} // namespace cli
