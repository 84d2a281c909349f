// The master exchange on a line that keeps time: samples per second of
// `democomm-cli watch working --interval 0`, of a libmodbus `modbus_read_registers` loop and of
// mbpoll at its fastest poll, each against democomm-sim keeping line time at 9600, 19200 and
// 115200 baud and once more at 9600 with an adapter's 16 ms chunks; next to the line limit
// computed from the frame lengths, the simulator's turnaround and the 3.5-character gap, and
// with the gap violations the simulator counted for each master. democomm-cli also with the
// simulator behind a TCP port on the loopback (a serial device server with the same line
// behind it), in turns with the pseudo-terminal, against its rate there; its rates come from
// the times its samples carry. Then the CPU democomm-cli uses while watching at 10 samples a
// second.
//
// Usage: line_bench <democomm-sim> <democomm-cli> [seconds per master and line, default 3]
#include "../tests/sim/process.h"
#include "libmodbus_master.h"

#include <QStandardPaths>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTurnaroundMs = 5;

struct Line {
    int baud;
    int chunkMs;
};

// Lines a background program printed that satisfy `counts`, over `seconds`.
template <class Pred> long CountLines(testsim::Background& p, double seconds, Pred counts) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        // The bench shares the two cores with what it measures, so it sleeps between looks
        // at the pipe instead of spinning on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        p.Lines();
    }
    long n = 0;
    for (const std::string& l : p.Lines())
        n += counts(l) ? 1 : 0;
    return n;
}

// User + system CPU seconds of a process so far.
double CpuSeconds(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), {});
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

// Samples per second the line allows: request (8 bytes) and reply (15 bytes) at 11 bits a
// character, the device's turnaround, and the 3.5-character silence before the next request.
double LineLimit(int baud) {
    const double ch = 11.0 / baud;
    return 1.0 / (23 * ch + kTurnaroundMs / 1000.0 + std::max(3.5 * ch, 0.00175));
}

// The time of day of a CSV sample line ("2026-12-07T02:12:31.838,..."), in seconds.
double SecondsOfDay(const std::string& line) {
    int h = 0, m = 0;
    double sec = 0;
    std::sscanf(line.c_str() + std::min<std::size_t>(line.size(), 11), "%d:%d:%lf", &h, &m, &sec);
    return h * 3600.0 + m * 60.0 + sec;
}

long Field(const std::string& line, const std::string& key) {
    const auto at = line.find(" " + key + "=");
    return at == std::string::npos ? -1 : std::atol(line.c_str() + at + key.size() + 2);
}

struct Run {
    double rate = 0;     // samples read per second
    long requests = -1;  // requests the simulator received
    long samples = 0;    // samples the master read
    long violations = -1;
    long runs = 1;       // masters stopped, each with a request in flight
};

// What a master did: samples read in all, and per second once it was running.
struct Read {
    long samples = 0;
    double rate = 0;
};

