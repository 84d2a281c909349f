#include "analysis/record.h"

#include <QFile>
#include <QIODevice>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace analysis {

using namespace device;

namespace {

constexpr std::size_t kColumns = 3 + kWorkingCount + kInputCount + 1; // outcome last
constexpr std::size_t kMaxLine = 4096;
constexpr char kSetpointsOutcome[] = "setpoints";

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool Digits(const char* p, int n, int& v) {
    v = 0;
    for (int i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9')
            return false;
        v = v * 10 + (p[i] - '0');
    }
    return true;
}

// "2026-12-06T21:45:03.120+08:00" as milliseconds since the epoch and the offset in seconds.
bool ParseTime(const char* p, std::size_t n, int64_t& ms, int& offset) {
    if (n != 29 || p[4] != '-' || p[7] != '-' || p[10] != 'T' || p[13] != ':' || p[16] != ':' ||
        p[19] != '.' || (p[23] != '+' && p[23] != '-') || p[26] != ':')
        return false;
    int y, mo, d, h, mi, s, f, oh, om;
    if (!Digits(p, 4, y) || !Digits(p + 5, 2, mo) || !Digits(p + 8, 2, d) ||
        !Digits(p + 11, 2, h) || !Digits(p + 14, 2, mi) || !Digits(p + 17, 2, s) ||
        !Digits(p + 20, 3, f) || !Digits(p + 24, 2, oh) || !Digits(p + 27, 2, om))
        return false;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60 || oh > 23 || om > 59)
        return false;
    offset = (p[23] == '-' ? -1 : 1) * (oh * 3600 + om * 60);
    ms = ((DaysFromCivil(y, unsigned(mo), unsigned(d)) * 86400 + h * 3600 + mi * 60 + s) - offset) *
             1000 +
         f;
    return true;
}

template <typename T> bool Whole(const char* p, std::size_t n, T& v) {
    const auto [end, ec] = std::from_chars(p, p + n, v);
    return n > 0 && ec == std::errc{} && end == p + n;
}

struct Span {
    const char* p;
    std::size_t n;
    bool Empty() const { return n == 0; }
    bool Is(const char* s) const { return n == std::strlen(s) && std::memcmp(p, s, n) == 0; }
};

} // namespace

QByteArray RecordHeader() {
    // The labels the register and switch windows show, so that the columns read the same.
    QByteArray h = "时间,经过秒数,从站";
    for (const Field& f : WorkingFields())
        h += QByteArray(",") + f.label;
    for (const Field& f : SwitchFields())
        h += QByteArray(",") + f.label;
    return h + ",结果\n";
}

QByteArray RecordTime(const QDateTime& when) {
    // A reader elsewhere, or after a change of daylight-saving time, still knows the instant.
    const int offset = when.offsetFromUtc() / 60;
    return when.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")).toUtf8() +
           QStringLiteral("%1%2:%3")
               .arg(QLatin1Char(offset < 0 ? '-' : '+'))
               .arg(std::abs(offset) / 60, 2, 10, QLatin1Char('0'))
               .arg(std::abs(offset) % 60, 2, 10, QLatin1Char('0'))
               .toLatin1();
}

QByteArray RecordSampleLine(const QDateTime& when, const Sample& s, int slave,
                            const QString& outcome) {
    QByteArray l = RecordTime(when);
    l += ',' + QByteArray::number(s.t, 'f', 3) + ',' + QByteArray::number(slave);
    for (int16_t v : s.values)
        l += ',' + ((s.have & HaveValues) ? QByteArray::number(v) : QByteArray());
    for (int k = 0; k < kInputCount; ++k)
        l += ',' + ((s.have & HaveStates) ? QByteArray::number((s.states >> k) & 1) : QByteArray());
    return l + ',' + outcome.toUtf8() + '\n';
}

QByteArray RecordSetpointLine(const QDateTime& when, const SetpointReading& r, int slave) {
    QByteArray l = RecordTime(when);
    l += ',' + QByteArray::number(r.t, 'f', 3) + ',' + QByteArray::number(slave);
    l += QByteArray(kWorkingCount + kInputCount, ',');
    l += ',';
    l += kSetpointsOutcome;
    for (int i = 0; i < kSetpointCount; ++i)
        l += ' ' + QByteArray(SetpointFields()[i].label) + '=' + QByteArray::number(r.values[i]);
    return l + '\n';
}

