#pragma once
// The commissioning report: a PDF (A4, Qt's own PDF writer) of what the monitor shows, live
// or from a record: the device and the time span, the set-points as read, the attempts with
// their verdicts, a chart of the seconds around each closing, the link's health and the
// program's version. Drawn with QPainter from the samples; no widgets. User-interface thread
// (QPdfWriter needs the application's fonts).

#include "analysis/attempts.h"
#include "analysis/report.h"
#include "monitor/samples.h"

#include <QString>
#include <QStringList>

namespace monitor {

struct ReportSource {
    QString device;          // "端口 /dev/ttyUSB0, 9600 波特, 从机 1" or the record's file
    analysis::TimeText time; // wall-clock time of a sample's seconds; empty: seconds only
    QStringList health;      // "name: value" lines
    QString version;         // the program's
};

// The seconds shown around a closing: from kBefore before its edge to kAfter after.
inline constexpr double kReportBefore = 5, kReportAfter = 2;

// Writes the report to `path`. Returns the system's reason on failure, empty on success.
QString WriteReport(const QString& path, const ReportSource& source,
                    const analysis::Analyser& analyser, const SampleStore& store);

} // namespace monitor
