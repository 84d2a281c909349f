// The monitor's figures, side by side in one run:
// - round trip on democomm-sim's pseudo-terminal, request written to reply decoded, median and
//   99th percentile over 1,000 exchanges: master::Session against libmodbus's
//   modbus_read_registers on the same line;
// - memory of the window holding a day at 10 samples a second (864,000 samples);
// - time per frame redrawing the chart offscreen with that whole day in view;
// - CPU of the window sampling 10 times a second from the simulator (chart and health live);
// - opening a day's record (the simulated device every 100 ms, set-points once a minute) to a
//   drawn chart and attempts table, and the PDF report of one cycle and of 1,000 closings.
//
// Usage: monitor_bench <democomm-sim> [seconds of the CPU run, default 10]
#include "../tests/sim/process.h"
#include "analysis/record.h"
#include "dayrecord.h"
#include "libmodbus_master.h"
#include "monitor/monitor.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/resource.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Spread {
    double median, p99;
};
Spread Of(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)]};
}

long RssKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void Wait(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}


double SecondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

int Closings(const analysis::Analyser& a) {
    int n = 0;
    for (const analysis::Attempt& at : a.Attempts())
        n += at.closing ? 1 : 0;
    return n;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <democomm-sim> [seconds]\n", argv[0]);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir config; // the windows' remembered choices stay out of the user's
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QApplication app(argc, argv);
    const double seconds = argc > 2 ? std::atof(argv[2]) : 10.0;
    // No line time: the round trip here is the software's own overhead, which a line's
    // milliseconds would hide (line_bench measures the exchange on a line that keeps time).
    testsim::Background sim({argv[1], "--no-alias", "--quiet", "--no-line-time"});
    const std::string port = sim.Field("port");
    if (port.empty()) {
        std::fprintf(stderr, "monitor_bench: democomm-sim gave no port\n");
        return 1;
    }
    constexpr int Exchanges = 1000;
    // The two take turns in rounds of 100, each opening the line afresh (untimed), so that
    // a slow spell of the shared machine falls on both alike.
    constexpr int Round = 100;
    std::vector<double> session, libmodbus;
    for (int round = 0; round < Exchanges / Round; ++round) {
        // master::Session: one request at a time, timed from its hand-over to the port to the
        // reply's last byte (Result::responseTime): the wait for the line's silence before a
        // request is the line's, not the software's.
        {
            master::Session s;
            s.Open(QString::fromStdString(port), 9600);
            QEventLoop loop;
            int left = Round;
            std::function<void()> next = [&] {
                s.Submit(master::Request::ReadHoldingRegisters(1, 0, 5),
                         [&](const master::Result& r) {
                             if (r.outcome == master::Outcome::Ok)
                                 session.push_back(
                                     std::chrono::duration<double, std::micro>(r.responseTime)
                                         .count());
                             if (--left > 0 && r.outcome != master::Outcome::PortLost)
                                 QTimer::singleShot(0, next);
                             else
                                 loop.quit();
                         });
            };
            next();
            loop.exec();
        }
        bench::WithLibmodbus(port, [&](modbus_t* ctx) {
            uint16_t regs[5];
            for (int i = 0; i < Round; ++i) {
                const auto t0 = Clock::now();
                if (modbus_read_registers(ctx, 0, 5, regs) == 5)
                    libmodbus.push_back(
                        std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            }
        });
    }
    if (session.empty() || libmodbus.empty()) {
        std::fprintf(stderr, "monitor_bench: no exchanges (%zu, %zu)\n", session.size(),
                     libmodbus.size());
        return 1;
    }
    const Spread a = Of(session), b = Of(libmodbus);
    std::printf("round trip, 03 x 5 registers on %s (democomm-sim, 9600 baud), %d exchanges:\n",
                port.c_str(), Exchanges);
    std::printf("  master::Session          median %7.0f us   p99 %7.0f us  (%zu ok)\n", a.median,
                a.p99, session.size());
    std::printf("  libmodbus read_registers median %7.0f us   p99 %7.0f us  (%zu ok)\n", b.median,
                b.p99, libmodbus.size());
    std::printf("  ratio of medians %.2f (goal <= 1.0)\n", a.median / b.median);

    // A day at 10 samples a second in the window, then the whole day redrawn.
    const long before = RssKiB();
    {
        TMonitorForm form;
        QTimer::singleShot(0, &form, [&] {
            for (int i = 0; i < 864000; ++i) {
                monitor::Sample s;
                s.t = i / 10.0;
                const double phase = std::fmod(i / 10.0, 60.0);
                s.values = {1000, int16_t(900 + phase), 5000, int16_t(4940 + phase), 1};
                s.states = uint16_t((i / 37) % 4096);
                s.have = monitor::HaveValues | monitor::HaveStates;
                form.AddSample(s);
            }
            form.SetView(0, 86400, false);
            Wait(100);
            constexpr int Frames = 30;
            std::vector<double> ms;
            qsizetype points = 0;
            for (int f = 0; f < Frames; ++f) {
                const auto t0 = Clock::now();
                form.SetView(f * 0.001, 86400 + f * 0.001, false); // thins and hands over again
                form.grab(); // paints the whole window offscreen
                ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            }
            const Spread r = Of(ms);
            const long after = RssKiB();
            std::printf("a day at 10 samples/s (864000 samples):\n");
            std::printf(
                "  history %.1f MiB; process grew by %.1f MiB with the window (goal <= 64 MiB)\n",
                form.Samples().MemoryBytes() / 1048576.0, (after - before) / 1024.0);
            std::printf(
                "  full-day redraw offscreen: median %.1f ms, worst of %d %.1f ms per frame "
                "(goal <= 16 ms)\n",
                r.median, Frames, *std::max_element(ms.begin(), ms.end()));
            // The parts of a frame: thinning alone, and thinning with the hand-over to the chart.
            auto t0 = Clock::now();
            for (int f = 0; f < Frames; ++f) {
                const monitor::Drawing d = form.Samples().Thin(0, 86400 + f * 0.001, 1000);
                points = 0;
                for (const auto& p : d.analog)
                    points += p.size();
                for (const auto& p : d.states)
                    points += p.size();
            }
            const double thin =
                std::chrono::duration<double, std::milli>(Clock::now() - t0).count() / Frames;
            t0 = Clock::now();
            for (int f = 0; f < Frames; ++f)
                form.SetView(f * 0.001, 86400 + f * 0.001, false);
            const double handOver =
                std::chrono::duration<double, std::milli>(Clock::now() - t0).count() / Frames;
            std::printf(
                "  of which thinning (1000 slices) %.1f ms, thinning and hand-over %.1f ms; "
                "%lld points to draw\n",
                thin, handOver, static_cast<long long>(points));
            form.close();
        });
        form.ShowWithPort(9600, QString::fromStdString(port));
    }

    // A day's record opened to a drawn chart; the reports of one cycle and of 1,000 closings.
    {
        QTemporaryDir dir;
        const QString day = dir.filePath("day.csv"), cycle = dir.filePath("cycle.csv"),
                      closings = dir.filePath("closings.csv");
        // The simulator closes once a 60 s cycle: 1,000 closings take 600,000 samples.
        if (!bench::WriteDayRecord(day, 864000) || !bench::WriteDayRecord(cycle, 600) ||
            !bench::WriteDayRecord(closings, 600000 + 300)) {
            std::fprintf(stderr, "monitor_bench: cannot write the records\n");
            return 1;
        }
        TMonitorForm form;
        QTimer::singleShot(0, &form, [&] {
            Wait(100);
            auto t0 = Clock::now();
            form.OpenRecord(day);
            form.grab(); // the chart and the table drawn
            const double open = SecondsSince(t0);
            std::printf("opening a day's record (864000 samples, %d closings) to a drawn chart: "
                        "%.2f s, %.0f lines/s (goal <= 3 s)\n",
                        Closings(form.Analysis()), open, 864000 / open);
            const struct {
                const char* what;
                QString record;
                double goal;
            } reports[] = {{"one cycle", cycle, 1}, {"1,000 closings", closings, 10}};
            for (const auto& r : reports) {
                form.OpenRecord(r.record);
                t0 = Clock::now();
                const bool ok = form.ReportTo(dir.filePath("report.pdf"));
                const double took = SecondsSince(t0);
                std::printf("report of %s (%d closings, %zu samples): %.2f s, %.1f MiB%s "
                            "(goal <= %.0f s)\n",
                            r.what, Closings(form.Analysis()), form.Samples().Size(), took,
                            QFile(dir.filePath("report.pdf")).size() / 1048576.0,
                            ok ? "" : " FAILED", r.goal);
            }
            form.close();
        });
        form.ShowWithPort(9600, QString::fromStdString(port));
    }

    // Sampling 10 times a second with the window shown, chart and health live.
    {
        TMonitorForm form;
        QTimer::singleShot(0, &form, [&] {
            form.StartBtnClick();
            Wait(1000); // past the start
            const double c0 = CpuSeconds();
            const auto t0 = Clock::now();
            const std::size_t n0 = form.Samples().Size();
            Wait(int(seconds * 1000));
            const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
            std::printf(
                "CPU sampling at 10/s (%.1f samples/s seen): %.2f %% of one core (goal <= 3 %%)\n",
                (form.Samples().Size() - n0) / wall, 100.0 * (CpuSeconds() - c0) / wall);
            form.close();
        });
        form.ShowWithPort(9600, QString::fromStdString(port));
    }
    return 0;
}
