#pragma once
// The record: the CSV file the monitor and `democomm-cli watch all --format csv` write, and
// its reader. QtCore only, no widgets; any one thread.
//
// Format (docs/record-format.md): UTF-8 after a byte order mark; a header line of the
// windows' labels; then one line per sample: time (ISO 8601, local, milliseconds and the UTC
// offset), elapsed seconds, slave, the five working values (decoded, empty when the device
// gave none), the twelve states as 0/1 (empty likewise), outcome ("ok", "timeout", ...). A
// reading of the set-points is a line of the same 21 columns with the data columns empty and
// the outcome "setpoints 越前时间=120 合闸时间=100 ..." (every set-point, label=value in the
// register's counts), so that every line keeps the outcome last and a spreadsheet shows the
// set-points in one cell.

#include "analysis/attempts.h"
#include "analysis/report.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

class QIODevice;

namespace analysis {

// Writing.
inline constexpr char RecordByteOrderMark[] = "\xEF\xBB\xBF";
// The header line, newline included.
QByteArray RecordHeader();
// 2026-12-06T21:45:03.120+08:00
QByteArray RecordTime(const QDateTime& when);
// A sample's line, newline included: `when` its first request went on the wire, `s.t` the
// elapsed seconds, `outcome` the first failure ("timeout", "crc", "exception 2") or "ok".
QByteArray RecordSampleLine(const QDateTime& when, const Sample& s, int slave,
                            const QString& outcome);
// A set-point reading's line, newline included (`r.t` the elapsed seconds).
QByteArray RecordSetpointLine(const QDateTime& when, const SetpointReading& r, int slave);

// Reading.
enum class RecordError {
    None,
    CannotOpen, // the file cannot be opened or read
    NotARecord, // the first line is not a record's header: a file from another program
};

struct RecordStats {
    long long lines = 0;        // after the header
    long long samples = 0;      // sample lines read
    long long setpoints = 0;    // set-point lines read
    long long skipped = 0;      // lines that could not be read, skipped
    long long firstSkipped = 0; // line number (the header is 1) of the first, 0: none
    std::map<std::string, long long> outcomes; // per sample outcome ("ok", "timeout", ...)
    int slave = 0;                             // of the first sample
    // Wall-clock time at elapsed 0 (from the first line read), and that line's UTC offset.
    bool haveOrigin = false;
    int64_t originMs = 0;
    int offsetSeconds = 0;
    double firstT = 0, lastT = 0; // elapsed seconds of the first and last sample
};

class RecordReader {
public:
    // Reads from `in` (open for reading), which must outlive the reader.
    explicit RecordReader(QIODevice& in);
    ~RecordReader();
    // Reads the header: NotARecord when it is not one (nothing else is read then).
    RecordError Start();
    enum class Item { Sample, Setpoints, End };
    // The next readable line. Lines that cannot be read (a wrong number of columns, a value
    // out of range, a time going backwards, a line cut short) are skipped and counted.
    Item Next();
    const Sample& CurrentSample() const { return sample_; }
    const SetpointReading& CurrentSetpoints() const { return setpoints_; }
    const RecordStats& Stats() const { return stats_; }

private:
    bool ParseLine(const char* line, std::size_t size, Item& item);
    QIODevice& in_;
    std::unique_ptr<char[]> buffer_;
    RecordStats stats_;
    Sample sample_;
    SetpointReading setpoints_;
    bool haveT_ = false;
    double lastT_ = 0;
};

// The user's message for `error` reading `path` (Chinese, for the windows), empty for None.
QString RecordErrorText(RecordError error, const QString& path);

// Reads the record at `path` into `analyser` (samples and set-points in file order, then
// Finish), handing each sample to `each` too when given. Returns the error (nothing is fed
// then) and fills `stats`.
RecordError LoadRecord(const QString& path, Analyser& analyser, RecordStats& stats,
                       const std::function<void(const Sample&)>& each = {});

// Elapsed seconds of a record as its wall-clock time, ISO 8601 with the first line's offset;
// seconds alone when the record had no time.
TimeText RecordTimeText(const RecordStats& stats);

} // namespace analysis
