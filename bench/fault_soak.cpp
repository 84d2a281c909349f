// Long fault runs, printing figures (tests/fault holds the short checks):
//   cycles N      N open/close cycles of TComm on a pseudo-terminal with sends in flight:
//                 descriptors, threads and resident memory before and after
//   exchanges N   N exchanges against democomm-sim with every fault flag at 10 %, each
//                 reply accounted for and matched against the simulator's own summary
// Usage: fault_soak <democomm-sim> [cycles N] [exchanges N] [seed S]
//        fault_soak <democomm-sim> quick     (200 cycles and 200 exchanges)
#include "soak.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

int Entries(const char* dir) {
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

int Cycles(int cycles) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    const std::string path = ptsname(master);
    const int keep = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);

    TComm comm;
    comm.setCommName(QString::fromStdString(path));
    comm.setReadIntervalTimeout(5);
    const soak::Bytes frame = soak::WithCrc({1, 3, 0, 0, 0, 5});
    char sink[4096];
    const auto cycle = [&](int i) {
        comm.OpenPort();
        for (int k = 0; k < 3; ++k)
            comm.SendData(frame.data(), static_cast<uint16_t>(frame.size()));
        if (i % 8 == 0)
            (void)!write(master, "\x01\x02\x03", 3);
        comm.ClosePort();
        QCoreApplication::processEvents();
        while (read(master, sink, sizeof sink) > 0) {
        }
    };
    for (int i = 0; i < 20; ++i)
        cycle(i);
    const int fds = Entries("/proc/self/fd"), threads = Entries("/proc/self/task");
    const long rss = soak::ResidentKiB();
    QElapsedTimer timer;
    timer.start();
    int maxFds = fds, maxThreads = threads;
    for (int i = 0; i < cycles; ++i) {
        cycle(i);
        maxFds = std::max(maxFds, Entries("/proc/self/fd"));
        maxThreads = std::max(maxThreads, Entries("/proc/self/task"));
    }
    std::printf("open/close cycles: %d in %.2f s (3 sends in flight each)\n", cycles,
                static_cast<double>(timer.elapsed()) / 1000.0);
    std::printf("  descriptors %d before, %d after (most after any cycle %d)\n", fds,
                Entries("/proc/self/fd"), maxFds);
    std::printf("  threads     %d before, %d after (most after any cycle %d)\n", threads,
                Entries("/proc/self/task"), maxThreads);
    std::printf("  resident    %ld KiB before, %ld KiB after\n", rss, soak::ResidentKiB());
    close(keep);
    close(master);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <democomm-sim> [cycles N] [exchanges N] [seed S]\n",
                     argv[0]);
        return 2;
    }
    int cycles = 0, exchanges = 0;
    soak::Settings settings;
    settings.simPath = argv[1];
    if (argc == 3 && std::string(argv[2]) == "quick")
        cycles = exchanges = 200;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string what = argv[i];
        if (what == "cycles")
            cycles = std::atoi(argv[i + 1]);
        else if (what == "exchanges")
            exchanges = std::atoi(argv[i + 1]);
        else if (what == "seed")
            settings.seed = std::strtoull(argv[i + 1], nullptr, 10);
    }
    if (cycles > 0)
        Cycles(cycles);
    if (exchanges > 0) {
        settings.exchanges = exchanges;
        const soak::Report r = soak::Run(settings);
        std::printf(
            "fault exchanges (every flag at %.0f %%, interval time-out %d ms, seed %llu):\n%s",
            settings.rate * 100, settings.intervalMs,
            static_cast<unsigned long long>(settings.seed), r.Text().c_str());
        const bool ok =
            r.Accounted() == r.exchanges && r.unexplained == 0 && r.seen.Summary() == r.simFaults;
        std::printf("%s\n", ok ? "every reply accounted for" : "NOT all accounted for");
        return ok ? 0 : 1;
    }
    return 0;
}
