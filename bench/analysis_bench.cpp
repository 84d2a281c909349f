// The analysis's figures, next to their goals:
// - reading a day's record (864,000 samples at 10 per second, the simulator's cycle, the
//   set-points once a minute) with the record reader alone: lines per second and seconds;
// - the analysis of that day's samples from memory (goal: at most 100 ms);
// - the analysis fed the day's record from the file, as `analyse` and opening a record do;
// - the cost of one sample added live, as a share of one core at 10 samples a second.
//
// Usage: analysis_bench [samples, default 864000]
#include "analysis/record.h"
#include "dayrecord.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const long long n = argc > 1 ? std::atoll(argv[1]) : 864000;
    QTemporaryDir dir;
    const QString path = dir.filePath("day.csv");

    // The day: the simulated device every 100 ms, as the monitor would record it.
    std::vector<analysis::Sample> samples;
    samples.reserve(std::size_t(n));
    if (!bench::WriteDayRecord(path, n, &samples))
        return 1;
    const double megabytes = double(QFile(path).size()) / (1 << 20);
    std::printf("a record of %lld samples: %.1f MiB\n", n, megabytes);

    // Reading alone.
    {
        QFile f(path);
        f.open(QIODevice::ReadOnly);
        const auto t0 = Clock::now();
        analysis::RecordReader reader(f);
        reader.Start();
        long long items = 0;
        while (reader.Next() != analysis::RecordReader::Item::End)
            ++items;
        const double s = Since(t0);
        std::printf("reading the record:            %.3f s, %.0f lines/s (%lld lines, %lld "
                    "skipped)   goal: a day opened and drawn in at most 3 s\n",
                    s, double(reader.Stats().lines) / s, reader.Stats().lines,
                    reader.Stats().skipped);
    }

    // The analysis of the day from memory.
    {
        double best = 1e9;
        std::size_t attempts = 0;
        for (int run = 0; run < 5; ++run) {
            analysis::Analyser an;
            const auto t0 = Clock::now();
            an.AddSetpoints({0, {120, 100, 30, 20, 2000, 400, 3000, 500}});
            for (const analysis::Sample& s : samples)
                an.Add(s);
            an.Finish();
            best = std::min(best, Since(t0));
            attempts = an.Attempts().size();
        }
        std::printf("analysing the day in memory:   %.1f ms (best of 5; %zu attempts)   "
                    "goal: at most 100 ms\n",
                    best * 1000, attempts);
        std::printf("one sample added live:         %.0f ns, %.5f %% of a core at 10 "
                    "samples/s   goal: nothing measurable beside the 3 %% of sampling\n",
                    best / double(samples.size()) * 1e9, best / double(samples.size()) * 10 * 100);
    }

    // Reading and analysing together, as analyse does.
    {
        analysis::Analyser an;
        analysis::RecordStats stats;
        const auto t0 = Clock::now();
        analysis::LoadRecord(path, an, stats);
        const double s = Since(t0);
        const analysis::Summary sum = analysis::Summarise(an.Attempts());
        std::printf("record read and analysed:      %.3f s (%d attempts: %d passed, %d findings, "
                    "%d incomplete)\n",
                    s, sum.attempts, sum.passed, sum.findings, sum.incomplete);
    }
    return 0;
}
