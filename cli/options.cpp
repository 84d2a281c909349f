#include "cli/cli.h"

#include <charconv>
#include <functional>
#include <map>

namespace cli {

namespace {

// Decimal integer within [lo, hi]; false for anything else (signs only where lo < 0).
bool Decimal(const std::string& text, long long lo, long long hi, long long& value) {
    const char* first = text.data();
    const char* last = first + text.size();
    if (text.empty() || (text[0] == '+'))
        return false;
    const auto [end, ec] = std::from_chars(first, last, value);
    return ec == std::errc{} && end == last && value >= lo && value <= hi;
}

// Hexadecimal 16-bit number as the windows take it: 1 to 4 digits, either case.
bool Hex16(const std::string& text, uint16_t& value) {
    if (text.empty() || text.size() > 4)
        return false;
    unsigned v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, 16);
    if (ec != std::errc{} || end != text.data() + text.size())
        return false;
    value = static_cast<uint16_t>(v);
    return true;
}

std::string Quote(const std::string& s) {
    return "'" + s + "'";
}

} // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& args) {
    ParseResult r;
    Command& c = r.command;
    std::vector<std::string> words;
    bool intervalGiven = false, countGiven = false, rangeGiven = false;
    // Options take their value as the next argument or after "=".
    using Setter = std::function<std::string(const std::string&)>;
    auto number = [](auto& field, long long lo, long long hi, const char* what) -> Setter {
        return [&field, lo, hi, what](const std::string& v) -> std::string {
            long long n = 0;
            if (!Decimal(v, lo, hi, n))
                return std::string(what) + " must be a decimal number from " + std::to_string(lo) +
                       " to " + std::to_string(hi) + ", not " + Quote(v);
            field = static_cast<std::remove_reference_t<decltype(field)>>(n);
            return {};
        };
    };
    const std::map<std::string, Setter> valued{
        {"--port",
         [&](const std::string& v) -> std::string {
             if (v.empty())
                 return "--port needs a port name";
             c.port = v;
             return {};
         }},
        {"--baud", number(c.baud, 1, 4000000, "--baud")},
        {"--slave", number(c.slave, 1, 247, "--slave")},
        {"--timeout",
         [&](const std::string& v) {
             c.timeoutGiven = true;
             return number(c.timeoutMs, 1, 600000, "--timeout")(v);
         }},
        {"--char-timeout", number(c.charTimeoutMs, 1, 60000, "--char-timeout")},
        {"--echo",
         [&](const std::string& v) -> std::string {
             if (v != "auto" && v != "on" && v != "off")
                 return "--echo is auto, on or off, not " + Quote(v);
             c.echo = v;
             return {};
         }},
        {"--format",
         [&](const std::string& v) -> std::string {
             static const std::map<std::string, Format> formats{
                 {"text", Format::Text}, {"json", Format::Json}, {"csv", Format::Csv}};
             const auto it = formats.find(v);
             if (it == formats.end())
                 return "--format is text, json or csv, not " + Quote(v);
             c.format = it->second;
             return {};
         }},
        {"--interval",
         [&](const std::string& v) {
             intervalGiven = true;
             return number(c.intervalMs, 0, 86400000, "--interval")(v);
         }},
        {"--count",
         [&](const std::string& v) {
             countGiven = true;
             return number(c.samples, 1, 1LL << 40, "--count")(v);
         }},
        {"--from",
         [&](const std::string& v) {
             rangeGiven = true;
             return number(c.scanFrom, 1, 247, "--from")(v);
         }},
        {"--to",
         [&](const std::string& v) {
             rangeGiven = true;
             return number(c.scanTo, 1, 247, "--to")(v);
         }},
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string flag = args[i], value;
        bool inlineValue = false;
        if (flag.rfind("--", 0) == 0 && flag.find('=') != std::string::npos) {
            value = flag.substr(flag.find('=') + 1);
            flag = flag.substr(0, flag.find('='));
            inlineValue = true;
        }
        if (flag == "--help" || flag == "-h") {
            c.help = true;
            return r;
        }
        if (flag == "--frames" || flag == "--hex") {
            (flag == "--hex" ? c.hex : c.frames) = true;
            continue;
        }
        if (const auto it = valued.find(flag); it != valued.end()) {
            if (!inlineValue) {
                if (i + 1 >= args.size()) {
                    r.error = flag + " needs a value";
                    return r;
                }
                value = args[++i];
            }
            if (r.error = it->second(value); !r.error.empty())
                return r;
            continue;
        }
        if (flag.size() > 1 && flag[0] == '-' && !(flag.size() > 1 && std::isdigit(flag[1]))) {
            r.error = "unknown option " + Quote(flag);
            return r;
        }
        words.push_back(args[i]);
    }
    if (c.hex)
        c.frames = true;
    if (words.empty()) {
        r.error = "no command given";
        return r;
    }
    c.name = words[0];
    const auto need = [&](std::size_t n, const char* form) {
        if (words.size() != n)
            r.error = std::string("usage: democomm-cli ") + form;
        return words.size() == n;
    };
    const auto address = [&](const std::string& text, uint16_t& a) {
        if (!Hex16(text, a))
            r.error = "address " + Quote(text) + " is not a hexadecimal number 0..FFFF";
        return r.error.empty();
    };
    if (c.name == "read") {
        if (words.size() < 2) {
            r.error = "usage: democomm-cli read working|setpoints|switches|all|registers|inputs";
            return r;
        }
        c.what = words[1];
        if (c.what == "registers" || c.what == "inputs") {
            if (!need(4, "read registers|inputs ADDR COUNT") || !address(words[2], c.address))
                return r;
            const long long most = c.what == "registers" ? 125 : 2000;
            long long n = 0;
            if (!Decimal(words[3], 1, most, n)) {
                r.error = "COUNT must be a decimal number from 1 to " + std::to_string(most) +
                          ", not " + Quote(words[3]);
                return r;
            }
            if (c.address + n - 1 > 0xFFFF) {
                r.error = "ADDR + COUNT passes FFFF";
                return r;
            }
            c.count = static_cast<uint16_t>(n);
        } else if (c.what == "working" || c.what == "setpoints" || c.what == "switches" ||
                   c.what == "all") {
            need(2, "read working|setpoints|switches|all");
        } else {
            r.error = "cannot read " + Quote(c.what) +
                      ": say working, setpoints, switches, all, registers or inputs";
        }
    } else if (c.name == "write") {
        if (words.size() >= 2 && words[1] == "setpoint") {
            c.what = "setpoint";
            if (!need(4, "write setpoint NAME VALUE"))
                return r;
            for (const Field& f : SetpointFields())
                if (words[2] == f.setName)
                    c.setpoint = &f;
            if (!c.setpoint) {
                r.error = "unknown set-point " + Quote(words[2]) + "; the names are:";
                for (const Field& f : SetpointFields())
                    r.error += std::string(" ") + f.setName;
                return r;
            }
            long long v = 0;
            if (!Decimal(words[3], -32767, 32767, v)) {
                r.error = "set-point VALUE must be a decimal number from -32767 to 32767, not " +
                          Quote(words[3]);
                return r;
            }
            c.setpointValue = static_cast<int>(v);
            c.address = c.setpoint->address;
            // Sign and magnitude, as the device stores it.
            c.values = {device::Encode(static_cast<int>(v))};
            return r;
        }
        c.what = "registers";
        if (words.size() < 3) {
            r.error = "usage: democomm-cli write ADDR VALUE [VALUE...] | write setpoint NAME VALUE";
            return r;
        }
        if (!address(words[1], c.address))
            return r;
        if (words.size() - 2 > 123) {
            r.error = "at most 123 values fit one write";
            return r;
        }
        for (std::size_t i = 2; i < words.size(); ++i) {
            uint16_t v = 0;
            if (!Hex16(words[i], v)) {
                r.error = "VALUE " + Quote(words[i]) + " is not a hexadecimal word 0..FFFF";
                return r;
            }
            c.values.push_back(v);
        }
        if (c.address + c.values.size() - 1 > 0xFFFF)
            r.error = "ADDR + number of values passes FFFF";
    } else if (c.name == "watch") {
        if (words.size() >= 2)
            c.what = words[1];
        if (need(2, "watch working|switches|all [--interval MS] [--count N]") &&
            c.what != "working" && c.what != "switches" && c.what != "all")
            r.error = "cannot watch " + Quote(c.what) + ": say working, switches or all";
    } else if (c.name == "scan") {
        if (need(1, "scan [--from N] [--to N]") && c.scanFrom > c.scanTo)
            r.error = "--from must not be above --to";
    } else if (c.name == "list-ports") {
        need(1, "list-ports");
    } else if (c.name == "analyse") {
        if (need(2, "analyse RECORD.csv [--format text|json]")) {
            c.file = words[1];
            if (c.format == Format::Csv)
                r.error = "analyse prints text or json, not csv";
        }
    } else {
        r.error = "unknown command " + Quote(c.name) +
                  " (read, write, watch, scan, list-ports, analyse; see --help)";
    }
    if (r.error.empty() && (intervalGiven || countGiven) && c.name != "watch")
        r.error = "--interval and --count belong to watch";
    if (r.error.empty() && rangeGiven && c.name != "scan")
        r.error = "--from and --to belong to scan";
    return r;
}

