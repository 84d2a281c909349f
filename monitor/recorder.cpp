#include "recorder.h"

#include "cli/cli.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace monitor {

namespace {
QString Reason(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}
} // namespace

QByteArray Recorder::Header() {
    // The labels the register and switch windows show, so that the columns read the same.
    QByteArray h = "时间,经过秒数,从站";
    for (const cli::Field& f : cli::WorkingFields())
        h += QByteArray(",") + f.label;
    for (const cli::Field& f : cli::SwitchFields())
        h += QByteArray(",") + f.label;
    return h + ",结果\n";
}

QByteArray Recorder::Line(const QDateTime& when, const Sample& s, int slave,
                          const QString& outcome) {
    QByteArray l = when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")).toUtf8();
    l += ',' + QByteArray::number(s.t, 'f', 3) + ',' + QByteArray::number(slave);
    for (int16_t v : s.values)
        l += ',' + ((s.have & HaveValues) ? QByteArray::number(v) : QByteArray());
    for (int k = 0; k < StateChannels; ++k)
        l += ',' + ((s.have & HaveStates) ? QByteArray::number((s.states >> k) & 1) : QByteArray());
    return l + ',' + outcome.toUtf8() + '\n';
}

QString Recorder::Start(const QString& path) {
    Stop();
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return Reason(errno);
    fd_ = fd;
    path_ = path;
    return WriteAll(Header());
}

void Recorder::Stop() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

QString Recorder::Append(const QDateTime& when, const Sample& s, int slave,
                         const QString& outcome) {
    return fd_ < 0 ? QString() : WriteAll(Line(when, s, slave, outcome));
}

QString Recorder::WriteAll(const QByteArray& bytes) {
    // Unbuffered: each line reaches the kernel before the next sample is taken, so only a
    // line being written when the process dies can be lost.
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd_, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const QString reason = Reason(n < 0 ? errno : ENOSPC);
            Stop();
            return reason;
        }
        done += n;
    }
    return {};
}

} // namespace monitor
