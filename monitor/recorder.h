#pragma once
// The monitor's record: a CSV file (UTF-8, one header line), one line per sample, each line
// handed to the system in one write as it is made, so that a crash or a pulled plug loses at
// most the line being written. No widgets; user-interface thread.

#include "monitor/samples.h"

#include <QDateTime>
#include <QString>

namespace monitor {

class Recorder {
public:
    Recorder() = default;
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;
    ~Recorder() { Stop(); }

    // Creates (or empties) `path` and writes the header. On failure returns the system's
    // reason (strerror text) and records nothing; empty on success.
    QString Start(const QString& path);
    void Stop();
    bool Active() const { return fd_ >= 0; }
    QString Path() const { return path_; }

    // Appends one sample: local time with milliseconds, elapsed seconds, slave, the five
    // working values (empty when the device gave none), the twelve states as 0/1 (empty
    // likewise), and `outcome` ("ok", "crc", "short", "exception 2", "timeout"). On failure
    // the recording stops and the system's reason is returned; empty on success.
    QString Append(const QDateTime& when, const Sample& s, int slave, const QString& outcome);

    // The header line and one sample's line, newline included.
    static QByteArray Header();
    static QByteArray Line(const QDateTime& when, const Sample& s, int slave,
                           const QString& outcome);

private:
    QString WriteAll(const QByteArray& bytes);
    int fd_ = -1;
    QString path_;
};

} // namespace monitor
