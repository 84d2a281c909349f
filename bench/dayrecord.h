#pragma once
// A record of the simulated device sampled every 100 ms, as the monitor writes it, with the
// set-points read once a minute: the input of the analysis's and the monitor's benchmarks.
#include "analysis/record.h"
#include "sim/device.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>

#include <vector>

namespace bench {

// Writes `n` samples to `path` (and keeps them in `samples` when given); false when the file
// cannot be written.
inline bool WriteDayRecord(const QString& path, long long n,
                           std::vector<analysis::Sample>* samples = nullptr) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    const sim::Device device(1);
    const QDateTime start = QDateTime::currentDateTime();
    QByteArray out = QByteArray(analysis::RecordByteOrderMark) + analysis::RecordHeader();
    for (long long i = 0; i < n; ++i) {
        const int64_t ms = i * 100;
        const QDateTime when = start.addMSecs(ms);
        if (ms % 60000 == 0) {
            analysis::SetpointReading r{ms / 1000.0, {}};
            for (int k = 0; k < device::kSetpointCount; ++k)
                r.values[k] = device::Decode(device.Setpoints()[k]);
            out += analysis::RecordSetpointLine(when, r, 1);
        }
        const sim::Snapshot snap = device.At(ms);
        analysis::Sample sample;
        sample.t = ms / 1000.0;
        for (int k = 0; k < device::kWorkingCount; ++k)
            sample.values[k] = int16_t(device::Decode(snap.working[k]));
        sample.states = snap.inputs;
        sample.have = analysis::HaveValues | analysis::HaveStates;
        if (samples)
            samples->push_back(sample);
        out += analysis::RecordSampleLine(when, sample, 1, QStringLiteral("ok"));
        if (out.size() > (1 << 20)) {
            if (f.write(out) != out.size())
                return false;
            out.clear();
        }
    }
    return f.write(out) == out.size();
}

} // namespace bench
