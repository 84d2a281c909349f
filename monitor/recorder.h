#pragma once
// The monitor's record: a CSV file (UTF-8 after a byte order mark, one header line), one line
// per sample and one per reading of the set-points, each handed to the system in one write as
// it is made. The format is the analysis's (analysis/record.h, docs/record-format.md), which
// also reads it.
//
// What survives:
// - democomm crashing or being killed: every line written before, whole; at most the sample
//   being taken is missing.
// - A power cut or a system crash: what was on the disk. A background thread syncs the file
//   (fdatasync) within a second of each write, at most once a second, so the lines of about
//   the last second may be missing and the file may end in part of a line. Flush (the
//   monitor's Stop), Stop and a failed write put everything on the disk first.
//
// No widgets; every member on one thread (the user-interface thread); the sync thread touches
// only the file descriptor.

#include "analysis/record.h"
#include "monitor/samples.h"

#include <QDateTime>
#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace monitor {

class Recorder {
public:
    Recorder() = default;
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;
    ~Recorder() { Stop(); }

    // Creates (or empties) `path` and writes the byte order mark and the header; a record in
    // progress is stopped first, and its failure dropped (call Stop before to see it). On
    // failure returns the system's reason (strerror text) and records nothing; empty on success.
    QString Start(const QString& path);
    // Ends the record: syncs the file to the disk and closes it. Returns the system's reason
    // when either fails (the last lines may then be lost; a full quota or a network file
    // system report it only here); empty otherwise and when not recording.
    QString Stop();
    // Syncs the file to the disk now. On failure the recording stops and the system's reason is
    // returned; empty on success and when not recording.
    QString Flush();
    bool Active() const { return fd_ >= 0; }
    QString Path() const { return path_; }

    // Appends one sample: when its first request went on the wire (ISO 8601, local time with
    // milliseconds and the offset from UTC), elapsed seconds, slave, the five working values
    // (empty when the device gave none), the twelve states as 0/1 (empty likewise), and
    // `outcome` ("ok", "crc", "short", "exception 2", "timeout"). On failure (also of a sync
    // since the last line) the recording stops and the system's reason is returned; empty on
    // success.
    QString Append(const QDateTime& when, const Sample& s, int slave, const QString& outcome);

    // Appends a reading of the set-points (`r.t` elapsed seconds), read at `when`. Failures as
    // with Append.
    QString AppendSetpoints(const QDateTime& when, const analysis::SetpointReading& r, int slave);

    // The UTF-8 byte order mark the file starts with: spreadsheets take a file without it for
    // the local code page and show the Chinese header garbled.
    static constexpr char ByteOrderMark[] = "\xEF\xBB\xBF";
    // The header line and one sample's line, newline included.
    static QByteArray Header();
    static QByteArray Line(const QDateTime& when, const Sample& s, int slave,
                           const QString& outcome);

private:
    QString WriteAll(const QByteArray& bytes);
    QString Fail(int error); // ends the record after a failure, returns the reason
    void SyncLoop();
    int fd_ = -1;
    QString path_;
    std::thread syncer_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool unsynced_ = false, stopping_ = false; // guarded by mutex_
    int syncError_ = 0;                        // guarded by mutex_
};

} // namespace monitor
