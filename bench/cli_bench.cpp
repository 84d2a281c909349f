// Samples per second of `democomm-cli watch working --interval 0` against democomm-sim, side
// by side with mbpoll at its smallest poll interval and with a plain libmodbus read loop, all
// on the same simulator line in one run (democomm-cli and libmodbus taking turns); and the
// CPU democomm-cli uses while watching at 10 samples a second.
//
// Usage: cli_bench <democomm-sim> <democomm-cli> [seconds per program, default 5]
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

// Lines a background program printed that satisfy `counts`, over `seconds`.
template <class Pred> long CountLines(testsim::Background& p, double seconds, Pred counts) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        // The bench shares the two cores with what it measures, so it sleeps between looks
        // at the pipe instead of spinning on it. 20 ms of output is far less than the pipe
        // holds, so the program never waits for the bench.
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

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <democomm-sim> <democomm-cli> [seconds]\n", argv[0]);
        return 2;
    }
    const std::string simPath = argv[1], cliPath = argv[2];
    const double seconds = argc > 3 ? std::atof(argv[3]) : 5.0;
    testsim::Background sim({simPath, "--no-alias", "--quiet"});
    const std::string port = sim.Field("port");
    if (port.empty()) {
        std::fprintf(stderr, "cli_bench: democomm-sim gave no port\n");
        return 1;
    }
    std::printf("line: %s (democomm-sim, 9600 baud), %.0f s per run\n", port.c_str(), seconds);

    // democomm-cli and the libmodbus loop take turns in three rounds, so that a slow spell of
    // the shared machine falls on both alike; each count starts with democomm-cli's first
    // sample (its start-up is not a sample rate).
    constexpr int Rounds = 3;
    const double slice = seconds / Rounds;
    const auto isSample = [](const std::string& l) {
        return !l.empty() && l[0] >= '0' && l[0] <= '9';
    };
    long cliSamples = 0, libmodbusSamples = 0;
    for (int round = 0; round < Rounds; ++round) {
        {
            testsim::Background cli({cliPath, "--port", port, "--format", "csv", "watch", "working",
                                     "--interval", "0"});
            cli.WaitForLine(isSample);
            const long before = std::count_if(cli.Lines().begin(), cli.Lines().end(), isSample);
            cliSamples += CountLines(cli, slice, isSample) - before;
            cli.Stop(SIGINT);
        }
        bench::WithLibmodbus(port, [&](modbus_t* ctx) {
            uint16_t regs[5];
            const auto end = Clock::now() + std::chrono::duration<double>(slice);
            while (Clock::now() < end)
                libmodbusSamples += modbus_read_registers(ctx, 0, 5, regs) == 5 ? 1 : 0;
        });
    }
    const double cliRate = cliSamples / seconds, libmodbusRate = libmodbusSamples / seconds;
    double mbpollRate = 0;
    if (!QStandardPaths::findExecutable(QStringLiteral("mbpoll")).isEmpty()) {
        // -l 10: mbpoll's smallest poll interval; one "[0]:" line per poll.
        testsim::Background mb({"mbpoll", "-m", "rtu", "-a", "1",  "-b",  "9600", "-P",
                                "none",   "-s", "2",   "-0", "-t", "4",   "-r",   "0",
                                "-c",     "5",  "-l",  "10", "-o", "0.5", port});
        const long n =
            CountLines(mb, seconds, [](const std::string& l) { return l.rfind("[0]:", 0) == 0; });
        mb.Stop(SIGINT);
        mbpollRate = n / seconds;
    }
    double cpu = 0;
    {
        testsim::Background cli(
            {cliPath, "--port", port, "--format", "csv", "watch", "working", "--interval", "100"});
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // past start-up
        const double before = CpuSeconds(cli.Pid());
        const auto t0 = Clock::now();
        CountLines(cli, seconds, [](const std::string&) { return true; });
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        cpu = 100.0 * (CpuSeconds(cli.Pid()) - before) / wall;
        cli.Stop(SIGINT);
    }
    std::printf("samples per second (working data, 03 x 5 registers):\n");
    std::printf("  democomm-cli watch --interval 0  %8.1f\n", cliRate);
    std::printf("  mbpoll -l 10                     %8.1f   ratio cli/mbpoll %.2f (goal > 1)\n",
                mbpollRate, mbpollRate > 0 ? cliRate / mbpollRate : 0.0);
    std::printf(
        "  libmodbus read loop              %8.1f   ratio cli/libmodbus %.2f (goal >= 0.9)\n",
        libmodbusRate, libmodbusRate > 0 ? cliRate / libmodbusRate : 0.0);
    std::printf(
        "CPU of democomm-cli watching at 10 samples/s: %.2f %% of one core (goal <= 2 %%)\n", cpu);
    return 0;
}