// One master against a fresh simulator on `line`, for `seconds`; `master(port, seconds)`
// says what it read.
template <class Master>
Run Measure(const std::string& simPath, Line line, double seconds, Master master, bool tcp = false) {
    std::vector<std::string> cmd{simPath, "--no-alias", "--quiet", "--baud", std::to_string(line.baud),
                                 "--chunk-ms", std::to_string(line.chunkMs),
                                 "--turnaround", std::to_string(kTurnaroundMs)};
    if (tcp)
        cmd = {simPath, "--tcp", "0", "--quiet", "--baud", std::to_string(line.baud),
               "--chunk-ms", std::to_string(line.chunkMs), "--turnaround", std::to_string(kTurnaroundMs)};
    testsim::Background sim(cmd);
    const std::string port = sim.Field("port");
    Run r;
    if (port.empty())
        return r;
    const Read read = master(port, seconds);
    r.samples = read.samples;
    r.rate = read.rate;
    sim.Stop();
    if (const auto l = sim.WaitForLine([](const std::string& s) { return s.rfind("frames:", 0) == 0; })) {
        r.requests = Field(*l, "received");
        r.violations = Field(*l, "gap-violations");
    }
    return r;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <democomm-sim> <democomm-cli> [seconds]\n", argv[0]);
        return 2;
    }
    const std::string simPath = argv[1], cliPath = argv[2];
    const double seconds = argc > 3 ? std::atof(argv[3]) : 3.0;
    const bool haveMbpoll = !QStandardPaths::findExecutable(QStringLiteral("mbpoll")).isEmpty();
    const auto isSample = [](const std::string& l) { return !l.empty() && l[0] >= '0' && l[0] <= '9'; };

    std::printf("democomm-sim keeping line time (turnaround %d ms), %.0f s per master and line;\n"
                "samples per second of working data (03 x 5 registers), gap violations as the\n"
                "simulator counted them, and requests not answered with a sample read\n\n",
                kTurnaroundMs, seconds);
    std::printf("%-16s %8s | %-26s | %-22s | %-22s | %-24s\n", "line", "limit/s", "democomm-cli (goal)",
                "libmodbus loop", "mbpoll -l 10", "democomm-cli over TCP");
    for (const Line line : {Line{9600, 1}, Line{19200, 1}, Line{115200, 1}, Line{9600, 16}}) {
        const auto watch = [&](const std::string& port, double s) {
            testsim::Background p({cliPath, "--port", port, "--baud", std::to_string(line.baud),
                                   "--format", "csv", "watch", "working", "--interval", "0"});
            // The rate counts from the first sample (start-up is not a sample rate) to the
            // last, by the times the samples carry: a count over the bench's own time would
            // be off by the samples of its 20 ms looks.
            p.WaitForLine(isSample);
            CountLines(p, s, isSample);
            p.Stop(SIGINT);
            std::vector<double> times;
            for (const std::string& l : p.Lines())
                if (isSample(l))
                    times.push_back(SecondsOfDay(l));
            const double span = times.size() > 1 ? times.back() - times.front() : 0;
            return Read{long(times.size()), span > 0 ? (times.size() - 1) / span : 0};
        };
        // On the terminal and over TCP in turns, three rounds each, so that a slow spell of the
        // shared machine falls on both; the rates are the rounds' means.
        Run cli, tcp;
        cli.runs = tcp.runs = 3;
        for (int round = 0; round < 3; ++round)
            for (Run* r : {&cli, &tcp}) {
                const Run one = Measure(simPath, line, seconds / 3, watch, r == &tcp);
                r->rate += one.rate / 3;
                r->samples += one.samples;
                r->requests = std::max(0L, r->requests) + one.requests;
                r->violations = std::max(0L, r->violations) + one.violations;
            }
        const Run lib = Measure(simPath, line, seconds, [&](const std::string& port, double s) {
            long n = 0;
            bench::WithLibmodbus(
                port,
                [&](modbus_t* ctx) {
                    uint16_t regs[5];
                    const auto end = Clock::now() + std::chrono::duration<double>(s);
                    while (Clock::now() < end)
                        n += modbus_read_registers(ctx, 0, 5, regs) == 5 ? 1 : 0;
                },
                line.baud);
            return Read{n, n / s};
        });
        Run mb;
        if (haveMbpoll)
            mb = Measure(simPath, line, seconds, [&](const std::string& port, double s) {
                // -l 10: mbpoll's smallest poll interval; one "[0]:" line per sample read.
                testsim::Background p({"mbpoll", "-m", "rtu", "-a", "1", "-b", std::to_string(line.baud),
                                       "-P", "none", "-s", "2", "-0", "-t", "4", "-r", "0", "-c", "5",
                                       "-l", "10", "-o", "0.5", port});
                const auto isPoll = [](const std::string& l) { return l.rfind("[0]:", 0) == 0; };
                const double rate = CountLines(p, s, isPoll) / s;
                p.Stop(SIGINT);
                return Read{std::count_if(p.Lines().begin(), p.Lines().end(), isPoll), rate};
            });
        const double limit = LineLimit(line.baud);
        const double goal = line.baud > 19200 ? 0.9 : 0.95;
        char name[32], c[64], l[64], m[64], t[64];
        std::snprintf(name, sizeof name, "%d, %d ms chunks", line.baud, line.chunkMs);
        // The request in flight when a master was stopped is not a lost sample.
        const auto unanswered = [](const Run& r) { return std::max(0L, r.requests - r.samples - r.runs); };
        char goalText[16] = "reads all";
        if (line.chunkMs <= 1)
            std::snprintf(goalText, sizeof goalText, ">=%.2f", goal);
        std::snprintf(c, sizeof c, "%6.1f %.3f (%s) g%ld u%ld", cli.rate, cli.rate / limit, goalText,
                      cli.violations, unanswered(cli));
        std::snprintf(l, sizeof l, "%6.1f %.3f g%ld u%ld", lib.rate, lib.rate / limit, lib.violations,
                      unanswered(lib));
        std::snprintf(m, sizeof m, "%6.1f %.3f g%ld u%ld", mb.rate, mb.rate / limit, mb.violations,
                      unanswered(mb));
        // Over TCP: samples/s, against the same master on the terminal (goal >= 1), gaps.
        std::snprintf(t, sizeof t, "%6.1f %.3f (>=1) g%ld u%ld", tcp.rate, tcp.rate / cli.rate, tcp.violations,
                      unanswered(tcp));
        std::printf("%-16s %8.1f | %-26s | %-22s | %-22s | %-24s\n", name, limit, c, l, haveMbpoll ? m : "(no mbpoll)",
                    t);
    }
    std::printf("\neach cell: samples/s, ratio to the line limit (over TCP: to democomm-cli on the\n"
                "terminal), gN gap violations, uN requests with no sample read (goal for democomm-cli:\n"
                "g0, and u0 with 16 ms chunks)\n");

    double cpu = 0;
    {
        testsim::Background sim({simPath, "--no-alias", "--quiet"});
        const std::string port = sim.Field("port");
        testsim::Background cli(
            {cliPath, "--port", port, "--format", "csv", "watch", "working", "--interval", "100"});
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // past start-up
        const double before = CpuSeconds(cli.Pid());
        const auto t0 = Clock::now();
        CountLines(cli, 2 * seconds, [](const std::string&) { return true; });
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        cpu = 100.0 * (CpuSeconds(cli.Pid()) - before) / wall;
        cli.Stop(SIGINT);
    }
    std::printf("CPU of democomm-cli watching at 10 samples/s (9600 baud): %.2f %% of one core "
                "(goal < 2 %%)\n",
                cpu);
    return 0;
}
