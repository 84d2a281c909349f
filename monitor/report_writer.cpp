#include "monitor/report_writer.h"

#include "monitor/attempts_table.h"

#include <QDateTime>
#include <QFile>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>

#include <algorithm>
#include <cmath>
#include <set>

namespace monitor {

using analysis::Attempt;

namespace {

// Page geometry in points (the writer's resolution is 72 per inch): A4 less 36 pt margins.
constexpr double PageW = 595 - 72, PageH = 842 - 72;
constexpr double Line = 14;

class Pages {
public:
    Pages(QPdfWriter& writer, QPainter& painter) : writer_(writer), p_(painter) {}
    // Room for `height` more points on this page, else a new page.
    void Need(double height) {
        if (y_ + height > PageH) {
            writer_.newPage();
            y_ = 0;
        }
    }
    void Text(const QString& text, double size = 9, bool bold = false, double indent = 0) {
        QFont f = p_.font();
        f.setPointSizeF(size);
        f.setBold(bold);
        p_.setFont(f);
        const QRectF r(indent, 0, PageW - indent, PageH);
        const QRectF need = p_.boundingRect(r, Qt::TextWordWrap, text);
        Need(need.height() + 2);
        p_.drawText(QRectF(indent, y_, PageW - indent, need.height()), Qt::TextWordWrap, text);
        y_ += need.height() + 2;
    }
    void Space(double h) { y_ += h; }
    double& Y() { return y_; }
    QPainter& Painter() { return p_; }

private:
    QPdfWriter& writer_;
    QPainter& p_;
    double y_ = 0;
};

std::size_t FirstAtOrAfter(const SampleStore& store, double t) {
    std::size_t lo = 0, hi = store.Size();
    while (lo < hi) {
        const std::size_t mid = (lo + hi) / 2;
        if (store[mid].t < t)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// The seconds around a closing: the differences above (each on its own scale, the allowed
// band dashed), the advance action and the permissions as steps below, the edge in red.
void DrawClosing(QPainter& p, const QRectF& box, const Attempt& a, const SampleStore& store) {
    const double edge = a.closing->after, t0 = edge - kReportBefore, t1 = edge + kReportAfter;
    const QRectF curves(box.left() + 40, box.top() + 4, box.width() - 80, box.height() * 0.55);
    const QRectF steps(curves.left(), curves.bottom() + 8, curves.width(),
                       box.bottom() - curves.bottom() - 22);
    const auto x = [&](double t) { return curves.left() + (t - t0) / (t1 - t0) * curves.width(); };
    std::vector<const Sample*> in;
    for (std::size_t i = FirstAtOrAfter(store, t0); i < store.Size() && store[i].t <= t1; ++i)
        in.push_back(&store[i]);
    double maxU = 1, maxF = 1; // counts
    if (a.setpoints) {
        maxU = std::max(maxU, double(a.setpoints->values[device::kAllowedVoltageDifference]));
        maxF = std::max(maxF, double(a.setpoints->values[device::kAllowedFrequencyDifference]));
    }
    for (const Sample* s : in)
        if (s->have & HaveValues) {
            maxU = std::max(maxU, std::abs(double(ChannelValue(*s, 2))));
            maxF = std::max(maxF, std::abs(double(ChannelValue(*s, 5))));
        }
    maxU *= 1.1, maxF *= 1.1;
    QFont f = p.font();
    f.setPointSizeF(7);
    f.setBold(false);
    p.setFont(f);
    p.setPen(QPen(Qt::gray, 0.5));
    p.drawRect(curves);
    p.drawRect(steps);
    p.drawLine(QPointF(curves.left(), curves.center().y()),
               QPointF(curves.right(), curves.center().y()));
    const auto drawCurve = [&](int channel, double max, QColor colour) {
        QPainterPath path;
        bool open = false;
        for (const Sample* s : in) {
            if (!(s->have & HaveValues) || (s->have & RunStart)) {
                open = false;
                if (!(s->have & HaveValues))
                    continue;
            }
            const QPointF pt(x(s->t), curves.center().y() -
                                          ChannelValue(*s, channel) / max * curves.height() / 2);
            open ? path.lineTo(pt) : path.moveTo(pt);
            open = true;
        }
        p.setPen(QPen(colour, 1));
        p.drawPath(path);
    };
    const QColor uColour(0xff7f0e), fColour(0x8c564b);
    if (a.setpoints) { // the allowed differences
        for (const auto& [value, max, colour] :
             {std::tuple{a.setpoints->values[device::kAllowedVoltageDifference], maxU, uColour},
              std::tuple{a.setpoints->values[device::kAllowedFrequencyDifference], maxF,
                         fColour}}) {
            p.setPen(QPen(colour, 0.5, Qt::DashLine));
            for (int sign : {-1, 1}) {
                const double y = curves.center().y() - sign * value / max * curves.height() / 2;
                p.drawLine(QPointF(curves.left(), y), QPointF(curves.right(), y));
            }
        }
    }
    drawCurve(2, maxU, uColour);
    drawCurve(5, maxF, fColour);
    p.setPen(uColour);
    p.drawText(QRectF(box.left(), curves.top(), 38, 10), Qt::AlignRight,
               QStringLiteral("%1 V").arg(device::InUnit(int(maxU), device::Volt), 0, 'f', 1));
    p.drawText(QRectF(box.left(), curves.bottom() - 10, 38, 10), Qt::AlignRight,
               QStringLiteral("压差"));
    p.setPen(fColour);
    p.drawText(QRectF(curves.right() + 2, curves.top(), 38, 10), Qt::AlignLeft,
               QStringLiteral("%1 Hz").arg(device::InUnit(int(maxF), device::Hertz), 0, 'f', 2));
    p.drawText(QRectF(curves.right() + 2, curves.bottom() - 10, 38, 10), Qt::AlignLeft,
               QStringLiteral("频差"));
    const device::Input traces[] = {device::kAdvanceAction, device::kVoltagePermitted,
                                    device::kFrequencyPermitted, device::kPhasePermitted};
    const double lane = steps.height() / 4;
    for (int k = 0; k < 4; ++k) {
        const double base = steps.top() + lane * (k + 1) - 2, high = base - lane + 4;
        p.setPen(Qt::black);
        p.drawText(QRectF(box.left(), base - lane + 2, 38, lane), Qt::AlignRight | Qt::AlignVCenter,
                   QString::fromUtf8(device::SwitchFields()[traces[k]].label).left(4));
        QPainterPath path;
        bool open = false;
        for (const Sample* s : in) {
            if (!(s->have & HaveStates) || (s->have & RunStart)) {
                open = false;
                if (!(s->have & HaveStates))
                    continue;
            }
            const double y = analysis::State(*s, traces[k]) ? high : base;
            if (open) {
                path.lineTo(x(s->t), path.currentPosition().y());
                path.lineTo(x(s->t), y);
            } else {
                path.moveTo(x(s->t), y);
            }
            open = true;
        }
        p.setPen(QPen(k == 0 ? QColor(0xd62728) : QColor(0x1f77b4), 1));
        p.drawPath(path);
    }
    p.setPen(QPen(QColor(0xe00000), 0.8, Qt::DashLine));
    p.drawLine(QPointF(x(edge), curves.top()), QPointF(x(edge), steps.bottom()));
    p.setPen(Qt::black);
    for (int s = -int(kReportBefore); s <= int(kReportAfter); ++s)
        p.drawText(QRectF(x(edge + s) - 20, steps.bottom() + 2, 40, 10), Qt::AlignHCenter,
                   QStringLiteral("%1%2 秒").arg(s > 0 ? "+" : "").arg(s));
}

QString When(const ReportSource& source, double t) {
    return source.time ? QString::fromStdString(source.time(t))
                       : QStringLiteral("%1 秒").arg(t, 0, 'f', 1);
}

QString SetpointsText(const analysis::SetpointReading& r) {
    QStringList parts;
    for (int i = 0; i < device::kSetpointCount; ++i) {
        const device::Field& f = device::SetpointFields()[i];
        parts << QStringLiteral("%1 %2 %3")
                     .arg(QString::fromUtf8(f.label))
                     .arg(device::InUnit(r.values[i], f.scale), 0, 'f', f.scale.decimals)
                     .arg(QString::fromUtf8(f.scale.unit));
    }
    return parts.join(QStringLiteral(", "));
}

} // namespace

QString WriteReport(const QString& path, const ReportSource& source,
                    const analysis::Analyser& analyser, const SampleStore& store) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return file.errorString();
    QPdfWriter writer(&file);
    writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                     QMarginsF(36, 36, 36, 36), QPageLayout::Point));
    writer.setResolution(72);
    writer.setTitle(QStringLiteral("同期报告"));
    writer.setCreator(QStringLiteral("democomm %1").arg(source.version));
    QPainter painter;
    if (!painter.begin(&writer))
        return QStringLiteral("无法生成 PDF");
    painter.setFont(QFont(QStringLiteral("WenQuanYi Micro Hei")));
    Pages page(writer, painter);
    const std::vector<Attempt>& attempts = analyser.Attempts();