RecordReader::RecordReader(QIODevice& in) : in_(in), buffer_(new char[kMaxLine + 1]) {}
RecordReader::~RecordReader() = default;

RecordError RecordReader::Start() {
    const qint64 n = in_.readLine(buffer_.get(), kMaxLine + 1);
    if (n <= 0)
        return n < 0 && !in_.atEnd() ? RecordError::CannotOpen : RecordError::NotARecord;
    QByteArray first(buffer_.get(), n);
    if (first.startsWith(RecordByteOrderMark))
        first.remove(0, 3);
    while (first.endsWith('\n') || first.endsWith('\r'))
        first.chop(1);
    QByteArray expected = RecordHeader();
    expected.chop(1);
    return first == expected ? RecordError::None : RecordError::NotARecord;
}

RecordReader::Item RecordReader::Next() {
    for (;;) {
        const qint64 n = in_.readLine(buffer_.get(), kMaxLine + 1);
        if (n <= 0)
            return Item::End;
        ++stats_.lines;
        std::size_t size = std::size_t(n);
        bool whole = buffer_[size - 1] == '\n';
        if (!whole && size == kMaxLine) { // too long for a record's line: drop the rest of it
            char rest[512];
            for (qint64 m; (m = in_.readLine(rest, sizeof rest)) > 0 && rest[m - 1] != '\n';) {
            }
        }
        while (size > 0 && (buffer_[size - 1] == '\n' || buffer_[size - 1] == '\r'))
            --size;
        Item item;
        // Every line is written with its newline: a last line without it was cut short (a
        // power cut while writing) and is skipped like any line that cannot be read.
        if (whole && ParseLine(buffer_.get(), size, item))
            return item;
        ++stats_.skipped;
        if (!stats_.firstSkipped)
            stats_.firstSkipped = stats_.lines + 1;
    }
}

