// Figures of the serial component on a pseudo-terminal, all in one run:
//   1. delivery delay after the read interval has run out (p50/p99) at 5, 100 and 1000 ms;
//   2. CPU used while a port is open and idle;
//   3. ClosePort time while a write is stalled (the far end reads nothing);
//   4. receive throughput against a plain read loop on the same terminal;
//   5. over TCP, a serial device server's port on the loopback: CPU while a connection is
//      open and idle, ClosePort while a write is stalled (the server reads nothing) and
//      while the connection itself is (the server's queue is full).
//
// Usage: serial_bench [--quick] [--throughput[=tcomm|plain]] [--tcp]
//   --quick: fewer samples, a 2 s idle period, 3 rounds of 8 MiB;
//   --throughput: only figures 0 and 4; with =tcomm or =plain only that reader (for a
//   profiler: `perf record -g serial_bench --throughput=tcomm`);
//   --tcp: only figures 0 and 5.
#include "serial/co.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The far end of the line: a pseudo-terminal master in raw mode.
struct Pty {
    int master = -1;
    int keepSlave = -1; // keeps the terminal alive between opens
    std::string path;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            throw std::runtime_error("no pseudo-terminal");
        path = ptsname(master);
        keepSlave = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
    }
    ~Pty() {
        ::close(master);
        ::close(keepSlave);
    }
    void WriteAll(const uint8_t* p, std::size_t n) const {
        while (n > 0) {
            const ssize_t w = ::write(master, p, n);
            if (w > 0) {
                p += w;
                n -= static_cast<std::size_t>(w);
            } else if (w < 0 && errno != EINTR && errno != EAGAIN) {
                throw std::runtime_error("write to master failed");
            }
        }
    }
};

// Runs the event loop, blocking between events, until `done()` or the time-out.
template <class Pred> bool PumpUntil(Pred done, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs, Qt::PreciseTimer);
    QTimer wake; // only there to end the blocking wait at the deadline
    wake.setTimerType(Qt::PreciseTimer);
    wake.setSingleShot(true);
    wake.start(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void TestWindowLine(TComm& c) {
    c.setStopBits(TStopBits::_2);
    c.setDtrControl(TDtrControl::DtrDisable);
    c.setRtsControl(TRtsControl::RtsTransmissionAvailable);
    c.setTxContinueOnXoff(false);
    c.setOutx_XonXoffFlow(false);
    c.setInx_XonXoffFlow(false);
    c.setLineBreakTime(20000);
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const std::size_t i =
        std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5));
    return v[i];
}

// How late a bare timed wait wakes up on this machine right now: the floor under figure 1
// (a loaded machine makes every thread wake late, whatever it runs).
void Calibration() {
    std::vector<double> late;
    for (int i = 0; i < 100; ++i) {
        const auto t0 = Clock::now();
        timespec ts{0, 5000000};
        ::ppoll(nullptr, 0, &ts, nullptr);
        late.push_back(Ms(Clock::now() - t0) - 5.0);
    }
    double load[3] = {};
    getloadavg(load, 3);
    std::printf("0. Machine: load average %.2f on %ld cores; a bare 5 ms ppoll wakes late by "
                "p50 %.3f ms, p99 %.3f ms\n",
                load[0], sysconf(_SC_NPROCESSORS_ONLN), Percentile(late, 0.5),
                Percentile(late, 0.99));
}

