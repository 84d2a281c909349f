#include "sim/options.h"

#include "sim/alias.h"

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>

namespace sim {

std::string Options::AliasName() const {
    if (noAlias)
        return {};
    if (alias)
        return *alias;
    return port.empty() && !tcpHost ? "COM2" : std::string();
}

std::string UsageText() {
    return R"(Usage: democomm-sim [options]

A simulated quasi-synchronisation measuring and control device: a Modbus RTU slave on a
new pseudo-terminal (or on a serial device you name, or behind a TCP port as a serial
device server would serve it), for trying and testing democomm without the device.

It prints the terminal's path first ("port: /dev/pts/N", or "port: tcp://HOST:PORT", the
name democomm takes for it) and the alias it made
("alias: PATH"), then one line per frame: time, direction (rx from the master, tx to it,
-- not sent), the bytes in hex, and what they were. On exit it prints "frames:" and
"faults:" lines with counts. It stops on Ctrl-C (SIGINT), SIGTERM or SIGHUP, and at the
end of standard input when standard input is a pipe or socket; it then removes its alias.

Line and device:
  --slave N        Slave address to answer, 1..247 (default 1). Frames for other
                   addresses are ignored; broadcasts (address 0) are carried out for
                   writes but never answered.
  --baud N         Baud rate (default 9600). Sets the character time the line keeps,
                   the 3.5-character silence that ends a frame, and the line speed with
                   --port.
  --port PATH      Serve an existing serial device (an RS-485 adapter, one end of a socat
                   pair) in raw mode instead of a new pseudo-terminal.
  --tcp [ADDR:]PORT
                   Serve the device on a TCP port instead, as a serial device server in
                   raw (TCP server) mode does: the bytes on the connection are the RTU
                   frames as on the line, CRC included, and the line behind it keeps
                   time as below. ADDR is an IPv4 address or an IPv6 address in brackets
                   (default 127.0.0.1, the loopback); PORT 0 takes a free port. One
                   connection is served at a time: a second one while it lasts is
                   refused (reset at once); after it closes the next is taken. No alias.
  --parity P       none, even or odd (default none); with --port or --tcp only.
  --stop-bits N    1 or 2 (default 2); with --port or --tcp only.

Line time (on by default, so that a pseudo-terminal behaves like an RS-485 line):
  A frame occupies the line for its length in characters (11 bits each at 8N2, or as
  --parity and --stop-bits set them) at --baud. The device answers --turnaround ms after
  the request has ended on the line; a reply's bytes reach the master as their characters
  end, handed over in the chunks a USB adapter makes (--chunk-ms); an echo (--echo) comes
  back while the request itself is on the line, paced the same way.
  A request whose first byte arrives less than 3.5 character times (at least 1.75 ms)
  after the end of the simulator's previous frame on the line is a gap violation: the
  master did not leave the silence that separates frames. It is noted on the request's
  line ("gap violation: ...") and counted as gap-violations= in the frames: summary.
  --turnaround MS  The device's time from the end of a request to its reply (default 5).
  --chunk-ms MS    A USB adapter's delivery interval (default 1; 16 is what common
                   adapters do out of the box; 0: each byte as its character ends).
  --no-line-time   Answer at once and whole, as a bare pseudo-terminal would (for tests
                   that need a pseudo-terminal's speed; no gap check).

Alias (the name democomm's port box takes, such as COM2):
  --alias NAME     Create the alias NAME in the alias folder ($XDG_RUNTIME_DIR/democomm,
                   else /tmp/democomm-UID). Default: COM2 for a pseudo-terminal, none
                   with --port. democomm looks up names of the form COMn there.
  --no-alias       Create no alias.

Faults (each a probability from 0 to 1 per reply; reproducible with --seed):
  --drop P         Send no reply.
  --bad-crc P      Damage the reply's CRC.
  --split P        Send the reply in two parts, --split-gap apart.
  --split-gap MS   Gap of a split reply in ms (default 1500, longer than democomm's
                   1000 ms interval time-out).
  --delay P        Send the reply --delay-ms late.
  --delay-ms MS    Delay in ms (default 1000).
  --exception P    Answer with exception 04 (slave device failure) instead.
  --noise P        Put 1 to 4 random bytes on the line before the reply, a silence apart.
  --echo P         Send the request back before the reply, as an RS-485 adapter
                   without echo suppression does.
  --chatter MS     Put a stray byte on the line every MS ms while it is otherwise idle
                   (a floating bus, a second master); counted as stray-bytes= in frames:.
  --seed N         Seed of the fault generator (default: chosen at start and printed as
                   "seed: N"; give it again to repeat a run).

Other:
  --speed N        Run the device's clock N times faster (default 1): its 60-second
                   synchronisation cycle, pulses and set-point times take 1/N of the time.
                   The line keeps its own time.
  --quiet          No traffic lines (the port, alias and summary lines still appear),
                   and no closing lines ("closing: ..." each time the breaker closes).
  --help           This text.

Examples:
  democomm-sim                                  # COM2 for democomm, slave 1, 9600 baud
  democomm-sim --alias COM3 --slave 5 --baud 19200
  democomm-sim --drop 0.1 --bad-crc 0.05 --seed 42
  democomm-sim --port /dev/ttyUSB0 --baud 9600 --no-alias
  democomm-sim --tcp 4001                       # democomm: tcp://127.0.0.1:4001

Exit codes: 0 after a normal stop, 1 when the port or the alias cannot be set up,
2 for a bad command line.
)";
}