    page.Text(QStringLiteral("准同期装置 同期报告"), 16, true);
    page.Text(QStringLiteral("democomm %1, 生成于 %2")
                  .arg(source.version, QDateTime::currentDateTime().toString(Qt::ISODate)));
    page.Space(6);
    page.Text(QStringLiteral("装置"), 11, true);
    page.Text(source.device);
    std::set<int> units;
    for (const Attempt& a : attempts)
        units.insert(a.parallelingNumbers.begin(), a.parallelingNumbers.end());
    QStringList unitList;
    for (int u : units)
        unitList << QString::number(u);
    page.Text(
        QStringLiteral("并机号: %1")
            .arg(unitList.isEmpty() ? QStringLiteral("-") : unitList.join(QStringLiteral(", "))));
    if (!store.Empty())
        page.Text(QStringLiteral("时间: %1 至 %2 (%3 个样本)")
                      .arg(When(source, store[0].t), When(source, store[store.Size() - 1].t))
                      .arg(store.Size()));

    page.Space(6);
    page.Text(QStringLiteral("定值 (读自装置)"), 11, true);
    const std::vector<analysis::SetpointReading>& readings = analyser.Setpoints();
    if (readings.empty())
        page.Text(QStringLiteral("没有读到定值: 合闸时的压差、频差未按定值判定。"));
    // Each reading that differs from the one before; a day read once a minute is one line.
    for (std::size_t i = 0; i < readings.size(); ++i)
        if (i == 0 || readings[i].values != readings[i - 1].values)
            page.Text(QStringLiteral("%1: %2").arg(When(source, readings[i].t),
                                                   SetpointsText(readings[i])));
    if (readings.size() > 1)
        page.Text(QStringLiteral("(共读取 %1 次)").arg(readings.size()));