void DeliveryDelay(bool quick) {
    std::printf("1. Delivery delay after the interval ran out (budget p99 <= 2 ms)\n");
    for (const uint32_t interval : {5u, 100u, 1000u}) {
        const int samples = quick ? (interval >= 1000 ? 3 : 10)
                                  : (interval == 5     ? 200
                                     : interval == 100 ? 40
                                                       : 10);
        Pty pty;
        TComm comm;
        TestWindowLine(comm);
        comm.setCommName(QString::fromStdString(pty.path));
        comm.setReadIntervalTimeout(interval);
        Clock::time_point received{};
        int pieces = 0;
        comm.OnReceiveData = [&](QObject*, const void*, uint16_t) {
            received = Clock::now();
            ++pieces;
        };
        comm.OpenPort();
        PumpUntil([] { return false; }, 20);
        std::vector<double> delays;
        const uint8_t frame[] = {1, 3, 10, 0, 1, 0, 2, 0, 3, 0x5A, 0xA5};
        for (int i = 0; i < samples; ++i) {
            const int before = pieces;
            const auto sent = Clock::now();
            pty.WriteAll(frame, sizeof frame);
            if (!PumpUntil([&] { return pieces > before; }, static_cast<int>(interval) + 5000))
                throw std::runtime_error("no delivery");
            // Measured from when the far end wrote, so the terminal's own latency counts too.
            delays.push_back(Ms(received - sent) - interval);
            PumpUntil([] { return false; }, 1);
        }
        comm.ClosePort();
        std::printf("   interval %4u ms: p50 %.3f ms, p99 %.3f ms, max %.3f ms (%d samples)\n",
                    interval, Percentile(delays, 0.5), Percentile(delays, 0.99),
                    *std::max_element(delays.begin(), delays.end()), samples);
    }
}

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

void IdleCpu(bool quick) {
    const int seconds = quick ? 2 : 10;
    Pty pty;
    TComm comm;
    TestWindowLine(comm);
    comm.setReadIntervalTimeout(1000);
    comm.setCommName(QString::fromStdString(pty.path));
    comm.OpenPort();
    PumpUntil([] { return false; }, 100);
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    PumpUntil([] { return false; }, seconds * 1000);
    const double cpu = CpuSeconds() - cpu0;
    const double wall = Ms(Clock::now() - t0) / 1000.0;
    comm.ClosePort();
    std::printf("2. CPU while open and idle (budget 0.1 %% of one core)\n");
    std::printf("   %.4f %% of one core (%.2f ms CPU in %.1f s, whole process)\n",
                100.0 * cpu / wall, cpu * 1000.0, wall);
}

void StalledClose(bool quick) {
    const int rounds = quick ? 3 : 10;
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        Pty pty;
        TComm comm;
        TestWindowLine(comm);
        comm.setCommName(QString::fromStdString(pty.path));
        comm.OpenPort();
        std::vector<uint8_t> block(60000, 0x55);
        for (int b = 0; b < 8; ++b) // far more than the terminal buffers: the writer stalls
            comm.SendData(block.data(), static_cast<uint16_t>(block.size()));
        PumpUntil([] { return false; }, 100);
        const auto t0 = Clock::now();
        comm.ClosePort();
        times.push_back(Ms(Clock::now() - t0));
    }
    std::printf("3. ClosePort with a stalled write (budget 50 ms)\n");
    std::printf("   median %.3f ms, max %.3f ms (%d rounds)\n", Percentile(times, 0.5),
                *std::max_element(times.begin(), times.end()), rounds);
}

