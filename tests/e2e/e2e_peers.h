#pragma once
// The peers of the end-to-end tests: democomm-sim, the libmodbus slave on a socat pair, and
// mbpoll as a master. Each runs as a child process that the test ends.

#include <cstdint>

namespace e2e {

// What the libmodbus slave holds (raw register values, sign and magnitude).
inline constexpr uint16_t kSlaveWorking[5] = {1000, 990, 5000, 4990, 2};
inline constexpr uint16_t kSlaveSetpoints[8] = {120, 100, 30, 0x8014, 2000, 400, 3000, 500}; // 0103: -20
inline constexpr uint16_t kInputStart = 0x0300;
inline constexpr uint16_t kSlaveInputs = 0x0A85; // inputs 0300..030B, bit i = 0300 + i

} // namespace e2e

#ifndef E2E_PEERS_CONSTANTS_ONLY
#include "../sim/process.h"

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {

using Bytes = std::vector<uint8_t>;

inline bool HaveProgram(const std::string& name) {
    return testsim::Run({"sh", "-c", "command -v " + name}, 5000).exitCode == 0;
}

// democomm-sim in the background with `args`; the port it serves is read from its output.
struct Sim {
    testsim::Background process;
    std::string port, alias;
    explicit Sim(const std::vector<std::string>& args, const testsim::Env& env = {}) : process(Cmd(args), env) {
        port = process.Field("port");
        alias = process.Field("alias");
    }
    static std::vector<std::string> Cmd(const std::vector<std::string>& args) {
        std::vector<std::string> cmd{DEMOCOMM_SIM_PATH};
        cmd.insert(cmd.end(), args.begin(), args.end());
        return cmd;
    }
};

// Two linked pseudo-terminals made by socat.
struct SocatPair {
    testsim::Background process{{"socat", "-d", "-d", "pty,raw,echo=0", "pty,raw,echo=0"}};
    std::string a, b;
    SocatPair() {
        // socat names both ends before it starts its transfer loop. The lines are read only
        // after the wait: reading them inside the predicate would grow the list the wait is
        // walking through.
        process.WaitForLine([](const std::string& l) {
            return l.find("starting data transfer loop") != std::string::npos;
        });
        std::vector<std::string> ends;
        for (const std::string& line : process.Lines())
            if (const auto at = line.find("PTY is "); at != std::string::npos)
                ends.push_back(line.substr(at + 7));
        if (ends.size() >= 2) {
            a = ends[0];
            b = ends[1];
        }
    }
};

// The libmodbus slave on `path`.
struct LibmodbusSlave {
    testsim::Background process;
    bool ready = false;
    explicit LibmodbusSlave(const std::string& path, int slave = 1)
        : process({DEMOCOMM_MODBUS_SLAVE_PATH, path, std::to_string(slave)}) {
        ready = process.WaitForLine([](const std::string& l) { return l == "ready"; }).has_value();
    }
};

// mbpoll as master at 9600 8N2 with PDU (0-based) addresses; `extra` holds type, start,
// count; `values` (written when given) follow the port, as mbpoll wants them. One poll,
// time-out 0.3 s.
inline testsim::Result Mbpoll(const std::string& port, const std::vector<std::string>& extra, int slave = 1,
                              const std::vector<std::string>& values = {}) {
    std::vector<std::string> cmd{"mbpoll", "-m", "rtu", "-a", std::to_string(slave), "-b", "9600", "-P", "none",
                                 "-s", "2", "-0", "-1", "-o", "0.3"};
    cmd.insert(cmd.end(), extra.begin(), extra.end());
    cmd.push_back(port);
    cmd.insert(cmd.end(), values.begin(), values.end());
    return testsim::Run(cmd, 10000);
}

// The values mbpoll printed, as "[ref]: value" lines.
inline std::vector<long> MbpollValues(const std::string& output) {
    std::vector<long> values;
    // A 16-bit register with bit 15 set is shown as "32788 (-32748)": the first is the raw value.
    static const std::regex line(R"(^\[(\d+)\]:\s+(-?\d+)(?: \(-?\d+\))?\s*$)");
    std::istringstream in(output);
    std::string l;
    while (std::getline(in, l)) {
        std::smatch m;
        if (std::regex_match(l, m, line))
            values.push_back(std::stol(m[2]));
    }
    return values;
}

inline testsim::Result MbpollRead(const std::string& port, const std::string& type, int start, int count, int slave = 1) {
    return Mbpoll(port, {"-t", type, "-r", std::to_string(start), "-c", std::to_string(count)}, slave);
}

inline testsim::Result MbpollWrite(const std::string& port, int start, const std::vector<int>& values) {
    std::vector<std::string> text;
    for (int v : values)
        text.push_back(std::to_string(v));
    return Mbpoll(port, {"-t", "4", "-r", std::to_string(start)}, 1, text);
}

// One traffic line of democomm-sim: "HH:MM:SS.mmm tx 01 03 ... | text".
struct Traffic {
    std::string dir;
    Bytes bytes;
    std::string text;
};

inline std::vector<Traffic> ParseTraffic(const std::vector<std::string>& lines) {
    std::vector<Traffic> out;
    static const std::regex re(R"(^\d\d:\d\d:\d\d\.\d\d\d (rx|tx|--) ((?:[0-9A-F]{2} ?)*)\| (.*)$)");
    for (const std::string& l : lines) {
        std::smatch m;
        if (!std::regex_match(l, m, re))
            continue;
        Traffic t{m[1], {}, m[3]};
        std::istringstream hex(m[2]);
        unsigned v;
        while (hex >> std::hex >> v)
            t.bytes.push_back(static_cast<uint8_t>(v));
        out.push_back(std::move(t));
    }
    return out;
}

} // namespace e2e
#endif