bool RecordReader::ParseLine(const char* line, std::size_t size, Item& item) {
    Span f[kColumns];
    std::size_t count = 0;
    for (std::size_t start = 0, i = 0;; ++i) {
        if (i == size || line[i] == ',') {
            if (count == kColumns)
                return false;
            f[count++] = {line + start, i - start};
            start = i + 1;
            if (i == size)
                break;
        }
    }
    if (count != kColumns)
        return false;
    int64_t ms = 0;
    int offset = 0;
    double t = 0;
    int slave = 0;
    // Elapsed seconds beyond any real session (about 31 years) are no record's: refused before
    // they reach the millisecond arithmetic below, where they would overflow.
    constexpr double kLongestSession = 1e9;
    if (!ParseTime(f[0].p, f[0].n, ms, offset) || !Whole(f[1].p, f[1].n, t) || !std::isfinite(t) ||
        t < 0 || t > kLongestSession || !Whole(f[2].p, f[2].n, slave) || slave < 0 || slave > 255)
        return false;
    if (haveT_ && t < lastT_)
        return false; // the analysis takes time in order
    const Span outcome = f[kColumns - 1];
    const std::size_t firstValue = 3, firstState = 3 + kWorkingCount;

    bool anyData = false;
    for (std::size_t i = firstValue; i < kColumns - 1; ++i)
        anyData = anyData || !f[i].Empty();
    const std::size_t prefix = std::strlen(kSetpointsOutcome);
    if (outcome.n > prefix && std::memcmp(outcome.p, kSetpointsOutcome, prefix) == 0 &&
        outcome.p[prefix] == ' ') {
        if (anyData)
            return false;
        SetpointReading r;
        r.t = t;
        std::array<bool, kSetpointCount> seen{};
        const char* p = outcome.p + prefix;
        const char* end = outcome.p + outcome.n;
        while (p < end) {
            if (*p++ != ' ')
                return false;
            const char* eq = static_cast<const char*>(std::memchr(p, '=', std::size_t(end - p)));
            if (!eq)
                return false;
            const char* next =
                static_cast<const char*>(std::memchr(eq, ' ', std::size_t(end - eq)));
            if (!next)
                next = end;
            const Span label{p, std::size_t(eq - p)};
            int value = 0;
            if (!Whole(eq + 1, std::size_t(next - eq - 1), value) || value < -32767 ||
                value > 32767)
                return false;
            bool known = false;
            for (int i = 0; i < kSetpointCount; ++i)
                if (label.Is(SetpointFields()[i].label) && !seen[i]) {
                    seen[i] = known = true;
                    r.values[i] = value;
                }
            if (!known)
                return false;
            p = next;
        }
        for (bool s : seen)
            if (!s)
                return false;
        setpoints_ = r;
        ++stats_.setpoints;
        item = Item::Setpoints;
    } else {
        Sample s;
        s.t = t;
        const auto group = [&](std::size_t first, std::size_t n, uint8_t bit, auto take) {
            std::size_t empty = 0;
            for (std::size_t i = first; i < first + n; ++i)
                empty += f[i].Empty();
            if (empty == n)
                return true;
            if (empty != 0)
                return false;
            for (std::size_t i = 0; i < n; ++i)
                if (!take(i, f[first + i]))
                    return false;
            s.have |= bit;
            return true;
        };
        if (!group(firstValue, kWorkingCount, HaveValues,
                   [&](std::size_t i, Span v) {
                       int x = 0;
                       if (!Whole(v.p, v.n, x) || x < -32767 || x > 32767)
                           return false;
                       s.values[i] = int16_t(x);
                       return true;
                   }) ||
            !group(firstState, kInputCount, HaveStates, [&](std::size_t i, Span v) {
                if (v.n != 1 || (v.p[0] != '0' && v.p[0] != '1'))
                    return false;
                s.states |= uint16_t((v.p[0] - '0') << i);
                return true;
            }))
            return false;
        if (outcome.Empty())
            return false;
        if (!stats_.samples)
            stats_.slave = slave, stats_.firstT = t;
        stats_.lastT = t;
        ++stats_.samples;
        ++stats_.outcomes[std::string(outcome.p, outcome.n)];
        sample_ = s;
        item = Item::Sample;
    }
    if (!stats_.haveOrigin) {
        stats_.haveOrigin = true;
        stats_.originMs = ms - static_cast<int64_t>(t * 1000 + 0.5);
        stats_.offsetSeconds = offset;
    }
    haveT_ = true;
    lastT_ = t;
    return true;
}

QString RecordErrorText(RecordError error, const QString& path) {
    switch (error) {
    case RecordError::None:
        return {};
    case RecordError::CannotOpen:
        return QStringLiteral("无法读取文件 %1").arg(path);
    case RecordError::NotARecord:
        return QStringLiteral("%1 不是 democomm 写的记录：它的第一行不是记录的表头").arg(path);
    }
    return {};
}

RecordError LoadRecord(const QString& path, Analyser& analyser, RecordStats& stats,
                       const std::function<void(const Sample&)>& each) {
    stats = {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return RecordError::CannotOpen;
    RecordReader reader(file);
    if (const RecordError e = reader.Start(); e != RecordError::None)
        return e;
    for (RecordReader::Item item; (item = reader.Next()) != RecordReader::Item::End;) {
        if (item == RecordReader::Item::Setpoints) {
            analyser.AddSetpoints(reader.CurrentSetpoints());
            continue;
        }
        analyser.Add(reader.CurrentSample());
        if (each)
            each(reader.CurrentSample());
    }
    analyser.Finish();
    stats = reader.Stats();
    return file.error() == QFileDevice::NoError ? RecordError::None : RecordError::CannotOpen;
}

TimeText RecordTimeText(const RecordStats& stats) {
    if (!stats.haveOrigin)
        return {};
    return [origin = stats.originMs, offset = stats.offsetSeconds](double t) {
        const QDateTime when = QDateTime::fromMSecsSinceEpoch(
            origin + static_cast<int64_t>(t * 1000 + 0.5), Qt::OffsetFromUTC, offset);
        return RecordTime(when).toStdString();
    };
}

} // namespace analysis