    page.Space(6);
    page.Text(QStringLiteral("通讯状况"), 11, true);
    page.Text(source.health.join(QStringLiteral("; ")));

    page.Space(6);
    const analysis::Summary sum = analysis::Summarise(attempts);
    page.Text(QStringLiteral("同期记录"), 11, true);
    page.Text(QStringLiteral("同期 %1 次: 合格 %2, 有问题 %3, 无法判定 %4, 不完整 %5, 进行中 %6")
                  .arg(sum.attempts)
                  .arg(sum.passed)
                  .arg(sum.findings)
                  .arg(sum.unsure)
                  .arg(sum.incomplete)
                  .arg(sum.open));
    // The table: the window's columns, the verdict wrapped in the last.
    const double widths[kAttemptColumns] = {50, 45, 35, 65, 70, PageW - 375, 110};
    const auto row = [&](const QStringList& cells, bool bold) {
        QFont f = painter.font();
        f.setPointSizeF(7.5);
        f.setBold(bold);
        painter.setFont(f);
        double h = Line;
        for (int c = 0; c < kAttemptColumns; ++c)
            h = std::max(h, painter.boundingRect(QRectF(0, 0, widths[c] - 4, PageH),
                                                 Qt::TextWordWrap, cells.value(c))
                                    .height() +
                                2);
        page.Need(h);
        double x = 0;
        for (int c = 0; c < kAttemptColumns; ++c) {
            painter.drawText(QRectF(x, page.Y(), widths[c] - 4, h), Qt::TextWordWrap,
                             cells.value(c));
            x += widths[c];
        }
        page.Y() += h;
        painter.setPen(QPen(Qt::lightGray, 0.5));
        painter.drawLine(QPointF(0, page.Y() - 1), QPointF(PageW, page.Y() - 1));
        painter.setPen(Qt::black);
    };
    row(AttemptHeaders(), true);
    for (const Attempt& a : attempts)
        row(AttemptCells(a), false);

    // One chart per closing, with the attempt's figures in words.
    int n = 0;
    for (std::size_t i = 0; i < attempts.size(); ++i) {
        const Attempt& a = attempts[i];
        if (!a.closing)
            continue;
        ++n;
        const double chartH = 170;
        page.Need(chartH + 4 * Line);
        page.Space(8);
        page.Text(QStringLiteral("第 %1 次合闸 (同期记录第 %2 行), %3: %4")
                      .arg(n)
                      .arg(i + 1)
                      .arg(When(source, a.closing->after),
                           QString::fromUtf8(analysis::VerdictText(a.verdict))),
                  10, true);
        QStringList figures;
        const analysis::Closing& c = *a.closing;
        figures << QStringLiteral("开始至合闸 %1 秒").arg(a.TimeToClose(), 0, 'f', 1);
        if (c.haveSlip)
            figures << QStringLiteral("滑差 %1 Hz").arg(c.slipHz, 0, 'f', 2);
        if (c.phaseAdvanceDegrees)
            figures << QStringLiteral("越前相角 %1°").arg(*c.phaseAdvanceDegrees, 0, 'f', 1);
        figures << QStringLiteral("采样间隔 %1 秒").arg(c.Spacing(), 0, 'f', 3);
        page.Text(figures.join(QStringLiteral(", ")));
        const QString details = AttemptDetails(a);
        if (!details.isEmpty())
            page.Text(details, 8);
        page.Need(chartH);
        DrawClosing(painter, QRectF(0, page.Y(), PageW, chartH), a, store);
        page.Y() += chartH;
    }
    if (!painter.end())
        return QStringLiteral("无法生成 PDF");
    file.close();
    if (file.error() != QFileDevice::NoError)
        return file.errorString();
    return {};
}

} // namespace monitor