std::string UsageText() {
    return R"(Usage: democomm-cli [options] COMMAND

Reads and writes the quasi-synchronisation device over Modbus RTU from scripts: values by
name, failures as distinct exit codes, text, JSON or CSV.

Commands:
  read working|setpoints|switches|all    working data, set-points, switch states, or all
  read registers ADDR COUNT               COUNT holding registers from ADDR (function 03)
  read inputs ADDR COUNT                  COUNT discrete inputs from ADDR (function 02)
  write ADDR VALUE [VALUE...]             one value: function 06; several: function 10 hex
  write setpoint NAME VALUE               a set-point by name, VALUE in decimal
  watch working|switches|all [--interval MS] [--count N]
                                          one record per sample until Ctrl-C (or N samples);
                                          MS between samples, default 1000, 0: at once;
                                          each starts with the time the sample was asked
                                          for, ISO 8601 with the UTC offset
                                          (2026-12-06T21:45:03.120+08:00).
                                          watch all --format csv writes the monitor's record
                                          (docs/record-format.md): its header, a line per
                                          sample (failed ones too) and the set-points, read
                                          when watching starts and once a minute
  scan [--from N] [--to N]                which slave addresses answer (default 1..247): a
                                          reply that passes the CRC check, normal or an
                                          exception; a damaged reply is noted on standard
                                          error but is no answer
  list-ports                              serial ports present
  analyse RECORD.csv                      the synchronisation attempts in a record (the
                                          monitor's, or watch all --format csv): each
                                          closing (the advance action's rising edge, between
                                          two samples), the voltage and frequency
                                          differences on both sides of it, slip and phase
                                          advance, how long each permission had been
                                          present, the regulating pulses, and a verdict: the
                                          three permissions present and the differences
                                          within the allowed ones read from the device.
                                          Attempts cut by a stop or a lost link are
                                          incomplete, never a closing

ADDR and raw write VALUEs are hexadecimal (1 to 4 digits, as the windows take them); COUNT,
set-point VALUEs and all options are decimal. Values are shown in decimal, signed as the
device stores them (bit 15 the sign). Set-point names: lead-time, closing-time,
allowed-voltage-difference, allowed-frequency-difference, voltage-equalising-period,
voltage-pulse-width, frequency-equalising-period, frequency-pulse-width.

Options:
  --port NAME       COM2 (default; democomm-sim's alias), /dev/ttyUSB0, ttyUSB0, or a
                    serial device server's raw TCP port, tcp://HOST:PORT
  --baud N          line speed (default 9600; behind a server, its line's); 8 data bits,
                    no parity, 2 stop bits
  --slave N         slave address 1..247 (default 1)
  --timeout MS      response time-out, from the end of the request on the line to the
                    first byte of the reply (default 500; scan: 100)
  --char-timeout MS silence that ends a reply that has started (default 30, at least 3.5
                    characters; a USB adapter hands bytes over up to 16 ms apart)
  --echo MODE       whether the line returns each request before the reply, as an RS-485
                    adapter without echo suppression does: auto (default, learned from the
                    replies), on or off. On a line that echoes, a write succeeds only when
                    its reply follows the echo; while the echo is not known, a single copy
                    of a written request is taken as the reply only after the time-out
  --format F        text (default, the windows' labels), json (one object per record,
                    English keys) or csv (a header line, then one line per record);
                    analyse: text or json
  --frames          show every frame as the windows log it (decimal bytes); on standard
                    output with text, on standard error with json and csv
  --hex             show the frames in hexadecimal (implies --frames)
  --help            this text

Exit codes:
  0 ok (watch: also after Ctrl-C, SIGTERM or SIGHUP, once the link statistics are printed)
  2 bad usage: an unknown command or name, an address or value out of range, a non-hex
    digit; nothing is sent
  3 the port cannot be opened (the system's reason and the remedy are printed), or it
    went away; over TCP also a connection refused, not made within 3 s, or lost
  4 time-out: no reply
  5 CRC or length failure
  6 exception reply (its code and name are printed)
  7 the write was not echoed as sent
  8 standard output could not be written (the reading end of a pipe closed, a full disk)
  9 analyse: a closing with a finding (a permission absent, a difference outside the
    allowed one), or a closing that may have been missed between two samples
  10 analyse: the record cannot be read, or is not a record (another program's file)
  watch --count N ends with the code of the last failed sample, 0 when all succeeded.
  scan: 0 when an address answered, else 5 when damaged replies came, else 4.
  read, write and scan stopped by SIGINT, SIGTERM or SIGHUP end by that signal once the
  port is closed (the shell shows 128 + its number, 130 for Ctrl-C).
  The first failure decides: no request goes out after it.

Examples:
  democomm-cli read all
  democomm-cli --format json read working
  democomm-cli read registers 100 8
  democomm-cli write 100 96                # 06: register 0100 := 0096 hex (150)
  democomm-cli write 100 96 64             # 10 hex: 0100 := 150, 0101 := 100
  democomm-cli write setpoint lead-time 150
  democomm-cli --format csv watch working --interval 100 > working.csv
  democomm-cli --port /dev/ttyUSB0 scan --from 1 --to 10
  democomm-cli --format csv watch all --interval 100 > session.csv
  democomm-cli analyse session.csv || echo "a closing needs a look"
  democomm-cli --port tcp://192.0.2.10:4001 read all
)";
}

} // namespace cli