namespace {

bool ParseInt(const std::string& s, long long lo, long long hi, long long& out) {
    if (s.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

bool ParseProbability(const std::string& s, double& out) {
    if (s.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(v >= 0.0 && v <= 1.0)) // also refuses NaN
        return false;
    out = v;
    return true;
}

} // namespace

ParseResult ParseOptions(const std::vector<std::string>& args) {
    ParseResult r;
    Options& o = r.options;

    using Setter = std::function<std::string(const std::string&)>; // returns an error or ""
    auto intSetter = [](int& field, long long lo, long long hi) -> Setter {
        return [&field, lo, hi](const std::string& v) -> std::string {
            long long n = 0;
            if (!ParseInt(v, lo, hi, n))
                return "'" + v + "' is not a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
            field = static_cast<int>(n);
            return {};
        };
    };
    auto probability = [](double& field) -> Setter {
        return [&field](const std::string& v) -> std::string {
            if (!ParseProbability(v, field))
                return "'" + v + "' is not a probability from 0 to 1 (such as 0.1)";
            return {};
        };
    };
    const std::map<std::string, Setter> withValue = {
        {"--slave", intSetter(o.slave, 1, 247)},
        {"--baud", intSetter(o.baud, 50, 4000000)},
        {"--port", [&](const std::string& v) -> std::string {
             if (v.empty())
                 return "the path is empty";
             o.port = v;
             return {};
         }},
        {"--parity", [&](const std::string& v) -> std::string {
             if (v == "none") o.parity = 'N';
             else if (v == "even") o.parity = 'E';
             else if (v == "odd") o.parity = 'O';
             else return "'" + v + "' is not none, even or odd";
             return {};
         }},
        {"--stop-bits", intSetter(o.stopBits, 1, 2)},
        {"--tcp", [&](const std::string& v) -> std::string {
             // [ADDR:]PORT, ADDR an IPv4 address or an IPv6 one in brackets.
             const auto colon = v.rfind(':');
             std::string host = colon == std::string::npos ? "127.0.0.1" : v.substr(0, colon);
             if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
                 host = host.substr(1, host.size() - 2);
             else if (host.find(':') != std::string::npos)
                 return "'" + v + "': an IPv6 address goes in brackets, such as [::1]:4001";
             long long n = 0;
             if (host.empty() || !ParseInt(colon == std::string::npos ? v : v.substr(colon + 1), 0, 65535, n))
                 return "'" + v + "' is not [ADDR:]PORT with a port from 0 to 65535";
             o.tcpHost = host;
             o.tcpPort = static_cast<int>(n);
             return {};
         }},
        {"--alias", [&](const std::string& v) -> std::string {
             if (!ValidAliasName(v))
                 return "'" + v + "' cannot be an alias name (a plain name such as COM3, no '/')";
             o.alias = v;
             return {};
         }},
        {"--seed", [&](const std::string& v) -> std::string {
             errno = 0;
             char* end = nullptr;
             const unsigned long long n = std::strtoull(v.c_str(), &end, 10);
             if (v.empty() || v[0] == '-' || errno != 0 || *end != '\0')
                 return "'" + v + "' is not a whole number of 0 or more";
             o.seed = n;
             return {};
         }},
        {"--drop", probability(o.faults.drop)},
        {"--bad-crc", probability(o.faults.badCrc)},
        {"--split", probability(o.faults.split)},
        {"--split-gap", intSetter(o.faults.splitGapMs, 0, 600000)},
        {"--delay", probability(o.faults.delay)},
        {"--delay-ms", intSetter(o.faults.delayMs, 0, 600000)},
        {"--exception", probability(o.faults.exception)},
        {"--noise", probability(o.faults.noise)},
        {"--echo", probability(o.faults.echo)},
        {"--turnaround", intSetter(o.turnaroundMs, 0, 60000)},
        {"--chunk-ms", intSetter(o.chunkMs, 0, 1000)},
        {"--chatter", intSetter(o.chatterMs, 1, 3600000)},
        {"--speed", intSetter(o.speed, 1, 1000)},
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string flag = args[i];
        std::optional<std::string> value;
        if (const auto eq = flag.find('='); flag.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = flag.substr(eq + 1);
            flag = flag.substr(0, eq);
        }
        if (flag == "--help" || flag == "-h" || flag == "--no-alias" || flag == "--quiet" ||
            flag == "--no-line-time") {
            if (value) {
                r.error = flag + " takes no value";
                return r;
            }
            if (flag == "--no-alias")
                o.noAlias = true;
            else if (flag == "--quiet")
                o.quiet = true;
            else if (flag == "--no-line-time")
                o.lineTime = false;
            else
                o.help = true;
            continue;
        }
        const auto it = withValue.find(flag);
        if (it == withValue.end()) {
            r.error = flag.rfind("-", 0) == 0 ? "unknown option " + flag : "unexpected argument '" + flag + "'";
            return r;
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                r.error = flag + " needs a value";
                return r;
            }
            value = args[++i];
        }
        if (std::string e = it->second(*value); !e.empty()) {
            r.error = flag + ": " + e;
            return r;
        }
    }
    if (o.noAlias && o.alias) {
        r.error = "--alias and --no-alias contradict each other";
        return r;
    }
    if (o.tcpHost && !o.port.empty()) {
        r.error = "--tcp and --port name two different lines";
        return r;
    }
    if (o.tcpHost && o.alias) {
        r.error = "--alias makes a link to a terminal; with --tcp democomm takes the tcp:// name";
        return r;
    }
    if (o.port.empty() && !o.tcpHost && (o.parity != 'N' || o.stopBits != 2)) {
        // Harmless, but a pseudo-terminal has no parity or stop bits: say so rather than
        // pretend the setting did something. Behind a TCP port they set the line's
        // character time.
        r.error = "--parity and --stop-bits apply only with --port or --tcp";
        return r;
    }
    return r;
}

} // namespace sim
