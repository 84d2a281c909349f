// The record reader on any bytes, and the analysis on what it reads: no crash, every line
// either read or counted as skipped, time in order, and no attempt both cut and closed. A
// sample read, written again as a record line, reads back the same.
#include "analysis/record.h"

#include <QBuffer>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    QBuffer in(&bytes);
    in.open(QIODevice::ReadOnly);
    analysis::RecordReader reader(in);
    if (reader.Start() != analysis::RecordError::None)
        return 0;
    analysis::Analyser analyser;
    double last = 0;
    for (analysis::RecordReader::Item item;
         (item = reader.Next()) != analysis::RecordReader::Item::End;) {
        if (item == analysis::RecordReader::Item::Setpoints) {
            analyser.AddSetpoints(reader.CurrentSetpoints());
            continue;
        }
        const analysis::Sample s = reader.CurrentSample();
        if (s.t < last)
            std::abort();
        last = s.t;
        analyser.Add(s);
        QByteArray line = analysis::RecordHeader() +
                          analysis::RecordSampleLine(QDateTime::fromMSecsSinceEpoch(0, Qt::UTC), s,
                                                     1, QStringLiteral("ok"));
        QBuffer again(&line);
        again.open(QIODevice::ReadOnly);
        analysis::RecordReader second(again);
        if (second.Start() != analysis::RecordError::None ||
            second.Next() != analysis::RecordReader::Item::Sample)
            std::abort();
        const analysis::Sample& back = second.CurrentSample();
        if (back.have != s.have || ((s.have & analysis::HaveValues) && back.values != s.values) ||
            ((s.have & analysis::HaveStates) && back.states != s.states))
            std::abort();
    }
    analyser.Finish();
    const analysis::RecordStats& st = reader.Stats();
    if (st.samples + st.setpoints + st.skipped != st.lines)
        std::abort();
    for (const analysis::Attempt& a : analyser.Attempts())
        if (a.closing && a.verdict == analysis::Verdict::Incomplete)
            std::abort();
    return 0;
}