// Feeds `total` bytes into the master from a thread, as fast as the terminal takes them.
std::thread Feeder(const Pty& pty, std::size_t total) {
    return std::thread([&pty, total] {
        std::vector<uint8_t> chunk(4096);
        for (std::size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = static_cast<uint8_t>(i % 200); // no 0xFF: nothing to undouble
        std::size_t left = total;
        while (left > 0) {
            const std::size_t n = std::min(left, chunk.size());
            pty.WriteAll(chunk.data(), n);
            left -= n;
        }
    });
}

double ComponentRate(Pty& pty, std::size_t total) {
    TComm comm;
    TestWindowLine(comm);
    comm.setReadIntervalTimeout(5);
    comm.setCommName(QString::fromStdString(pty.path));
    std::size_t got = 0;
    comm.OnReceiveData = [&](QObject*, const void*, uint16_t n) { got += n; };
    comm.OpenPort();
    PumpUntil([] { return false; }, 20);
    const auto t0 = Clock::now();
    std::thread feeder = Feeder(pty, total);
    const bool ok = PumpUntil([&] { return got >= total; }, 60000);
    const double secs = Ms(Clock::now() - t0) / 1000.0;
    feeder.join();
    comm.ClosePort();
    if (!ok)
        throw std::runtime_error("component did not receive everything");
    return total / secs / 1e6;
}

double PlainRate(Pty& pty, std::size_t total) {
    // The same terminal with the settings the component left on it, read by a plain loop.
    // It runs at the reader thread's priority so that both compete alike for the CPU.
    const int fd = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    const auto t0 = Clock::now();
    std::thread feeder = Feeder(pty, total);
    std::thread reader([fd, total] {
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), -2);
        std::vector<uint8_t> buf(2048);
        std::size_t got = 0;
        while (got < total) {
            const ssize_t n = ::read(fd, buf.data(), buf.size());
            if (n > 0)
                got += static_cast<std::size_t>(n);
            else if (n < 0 && errno != EINTR)
                break;
        }
    });
    reader.join();
    const double secs = Ms(Clock::now() - t0) / 1000.0;
    feeder.join();
    ::close(fd);
    return total / secs / 1e6;
}

double Median(std::vector<double> v) {
    return Percentile(std::move(v), 0.5);
}

// Which readers figure 4 runs: both (the figure), or one alone for a profiler.
enum class Readers { Both, ComponentOnly, PlainOnly };

void Throughput(bool quick, Readers readers) {
    // Rounds alternate the two readers, so that a change in the machine's load during the run
    // falls on both alike; the ratio is taken per round and its median reported. A round of
    // 32 MiB lasts 0.2 to 1 s per reader; with 9 rounds three runs in a row agree closely.
    const std::size_t total = quick ? (8u << 20) : (32u << 20);
    const int rounds = quick ? 3 : 9;
    Pty pty;
    // The plain loop reads the terminal with the settings the component leaves on it (raw,
    // errors marked), so the component has always opened it first.
    if (readers == Readers::PlainOnly)
        ComponentRate(pty, 1u << 20);
    std::vector<double> component, plain, ratio;
    for (int round = 0; round < rounds; ++round) {
        if (readers != Readers::PlainOnly)
            component.push_back(ComponentRate(pty, total));
        if (readers != Readers::ComponentOnly)
            plain.push_back(PlainRate(pty, total));
        if (readers == Readers::Both)
            ratio.push_back(component.back() / plain.back());
    }
    auto describe = [](const char* name, const std::vector<double>& v) {
        if (!v.empty())
            std::printf("   %s: median %.1f MB/s (%.1f to %.1f)\n", name, Median(v),
                        *std::min_element(v.begin(), v.end()),
                        *std::max_element(v.begin(), v.end()));
    };
    std::printf("4. Receive throughput (budget 80 %% of a plain read loop; %zu MiB, %d rounds)\n",
                total >> 20, rounds);
    describe("TComm          ", component);
    describe("plain read loop", plain);
    if (!ratio.empty())
        std::printf("   ratio: median %.0f %% (rounds %.0f %% to %.0f %%)\n", 100.0 * Median(ratio),
                    100.0 * *std::min_element(ratio.begin(), ratio.end()),
                    100.0 * *std::max_element(ratio.begin(), ratio.end()));
    // The load at the start (figure 0) can hide a build that began during the run.
    double load[3] = {};
    getloadavg(load, 3);
    std::printf("   load average at the end: %.2f\n", load[0]);
}

