#include "recorder.h"

#include "analysis/record.h"

#include <QFile>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace monitor {

namespace {
QString Reason(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// 0, or the errno of a failed sync. A pipe or a device cannot be synced and has nothing to
// lose to a power cut, so it counts as synced.
int Sync(int fd) {
    while (::fdatasync(fd) != 0) {
        if (errno == EINVAL || errno == EROFS)
            return 0;
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

} // namespace

QByteArray Recorder::Header() {
    return analysis::RecordHeader();
}

QByteArray Recorder::Line(const QDateTime& when, const Sample& s, int slave,
                          const QString& outcome) {
    return analysis::RecordSampleLine(when, s, slave, outcome);
}

QString Recorder::AppendSetpoints(const QDateTime& when, const analysis::SetpointReading& r,
                                  int slave) {
    if (fd_ < 0)
        return {};
    int syncError = 0;
    {
        std::lock_guard lock(mutex_);
        syncError = syncError_;
    }
    return syncError != 0 ? Fail(syncError)
                          : WriteAll(analysis::RecordSetpointLine(when, r, slave));
}

QString Recorder::Start(const QString& path) {
    Stop();
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return Reason(errno);
    fd_ = fd;
    path_ = path;
    stopping_ = unsynced_ = false;
    syncError_ = 0;
    syncer_ = std::thread([this] { SyncLoop(); });
    return WriteAll(ByteOrderMark + Header());
}

QString Recorder::Stop() {
    if (fd_ < 0)
        return {};
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    syncer_.join();
    int error = syncError_;
    if (const int e = Sync(fd_); e != 0 && error == 0)
        error = e;
    // close() reports what a network file system or a full quota held back until now; after
    // EINTR the descriptor is closed all the same, and nothing was lost.
    if (::close(fd_) != 0 && errno != EINTR && error == 0)
        error = errno;
    fd_ = -1;
    return error != 0 ? Reason(error) : QString();
}

QString Recorder::Flush() {
    if (fd_ < 0)
        return {};
    int error = Sync(fd_);
    {
        std::lock_guard lock(mutex_);
        if (error == 0)
            error = syncError_;
    }
    return error != 0 ? Fail(error) : QString();
}

QString Recorder::Append(const QDateTime& when, const Sample& s, int slave,
                         const QString& outcome) {
    if (fd_ < 0)
        return {};
    int syncError = 0;
    {
        std::lock_guard lock(mutex_);
        syncError = syncError_;
    }
    return syncError != 0 ? Fail(syncError) : WriteAll(Line(when, s, slave, outcome));
}

QString Recorder::Fail(int error) {
    Stop(); // a second reason from syncing or closing adds nothing for the user
    return Reason(error);
}

QString Recorder::WriteAll(const QByteArray& bytes) {
    // Unbuffered: each line reaches the kernel before the next sample is taken, so a crash of
    // the program loses no line that was written.
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd_, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return Fail(n < 0 ? errno : ENOSPC);
        done += n;
    }
    {
        std::lock_guard lock(mutex_);
        unsynced_ = true;
    }
    wake_.notify_all();
    return {};
}

void Recorder::SyncLoop() {
    // Within a second of a write, but at most once a second: a sync costs the disk a flush of
    // its cache, and at ten lines a second one sync takes them all. The user-interface thread
    // never waits for the disk here.
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastSync = Clock::now() - std::chrono::seconds(1);
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || unsynced_; });
        if (wake_.wait_until(lock, lastSync + std::chrono::seconds(1),
                             [this] { return stopping_; }))
            return; // Stop syncs what is left itself
        unsynced_ = false;
        lastSync = Clock::now();
        lock.unlock();
        const int error = Sync(fd_);
        lock.lock();
        if (error != 0 && syncError_ == 0)
            syncError_ = error;
    }
}

} // namespace monitor