// A serial device server's port on the loopback that takes connections and never reads.
// With a queue of 0 and one connection waiting in it, it takes no further one: a connect to
// it stalls as one to a server that has gone does.
struct SilentServer {
    int listener = -1, taken = -1, waiting = -1;
    std::string name;
    explicit SilentServer(bool full) {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
            ::listen(listener, full ? 0 : 4) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("cannot listen on the loopback");
        name = "tcp://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
        if (full) {
            waiting = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            ::connect(waiting, reinterpret_cast<sockaddr*>(&a), len);
        }
    }
    ~SilentServer() {
        for (const int fd : {taken, waiting, listener})
            if (fd >= 0)
                ::close(fd);
    }
    // Takes the connection the component has made by now.
    void Take() {
        PumpUntil(
            [this] {
                pollfd p{listener, POLLIN, 0};
                return ::poll(&p, 1, 0) > 0;
            },
            3000);
        taken = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (taken < 0)
            throw std::runtime_error("no connection came");
    }
};

void Tcp(bool quick) {
    std::printf("5. Over TCP: a serial device server's port on the loopback\n");
    {
        const int seconds = quick ? 2 : 10;
        SilentServer server(false);
        TComm comm;
        TestWindowLine(comm);
        comm.setReadIntervalTimeout(1000);
        comm.setCommName(QString::fromStdString(server.name));
        comm.OpenPort();
        server.Take();
        PumpUntil([] { return false; }, 100);
        const double cpu0 = CpuSeconds();
        const auto t0 = Clock::now();
        PumpUntil([] { return false; }, seconds * 1000);
        const double cpu = CpuSeconds() - cpu0;
        const double wall = Ms(Clock::now() - t0) / 1000.0;
        comm.ClosePort();
        std::printf("   CPU while a connection is open and idle (budget 0.1 %% of one core): %.4f %% "
                    "(%.2f ms CPU in %.1f s, whole process)\n",
                    100.0 * cpu / wall, cpu * 1000.0, wall);
    }
    const int rounds = quick ? 3 : 10;
    for (const bool connectStalls : {false, true}) {
        std::vector<double> times;
        SilentServer server(connectStalls);
        for (int i = 0; i < rounds; ++i) {
            TComm comm;
            TestWindowLine(comm);
            comm.setCommName(QString::fromStdString(server.name));
            comm.OpenPort();
            if (!connectStalls) {
                server.Take();
                // Far more than the connection's buffers hold (they grow to megabytes).
                std::vector<uint8_t> block(60000, 0x55);
                for (int b = 0; b < 200; ++b)
                    comm.SendData(block.data(), static_cast<uint16_t>(block.size()));
            }
            PumpUntil([] { return false; }, 200);
            const auto t0 = Clock::now();
            comm.ClosePort();
            times.push_back(Ms(Clock::now() - t0));
            if (server.taken >= 0)
                ::close(std::exchange(server.taken, -1));
        }
        std::printf("   ClosePort while %s (budget 50 ms): median %.3f ms, max %.3f ms (%d rounds)\n",
                    connectStalls ? "the connection is being made" : "a write is stalled",
                    Percentile(times, 0.5), *std::max_element(times.begin(), times.end()), rounds);
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    bool quick = false, throughputOnly = false, tcpOnly = false;
    Readers readers = Readers::Both;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            quick = true;
        } else if (arg == "--tcp") {
            tcpOnly = true;
        } else if (arg == "--throughput") {
            throughputOnly = true;
        } else if (arg == "--throughput=tcomm" || arg == "--throughput=plain") {
            throughputOnly = true;
            readers = arg == "--throughput=tcomm" ? Readers::ComponentOnly : Readers::PlainOnly;
        } else {
            std::fprintf(stderr,
                         "usage: serial_bench [--quick] [--throughput[=tcomm|plain]] [--tcp]\n");
            return 2;
        }
    }
    int rc = 0;
    QTimer::singleShot(0, &app, [&] {
        try {
            Calibration();
            if (!throughputOnly && !tcpOnly) {
                DeliveryDelay(quick);
                IdleCpu(quick);
                StalledClose(quick);
            }
            if (!tcpOnly)
                Throughput(quick, readers);
            if (!throughputOnly)
                Tcp(quick);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "serial_bench: %s\n", e.what());
            rc = 1;
        }
        app.exit(rc);
    });
    app.exec();
    return rc;
}
