// TMonitorForm against democomm-sim, driven as users drive it: Start, Stop, 记录, the health
// panel and the record file.
#include "analysis/record.h"
#include "device/map.h"
#include "modbus/codec.h"
#include "monitor/attempts_table.h"
#include "monitor/monitor.h"
#include "monitor/samples.h"
#include "ui/dialogs.h"

#include "../sim/process.h"
#include "support/pty.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCategoryAxis>
#include <QChartView>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGraphicsScene>
#include <QGraphicsTextItem>
#include <QLabel>
#include <QLegend>
#include <QLegendMarker>
#include <QRegularExpression>
#include <QSettings>
#include <QSocketNotifier>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>
#include <QValueAxis>
#include <QXYSeries>

#include <cmath>
#include <functional>
#include <optional>

namespace {

// The window's remembered choices go to a folder of this run, set before Qt first looks.
const QTemporaryDir config;
const bool configSet = qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
QStringList RecordLines(const QString& path) {
    return QString::fromUtf8(ReadAll(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// Shows `form` modally on `port` and runs `body` inside it; error reports go to `reports`.
void Drive(TMonitorForm& form, const std::string& port, std::vector<QString>& reports,
           std::function<void()> body) {
    ui::InstallErrorReport();
    ui::SetBoxSink([&](const ui::BoxRecord& r) { reports.push_back(r.text + r.informative); });
    QTimer::singleShot(0, &form, [&] {
        body();
        form.close();
    });
    form.ShowWithPort(9600, QString::fromStdString(port));
    ui::SetBoxSink({});
}

void Click(TMonitorForm& form, const char* name) {
    form.findChild<QAbstractButton*>(QLatin1String(name))->click();
}

TEST(Monitor, SamplesMatchTheDeviceAndTheRecordHasALinePerSample) {
    testsim::Background sim({DEMOCOMM_SIM_PATH, "--no-alias", "--seed", "1"});
    QTemporaryDir dir;
    const QString record = dir.filePath("record.csv");
    TMonitorForm form;
    std::vector<QString> reports;
    Drive(form, sim.Field("port"), reports, [&] {
        ASSERT_TRUE(form.RecordTo(record));
        Click(form, "StartBtn");
        ASSERT_TRUE(testsupport::WaitUntil([&] { return form.Samples().Size() >= 6; }, 10000));
        Click(form, "StopBtn");
        EXPECT_GT(form.Redraw(), 0);
    });
    EXPECT_TRUE(reports.empty());
    // The device's replies as it logged them, in order: 03 working data and 02 states.
    std::vector<std::string> registers, inputs, setpoints;
    testsupport::WaitUntil([&] {
        registers.clear(), inputs.clear(), setpoints.clear();
        for (const std::string& l : sim.Lines()) {
            if (const auto at = l.find("| registers "); at != std::string::npos)
                (std::count(l.begin() + at, l.end(), ' ') == 6 ? registers : setpoints)
                    .push_back(l.substr(at + 12));
            if (const auto at = l.find("| inputs "); at != std::string::npos)
                inputs.push_back(l.substr(at + 9));
        }
        return inputs.size() >= form.Samples().Size();
    });
    QStringList lines = RecordLines(record);
    // The set-points as the device gave them, in the record with their labels.
    const QStringList readings = lines.filter(QStringLiteral(",setpoints "));
    lines.removeIf([](const QString& l) { return l.contains(",setpoints "); });
    ASSERT_EQ(setpoints.size(), 1u);
    ASSERT_EQ(readings.size(), 1);
    QString read;
    for (const QString& f : readings[0].section(QStringLiteral(",setpoints "), 1).split(' '))
        read += (read.isEmpty() ? "" : " ") + f.section('=', 1);
    EXPECT_EQ(read.toStdString(), setpoints[0]);
    ASSERT_EQ(lines.size(), qsizetype(form.Samples().Size() + 1));
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("时间,经过秒数,从站,系统电压,机组电压")));
    for (std::size_t i = 0; i < form.Samples().Size(); ++i) {
        const monitor::Sample& s = form.Samples()[i];
        std::string values, states;
        for (int16_t v : s.values)
            values += (values.empty() ? "" : " ") + std::to_string(v);
        for (int k = 0; k < 12; ++k)
            states += (s.states >> k) & 1 ? '1' : '0';
        ASSERT_LT(i, std::min(registers.size(), inputs.size()));
        EXPECT_EQ(values, registers[i]) << i;
        EXPECT_EQ(states, inputs[i]) << i;
        const QStringList f = lines[qsizetype(i) + 1].split(QLatin1Char(','));
        EXPECT_EQ(f.mid(3, 5).join(' ') + ',' + f.mid(8, 12).join(QString()) + ',' + f.last(),
                  QString::fromStdString(values + ',' + states + ",ok"));
    }
}

// The panel's counts add up: every request sent has ended in one of the rows, or is out.
void ExpectPanelAddsUp(const TMonitorForm& form) {
    const auto n = [&](const char* name) {
        const auto* label = form.findChild<QLabel*>(QLatin1String(name));
        EXPECT_TRUE(label) << name;
        return label ? label->text().section(' ', 0, 0).toULongLong() : 0;
    };
    EXPECT_EQ(n("HealthSent"), n("HealthAccepted") + n("HealthCrc") + n("HealthShort") +
                                   n("HealthException") + n("HealthTimeout") + n("HealthAborted") +
                                   n("HealthInFlight"));
    // Times in their units, to a hundredth of a millisecond and a tenth of a second.
    const QRegularExpression times[] = {QRegularExpression(QStringLiteral("^(-|\\d+\\.\\d\\d 毫秒)$")),
                                        QRegularExpression(QStringLiteral("^(-|\\d+\\.\\d 秒)$"))};
    for (const char* name : {"HealthLast", "HealthMean", "HealthP95", "HealthMax", "HealthSince"}) {
        const QString text = form.findChild<QLabel*>(QLatin1String(name))->text();
        EXPECT_TRUE(times[name == std::string("HealthSince")].match(text).hasMatch())
            << name << ": " << text.toStdString();
    }
}

// What a value axis writes at its ticks.
QStringList TickLabels(const QValueAxis* a) {
    QStringList labels;
    const QByteArray format = a->labelFormat().toLatin1();
    if (a->tickType() == QValueAxis::TicksDynamic) {
        const double step = a->tickInterval();
        for (double k = std::ceil((a->min() - a->tickAnchor()) / step);
             a->tickAnchor() + k * step <= a->max() + step * 1e-9; ++k)
            labels << QString::asprintf(format.constData(), a->tickAnchor() + k * step);
    } else {
        for (int i = 0; i < a->tickCount(); ++i)
            labels << QString::asprintf(format.constData(), a->min() + (a->max() - a->min()) * i /
                                                                           (a->tickCount() - 1));
    }
    return labels;
}

// The charts as drawn: no line across a gap in the samples, no two ticks of an axis with the
// same label, every axis text inside its chart.
void ExpectChartsDrawnSoundly(const TMonitorForm& form) {
    const std::size_t count = form.Samples().Size();
    // One time axis: both plots start and end at the same x.
    const auto* values = form.findChild<QChartView*>(QStringLiteral("AnalogChart"));
    const auto* states = form.findChild<QChartView*>(QStringLiteral("StateChart"));
    EXPECT_EQ(values->chart()->plotArea().left(), states->chart()->plotArea().left());
    EXPECT_EQ(values->chart()->plotArea().right(), states->chart()->plotArea().right());
    for (const char* name : {"AnalogChart", "StateChart"}) {
        const auto* view = form.findChild<QChartView*>(QLatin1String(name));
        const bool analog = name[0] == 'A';
        for (QAbstractSeries* series : view->chart()->series()) {
            const QList<QPointF> p = static_cast<QXYSeries*>(series)->points();
            for (qsizetype j = 1; j < p.size(); ++j) {
                if (std::isnan(p[j - 1].y()) || std::isnan(p[j].y()))
                    continue;
                for (std::size_t i = 0; i < count; ++i) {
                    const monitor::Sample& s = form.Samples()[i];
                    const bool missing =
                        !(s.have & (analog ? monitor::HaveValues : monitor::HaveStates));
                    if ((missing && p[j - 1].x() < s.t && s.t < p[j].x()) ||
                        ((s.have & monitor::RunStart) && i > 0 && p[j - 1].x() < s.t &&
                         s.t <= p[j].x()))
                        ADD_FAILURE() << name << " " << series->name().toStdString()
                                      << ": a line from " << p[j - 1].x() << " to " << p[j].x()
                                      << " across the gap at sample " << i;
                }
            }
        }
        // Each state trace lies in the band its name labels.
        for (QAbstractAxis* axis : view->chart()->axes(Qt::Vertical))
            if (auto* names = qobject_cast<QCategoryAxis*>(axis))
                for (QAbstractSeries* series : view->chart()->series()) {
                    const QString n = series->name();
                    ASSERT_TRUE(names->categoriesLabels().contains(n)) << n.toStdString();
                    for (const QPointF& p : static_cast<QXYSeries*>(series)->points())
                        EXPECT_TRUE(std::isnan(p.y()) || (p.y() >= names->startValue(n) &&
                                                          p.y() < names->endValue(n)))
                            << n.toStdString() << " at " << p.y();
                }
        for (QAbstractAxis* axis : view->chart()->axes())
            if (auto* a = qobject_cast<QValueAxis*>(axis); a && !qobject_cast<QCategoryAxis*>(a)) {
                QStringList labels = TickLabels(a);
                EXPECT_EQ(labels.removeDuplicates(), 0)
                    << name << " " << a->titleText().toStdString() << ": "
                    << TickLabels(a).join(' ').toStdString();
                // A value axis ticks at both ends and on whole multiples of 1, 2 or 5 x 10^k.
                if (a->tickType() == QValueAxis::TicksDynamic)
                    continue;
                const double step = (a->max() - a->min()) / (a->tickCount() - 1);
                const double mantissa = step / std::pow(10.0, std::floor(std::log10(step)));
                EXPECT_TRUE(std::abs(a->min() / step - std::round(a->min() / step)) < 1e-6 &&
                            (std::abs(mantissa - 1) < 1e-6 || std::abs(mantissa - 2) < 1e-6 ||
                             std::abs(mantissa - 5) < 1e-6))
                    << name << " " << a->titleText().toStdString() << ": " << a->min() << ".."
                    << a->max() << " in " << a->tickCount() << " ticks";
            }
        // The axes' texts: the legend's are laid out by Qt Charts from posted events after a
        // resize, at a moment that varies on a slow (sanitized) build.
        const auto outside = [&] {
            const double width = view->chart()->size().width();
            for (const QGraphicsItem* item : view->scene()->items())
                if (const auto* text = dynamic_cast<const QGraphicsTextItem*>(item);
                    text && text->isVisible() && !text->toPlainText().isEmpty() &&
                    !view->chart()->legend()->isAncestorOf(text)) {
                    const QRectF r = text->sceneBoundingRect();
                    if (r.left() < -1 || r.right() > width + 1)
                        return std::string(name) + " '" + text->toPlainText().toStdString() +
                               "' at " + std::to_string(r.left()) + ".." +
                               std::to_string(r.right()) + ", chart " + std::to_string(width) +
                               " wide";
                }
            return std::string();
        };
        EXPECT_EQ(outside(), "");
    }
}

struct FaultCase {
    const char* name;
    std::vector<std::string> simFlags;
    const char* outcomes;        // the record's outcomes, a pattern ("ok", "ok|timeout")
    const char* label = nullptr; // the health value that counts every request, if one does
    std::vector<std::pair<QString, QVariant>> remembered = {}; // monitor.conf before opening
    std::function<void(TMonitorForm&)> midway = {}; // what the user does after two samples
    std::function<void(TMonitorForm&)> check = {};  // after the window has closed
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class MonitorFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(MonitorFaults, EachFaultInItsCounterTheRecordAndTheChart) {
    const FaultCase& c = GetParam();
    {
        QSettings conf(QStringLiteral("democomm"), QStringLiteral("monitor"));
        conf.clear();
        for (const auto& [key, value] : c.remembered)
            conf.setValue(key, value);
    }
    testsim::Background sim(testsim::FaultSimulator(DEMOCOMM_SIM_PATH, c.simFlags));
    QTemporaryDir dir;
    TMonitorForm form;
    form.Session().setResponseTimeout(testsim::FaultTableTimeoutMs);
    std::vector<QString> reports;
    Drive(form, sim.Field("port"), reports, [&] {
        ASSERT_TRUE(form.RecordTo(dir.filePath("r.csv")));
        Click(form, "StartBtn");
        ASSERT_TRUE(testsupport::WaitUntil([&] { return form.Samples().Size() >= 2; }, 15000));
        // 清零 with a request out: the counts add up at once.
        ASSERT_TRUE(testsupport::WaitUntil([&] { return form.Session().Stats().inFlight == 1; }));
        Click(form, "ResetHealthBtn");
        ExpectPanelAddsUp(form);
        if (c.midway)
            c.midway(form);
        const std::size_t n = form.Samples().Size();
        ASSERT_TRUE(testsupport::WaitUntil([&] { return form.Samples().Size() >= n + 2; }, 15000));
        Click(form, "StopBtn");
        const auto [t0, t1] = form.ViewRange();
        form.SetView(t0, t1, false); // draws every sample taken
        // A narrower window with nothing else changed: the axes keep their room.
        form.resize(form.width() - 80, form.height());
        testsupport::Pump(50);
        ExpectChartsDrawnSoundly(form);
    });
    EXPECT_TRUE(reports.empty());
    if (c.check)
        c.check(form);
    const master::Statistics s = form.Session().Stats();
    EXPECT_EQ(s.Ended(), s.requestsSent); // Stop ended the request out, if any, as aborted
    ExpectPanelAddsUp(form);
    if (c.label) {
        EXPECT_EQ(form.findChild<QLabel*>(QLatin1String(c.label))->text().section(' ', 0, 0),
                  QString::number(s.requestsSent - s.aborted));
    }
    // The record: a byte order mark, then a line per sample, timed when its first request
    // went on the wire, on both clocks alike.
    const QByteArray bytes = ReadAll(dir.filePath("r.csv"));
    EXPECT_TRUE(bytes.startsWith("\xEF\xBB\xBF时间,经过秒数,")) << bytes.left(20).toStdString();
    QStringList lines = RecordLines(dir.filePath("r.csv"));
    // Every reading of the set-points is in the record, and judges the closings.
    const auto readings =
        lines.removeIf([](const QString& l) { return l.contains(",setpoints "); });
    EXPECT_EQ(std::size_t(readings), form.Analysis().Setpoints().size());
    ASSERT_EQ(lines.size(), qsizetype(form.Samples().Size() + 1));
    const QRegularExpression line(
        QStringLiteral(
            R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d),(\d+\.\d{3}),1,.*,(%1)$)")
            .arg(QLatin1String(c.outcomes)));
    std::optional<double> offset; // wall clock minus elapsed seconds, in ms
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QRegularExpressionMatch m = line.match(lines[i]);
        const QDateTime when = QDateTime::fromString(m.captured(1), Qt::ISODateWithMs);
        EXPECT_TRUE(m.hasMatch() && when.isValid()) << lines[i].toStdString();
        EXPECT_EQ(when.offsetFromUtc(), // the local offset at that instant
                  QDateTime::fromMSecsSinceEpoch(when.toMSecsSinceEpoch()).offsetFromUtc());
        const double ms = double(when.toMSecsSinceEpoch()) - m.captured(2).toDouble() * 1000;
        EXPECT_NEAR(ms, offset.value_or(ms), 20) << lines[i].toStdString();
        offset = offset.value_or(ms);
    }
}

bool FailedBetweenGood(const TMonitorForm& form) {
    std::string have;
    for (std::size_t i = 0; i < form.Samples().Size(); ++i)
        have += form.Samples()[i].have & monitor::HaveValues ? 'v' : '-';
    return QRegularExpression(QStringLiteral("v-+v"))
        .match(QString::fromStdString(have))
        .hasMatch();
}
QChartView* Chart(TMonitorForm& form, const char* name) {
    return form.findChild<QChartView*>(QLatin1String(name));
}
QLegendMarker* Marker(TMonitorForm& form, const QString& curve) {
    for (QLegendMarker* m : Chart(form, "AnalogChart")->chart()->legend()->markers())
        if (m->series()->name() == curve)
            return m;
    return nullptr;
}
// Sample i is the first after polling stopped: no curve or trace joins it to the one before.
std::size_t runStartedAt = 0;
void ExpectBreakBeforeRun(TMonitorForm& form) {
    const std::size_t i = runStartedAt;
    ASSERT_GT(i, 0u);
    ASSERT_LT(i, form.Samples().Size());
    EXPECT_TRUE(form.Samples()[i].have & monitor::RunStart);
    for (const char* name : {"AnalogChart", "StateChart"})
        for (QAbstractSeries* series : Chart(form, name)->chart()->series()) {
            const QList<QPointF> p = static_cast<QXYSeries*>(series)->points();
            for (qsizetype j = 1; j < p.size(); ++j)
                EXPECT_FALSE(!std::isnan(p[j - 1].y()) && !std::isnan(p[j].y()) &&
                             p[j - 1].x() <= form.Samples()[i - 1].t &&
                             p[j].x() >= form.Samples()[i].t)
                    << name << " " << series->name().toStdString() << ": a line from "
                    << p[j - 1].x() << " to " << p[j].x();
        }
}
QVariant Remembered(const char* key) {
    return QSettings(QStringLiteral("democomm"), QStringLiteral("monitor")).value(key);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Faults, MonitorFaults, ::testing::Values(
    FaultCase{"Clean", {}, "ok", "HealthAccepted", {}, {},
              [](TMonitorForm& form) { // the set-points read when polling started, shown
                  ASSERT_EQ(form.Analysis().Setpoints().size(), 1u);
                  EXPECT_TRUE(form.findChild<QLabel*>(QStringLiteral("SetpointLabel"))->text().contains(
                      QStringLiteral("允许压差: %1 V").arg(form.Analysis().Setpoints()[0].values[2] / 10.0, 0, 'f', 1)));
              }},
    FaultCase{"Echo", {"--echo", "1"}, "ok", "HealthEcho"},
    FaultCase{"Noise", {"--noise", "1"}, "ok", "HealthAccepted"},
    FaultCase{"Drop", {"--drop", "1"}, "timeout", "HealthTimeout"},
    FaultCase{"BadCrc", {"--bad-crc", "1"}, "crc", "HealthCrc"},
    FaultCase{"Exception", {"--exception", "1"}, "exception 4", "HealthException"},
    FaultCase{"Delay", {"--delay", "1"}, "timeout", "HealthTimeout"},
    FaultCase{"Split", {"--split", "1"}, "short", "HealthShort"},
    // Failed exchanges among good ones: each a break in the curves, and the samples after them,
    // sent late (the line has to fall silent first), timed when they went.
    FaultCase{"SomeDropped", {"--drop", "0.3"}, "ok|timeout", nullptr, {},
              // Polls until values, none and values again are in (else the row shows nothing).
              [](TMonitorForm& form) {
                  EXPECT_TRUE(testsupport::WaitUntil([&] { return FailedBetweenGood(form); },
                                                     30000));
              }},
    // Stop and Start: the runs are not joined.
    FaultCase{"StopAndStart", {}, "ok", "HealthAccepted", {},
              [](TMonitorForm& form) {
                  Click(form, "StopBtn");
                  runStartedAt = form.Samples().Size();
                  Click(form, "StartBtn");
              },
              ExpectBreakBeforeRun},
    // The port goes and is back at once, and the sample timer comes due before the window
    // hears of it (a pseudo-terminal cannot time that): polling goes on, after a break.
    FaultCase{"PortLostAndBack", {}, "ok", "HealthAccepted", {},
              [](TMonitorForm& form) {
                  form.Session().Close(); // as the session closes itself at a hang-up
                  runStartedAt = form.Samples().Size();
                  emit form.Session().PortLost();
                  QMetaObject::invokeMethod(form.findChild<QTimer*>(QStringLiteral("SampleTimer")),
                                            "timeout");
              },
              ExpectBreakBeforeRun},
    // Curves hidden in an earlier run keep their legend entries, which show them again.
    FaultCase{"HiddenCurves", {}, "ok", "HealthAccepted",
              {{"hidden", QStringList{QStringLiteral("系统电压"), QStringLiteral("频差")}}}, {},
              [](TMonitorForm& form) {
                  for (QLegendMarker* m : Chart(form, "AnalogChart")->chart()->legend()->markers())
                      EXPECT_TRUE(m->isVisible()) << m->series()->name().toStdString();
                  QLegendMarker* m = Marker(form, QStringLiteral("系统电压"));
                  ASSERT_TRUE(m);
                  EXPECT_FALSE(m->series()->isVisible());
                  emit m->clicked();
                  EXPECT_TRUE(m->series()->isVisible() && m->isVisible());
                  EXPECT_EQ(Remembered("hidden").toStringList(), QStringList{QStringLiteral("频差")});
              }},
    // Values in monitor.conf that cannot be right: the defaults, drawn, and saved instead.
    FaultCase{"BadRemembered", {}, "ok", "HealthAccepted",
              {{"span", QStringLiteral("nan")}, {"interval", 9}, {"slave", 0},
               {"geometry", QByteArray("garbage")}}, {},
              [](TMonitorForm& form) {
                  EXPECT_DOUBLE_EQ(form.ViewRange().second - form.ViewRange().first, 60);
                  EXPECT_GT(static_cast<QXYSeries*>(Chart(form, "AnalogChart")->chart()->series()[1])->count(), 0);
                  EXPECT_EQ(Remembered("span").toDouble(), 60.0);
                  EXPECT_EQ(Remembered("interval").toInt(), 0);
                  EXPECT_EQ(Remembered("slave").toInt(), 1);
              }},
    // A span of a second: the ticks of every axis still read differently.
    FaultCase{"NarrowSpan", {}, "ok", "HealthAccepted", {},
              [](TMonitorForm& form) {
                  const double t = form.Samples()[form.Samples().Size() - 1].t;
                  form.SetView(t - 1, t, false);
              }}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// The mouse on the time axis: the wheel zooms about the pointer, a drag pans by the distance
// dragged, a double click follows the newest samples again. The longest remembered span is
// kept.
TEST(Monitor, WheelZoomsDragPansDoubleClickFollows) {
    constexpr double kTwoDays = 2 * 86400;
    QSettings(QStringLiteral("democomm"), QStringLiteral("monitor")).setValue("span", kTwoDays);
    TMonitorForm form;
    std::vector<QString> reports;
    Drive(form, "/nonexistent/tty", reports, [&] {
        EXPECT_EQ(form.ViewRange().second - form.ViewRange().first, kTwoDays);
        for (int i = 0; i <= 200; ++i)
            form.AddSample({double(i), {1000, 1000, 5000, 5000, 1}, 0,
                            uint8_t(monitor::HaveValues | monitor::HaveStates)});
        form.SetView(140, 200, true);
        QChartView* view = Chart(form, "AnalogChart");
        QWidget* port = view->viewport();
        const QRectF plot = view->chart()->plotArea();
        const QPointF mid = view->mapFromScene(view->chart()->mapToScene(plot.center()));
        const double secondsPerPixel = 60 / plot.width();
        const double at = 140 + 60 * (plot.center().x() - plot.left()) / plot.width();
        QWheelEvent wheel(mid, port->mapToGlobal(mid), {}, {0, 120}, Qt::NoButton, {},
                          Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(port, &wheel);
        auto [t0, t1] = form.ViewRange();
        EXPECT_NEAR(t1 - t0, 48, 1e-6);
        EXPECT_NEAR(t0, at - (at - 140) * 0.8, 60 * 0.8 / plot.width() * 2);
        const double zoomedFrom = t0;
        QTest::mousePress(port, Qt::LeftButton, {}, mid.toPoint());
        QMouseEvent move(QEvent::MouseMove, mid - QPointF(100, 0), port->mapToGlobal(mid),
                         Qt::NoButton, Qt::LeftButton, {});
        QCoreApplication::sendEvent(port, &move);
        QTest::mouseRelease(port, Qt::LeftButton, {}, (mid - QPointF(100, 0)).toPoint());
        std::tie(t0, t1) = form.ViewRange();
        EXPECT_NEAR(t0 - zoomedFrom, 100 * secondsPerPixel * 0.8, 0.05);
        EXPECT_NEAR(t1 - t0, 48, 1e-6);
        QTest::mouseDClick(port, Qt::LeftButton, {}, mid.toPoint());
        form.AddSample({201, {1000, 1000, 5000, 5000, 1}, 0,
                        uint8_t(monitor::HaveValues | monitor::HaveStates)});
        form.Redraw();
        EXPECT_EQ(form.ViewRange().second, 201);
    });
    EXPECT_TRUE(reports.empty());
    QSettings(QStringLiteral("democomm"), QStringLiteral("monitor")).remove("span");
}

// Each interval choice polls at the period its text names.
TEST(Monitor, IntervalChoicesPollAtTheirNamedPeriod) {
    TMonitorForm form;
    const auto* box = form.findChild<QComboBox*>(QStringLiteral("IntervalBox"));
    ASSERT_TRUE(box);
    for (int i = 0; i < box->count(); ++i) {
        const QString text = box->itemText(i);
        const int n = text.section(' ', 0, 0).toInt();
        const int ms = text == QStringLiteral("尽快")         ? 0
                       : text.endsWith(QStringLiteral(" 毫秒")) ? n
                                                               : n * 1000;
        EXPECT_EQ(box->itemData(i).toInt(), ms) << text.toStdString();
    }
}

// A device that refuses every request with a code the protocol leaves undefined: the panel
// shows the code in hexadecimal as it came.
TEST(Monitor, UndefinedExceptionCodeShownInHex) {
    testsupport::PtyPair device;
    QSocketNotifier requests(device.MasterFd(), QSocketNotifier::Read);
    QObject::connect(&requests, &QSocketNotifier::activated, [&] {
        uint8_t request[256];
        if (::read(device.MasterFd(), request, sizeof request) >= 2) {
            std::vector<uint8_t> refusal{request[0], uint8_t(request[1] | 0x80), 0x1F};
            const uint16_t crc = modbus::Crc16(refusal);
            refusal.push_back(uint8_t(crc & 0xFF));
            refusal.push_back(uint8_t(crc >> 8));
            device.Write(refusal);
        }
    });
    TMonitorForm form;
    std::vector<QString> reports;
    Drive(form, device.SlavePath(), reports, [&] {
        Click(form, "StartBtn");
        auto* label = form.findChild<QLabel*>(QStringLiteral("HealthException"));
        EXPECT_TRUE(testsupport::WaitUntil(
            [&] { return label->text().endsWith(QStringLiteral("(最近代码 1f)")); }, 5000))
            << label->text().toStdString();
        Click(form, "StopBtn");
    });
}

TEST(Monitor, RecordSurvivesSigkillWithEveryEarlierLineWhole) {
    testsim::Background sim({DEMOCOMM_SIM_PATH, "--no-alias", "--quiet"});
    QTemporaryDir dir;
    const QString record = dir.filePath("killed.csv");
    testsim::Background child({RECORD_CHILD_PATH, sim.Field("port"), record.toStdString()});
    ASSERT_TRUE(testsupport::WaitUntil([&] { return RecordLines(record).size() > 40; }, 15000));
    EXPECT_EQ(child.Stop(SIGKILL), -1);
    EXPECT_TRUE(ReadAll(record).endsWith('\n')); // one write per line: no line is cut
    for (const QString& line : RecordLines(record))
        ASSERT_EQ(line.count(QLatin1Char(',')), 20) << line.toStdString();
}

// The drawing of a bounded history: every sample's extremes kept, level runs and steady
// states reduced to their ends, a changing state drawn with its final level.
// Values as the register window shows them; the differences are unit minus system.
// Attempts in a stream of samples, as the table shows them: a clean closing, then one without
// the phase permission; a row selected zooms to its attempt, each closing is marked.
TEST(Monitor, AttemptsTableFollowsTheSamplesAndZoomsToARow) {
    TMonitorForm form;
    const auto bit = [](device::Input k) { return uint16_t(1u << k); };
    const uint16_t all = bit(device::kVoltagePermitted) | bit(device::kFrequencyPermitted) |
                         bit(device::kPhasePermitted);
    // Every 10 s an attempt, the odd ones without the phase permission.
    const auto attempts = [&](int n) {
        for (int i = 0; i < n * 100; ++i) {
            const double t = i / 10.0;
            const double u = std::fmod(t, 10);
            const bool odd = int(t / 10) % 2;
            monitor::Sample s{t,
                              {1000, 1003, 5000, 5010, int16_t(odd ? 2 : 1)},
                              0,
                              monitor::HaveValues | monitor::HaveStates};
            if (u >= 1 && u < 1.5)
                s.states |= bit(device::kSpeedUp);
            if (u >= 3 && u < 4.5)
                s.states |= odd ? uint16_t(all & ~bit(device::kPhasePermitted)) : all;
            if (u >= 4 && u < 4.3)
                s.states |= bit(device::kAdvanceAction);
            form.AddSample(s);
        }
    };
    attempts(2);
    form.SetView(0, 20, false);
    auto* table = form.findChild<QTableView*>(QStringLiteral("AttemptsTable"));
    ASSERT_TRUE(table);
    ASSERT_EQ(table->model()->rowCount(), 2);
    const auto cell = [&](int row, int column) {
        return table->model()->index(row, column).data().toString();
    };
    EXPECT_EQ(cell(0, 0), QStringLiteral("1.0"));
    EXPECT_EQ(cell(0, 3), QStringLiteral("0.3 / 0.3"));
    EXPECT_EQ(cell(0, 4), QStringLiteral("0.10 / 0.10"));
    EXPECT_TRUE(cell(0, 6).startsWith(QStringLiteral("增速1 "))) << cell(0, 6).toStdString();
    EXPECT_TRUE(cell(0, 5).startsWith(QStringLiteral("合格"))) << cell(0, 5).toStdString();
    EXPECT_TRUE(cell(1, 5).startsWith(QStringLiteral("有问题"))) << cell(1, 5).toStdString();
    EXPECT_EQ(cell(1, 2), QStringLiteral("2"));
    QList<double> marked;
    for (const QPointF& p :
         static_cast<QXYSeries*>(Chart(form, "AnalogChart")->chart()->series().last())->points())
        if (!std::isnan(p.y()) && !marked.contains(p.x()))
            marked << p.x();
    EXPECT_EQ(marked, (QList<double>{4.0, 14.0}));
    // What a redraw hands to the charts, closing marks included, as it says.
    form.AddSample({30, {}, 0, 0});
    const qsizetype handed = form.Redraw();
    qsizetype points = 0;
    for (const char* name : {"AnalogChart", "StateChart"})
        for (QAbstractSeries* series : Chart(form, name)->chart()->series())
            points += static_cast<QXYSeries*>(series)->count();
    EXPECT_EQ(handed, points);
    table->selectRow(1);
    const auto [t0, t1] = form.ViewRange();
    EXPECT_TRUE(t0 > 5 && t0 < 11 && t1 > 14 && t1 < 20) << t0 << " " << t1;
    Click(form, "ClearBtn");
    EXPECT_EQ(table->model()->rowCount(), 0);

    // A report of a dozen attempts runs over pages; every word stays inside the margins.
    attempts(12);
    QTemporaryDir dir;
    ASSERT_TRUE(form.ReportTo(dir.filePath("r.pdf")));
    testsim::Background boxes({"pdftotext", "-bbox", dir.filePath("r.pdf").toStdString(), "-"});
    ASSERT_EQ(boxes.Wait(20000), 0) << boxes.Output();
    const QString html = QString::fromStdString(boxes.Output());
    EXPECT_GE(html.count(QStringLiteral("<page ")), 2);
    const QRegularExpression word(QStringLiteral(
        R"re(xMin="([\d.]+)" yMin="([\d.]+)" xMax="([\d.]+)" yMax="([\d.]+)">([^<]*)<)re"));
    int words = 0;
    for (auto it = word.globalMatch(html); it.hasNext(); ++words) {
        const QRegularExpressionMatch m = it.next();
        EXPECT_TRUE(m.captured(1).toDouble() >= 35 && m.captured(2).toDouble() >= 35 &&
                    m.captured(3).toDouble() <= 595 - 35 && m.captured(4).toDouble() <= 842 - 35)
            << m.captured(5).toStdString() << " at " << m.captured(0).toStdString();
    }
    EXPECT_GT(words, 100);
    // Through its button: the file chosen gets the report; a choice cancelled writes nothing.
    std::vector<QString> reports;
    ui::SetBoxSink([&](const ui::BoxRecord& r) { reports.push_back(r.text); });
    for (const QString& chosen : {dir.filePath("button.pdf"), QString()}) {
        form.SetReportChooser([&] { return chosen; });
        Click(form, "ReportBtn");
    }
    ui::SetBoxSink({});
    EXPECT_TRUE(QFile::exists(dir.filePath("button.pdf")));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 2);
    EXPECT_TRUE(reports.empty());
}

// The simulator's cycle (its clock 10 times faster) watched live and recorded, then the record
// opened again: the same attempts, table and chart, each closing where the simulator logged
// it. A copy with unreadable lines opens with them counted; a file of another program is
// refused and what is shown stays; Start returns to live.
TEST(Monitor, RecordOpenedAgainShowsWhatWasWatchedLive) {
    testsim::Background sim({DEMOCOMM_SIM_PATH, "--no-alias", "--seed", "1", "--speed", "10"});
    QTemporaryDir dir;
    const QString record = dir.filePath("live.csv");
    TMonitorForm form;
    std::vector<QString> reports;
    std::vector<analysis::Attempt> live;
    std::vector<QList<QPointF>> drawn;
    const auto chartPoints = [&] {
        std::vector<QList<QPointF>> all;
        for (const char* name : {"AnalogChart", "StateChart"})
            for (QAbstractSeries* series : Chart(form, name)->chart()->series())
                all.push_back(static_cast<QXYSeries*>(series)->points());
        return all;
    };
    const auto near = [](double a, double b) { return std::abs(a - b) <= 0.0011; };
    Drive(form, sim.Field("port"), reports, [&] {
        ASSERT_TRUE(form.RecordTo(record));
        Click(form, "StartBtn");
        // A closing, and the next attempt begun.
        ASSERT_TRUE(testsupport::WaitUntil(
            [&] {
                const auto& a = form.Analysis().Attempts();
                return a.size() >= 2 && a.front().closing;
            },
            30000));
        Click(form, "StopBtn");
        live = form.Analysis().Attempts();
        const QPair<double, double> view = form.ViewRange();
        form.SetView(view.first, view.second, true);
        drawn = chartPoints();

        ASSERT_TRUE(form.OpenRecord(record));
        EXPECT_TRUE(form.ShowingRecord() && !form.Running());
        EXPECT_EQ(form.ViewRange(), view);
        const std::vector<QList<QPointF>> reopened = chartPoints();
        ASSERT_EQ(reopened.size(), drawn.size());
        for (std::size_t i = 0; i < drawn.size(); ++i) {
            ASSERT_EQ(reopened[i].size(), drawn[i].size()) << i;
            for (qsizetype j = 0; j < drawn[i].size(); ++j)
                EXPECT_TRUE(near(reopened[i][j].x(), drawn[i][j].x()) &&
                            (reopened[i][j].y() == drawn[i][j].y() ||
                             (std::isnan(reopened[i][j].y()) && std::isnan(drawn[i][j].y()))))
                    << i << " " << j;
        }

        // Unreadable lines are counted; a file of another program changes nothing.
        QStringList lines = RecordLines(record);
        lines.insert(3, QStringLiteral("garbage"));
        lines.insert(5, lines[4].left(20));
        QFile copy(dir.filePath("damaged.csv"));
        ASSERT_TRUE(copy.open(QIODevice::WriteOnly));
        copy.write(lines.join('\n').toUtf8() + '\n');
        copy.close();
        reports.clear();
        // Opened while polling (the record ended first, so that it stays as watched): polling
        // stops.
        Click(form, "RecordBtn");
        Click(form, "StartBtn");
        ASSERT_TRUE(form.Running() && !form.ShowingRecord());
        ASSERT_TRUE(form.OpenRecord(copy.fileName()));
        EXPECT_FALSE(form.Running());
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_TRUE(reports[0].contains(QStringLiteral("2 行无法读取")))
            << reports[0].toStdString();
        QFile other(dir.filePath("other.csv"));
        ASSERT_TRUE(other.open(QIODevice::WriteOnly));
        other.write("a,b,c\n1,2,3\n");
        other.close();
        reports.clear();
        EXPECT_FALSE(form.OpenRecord(other.fileName()));
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_TRUE(reports[0].startsWith(
            analysis::RecordErrorText(analysis::RecordError::NotARecord, other.fileName())
                .left(10)))
            << reports[0].toStdString();
        EXPECT_TRUE(form.ShowingRecord());
        EXPECT_EQ(form.Analysis().Attempts().size(), live.size());
        reports.clear();
        EXPECT_FALSE(form.ReportTo(dir.filePath("no/such/folder/report.pdf")));
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_TRUE(reports[0].startsWith(QStringLiteral("无法写入报告")))
            << reports[0].toStdString();
        reports.clear();

        Click(form, "StartBtn");
        EXPECT_FALSE(form.ShowingRecord());
        EXPECT_TRUE(form.Running());
        EXPECT_EQ(form.Analysis().Attempts().size(), 0u);
        Click(form, "StopBtn");
    });
    EXPECT_TRUE(reports.empty());
    ASSERT_TRUE(form.OpenRecord(record));
    const std::vector<analysis::Attempt>& again = form.Analysis().Attempts();
    ASSERT_EQ(again.size(), live.size());
    for (std::size_t i = 0; i < live.size(); ++i) {
        const analysis::Attempt &a = live[i], &b = again[i];
        EXPECT_TRUE(near(a.start, b.start) && near(a.end, b.end)) << i;
        // The open attempt of the stopped run ends with the record's data.
        EXPECT_EQ(a.verdict == analysis::Verdict::Open ? analysis::Verdict::Incomplete : a.verdict,
                  b.verdict)
            << i;
        ASSERT_EQ(bool(a.closing), bool(b.closing)) << i;
        if (a.closing) {
            EXPECT_TRUE(near(a.closing->before, b.closing->before) &&
                        near(a.closing->after, b.closing->after) &&
                        a.closing->voltageBefore == b.closing->voltageBefore &&
                        a.closing->frequencyAfter == b.closing->frequencyAfter)
                << i;
        }
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(a.pulses[k].count, b.pulses[k].count) << i << " " << k;
    }
    // Each closing found where the simulator closed (its advance action, Unix ms).
    const analysis::RecordStats& st = [&]() -> analysis::RecordStats {
        analysis::Analyser an;
        analysis::RecordStats stats;
        analysis::LoadRecord(record, an, stats);
        return stats;
    }();
    const auto wall = [&](double t) { return double(st.originMs) + t * 1000; };
    const std::vector<double> closings = testsim::LoggedClosings(sim, wall(st.firstT), wall(st.lastT));
    std::size_t found = 0;
    for (const analysis::Attempt& a : again)
        if (a.closing) {
            ++found;
            EXPECT_EQ(a.verdict, analysis::Verdict::Passed);
            EXPECT_TRUE(std::any_of(closings.begin(), closings.end(), [&](double ms) {
                return ms > wall(a.closing->before) - 50 && ms <= wall(a.closing->after) + 100;
            })) << sim.Output();
        }
    EXPECT_EQ(found, closings.size());
    EXPECT_GE(found, 1u);

    // The report of the record: its text holds the verdicts and figures; its pages render.
    const QString pdf = dir.filePath("report.pdf");
    ASSERT_TRUE(form.ReportTo(pdf));
    if (qEnvironmentVariableIsSet("MONITOR_REPORT_COPY"))
        QFile::copy(pdf, qEnvironmentVariable("MONITOR_REPORT_COPY"));
    testsim::Background text({"pdftotext", "-layout", pdf.toStdString(), "-"});
    ASSERT_EQ(text.Wait(20000), 0) << text.Output();
    const QString words = QString::fromStdString(text.Output());
    QStringList expected{QStringLiteral("同期报告"), QStringLiteral(DEMOCOMM_VERSION),
                         QStringLiteral("允许压差"), QStringLiteral("从机 1"),
                         QStringLiteral("第 %1 次合闸").arg(found)};
    for (const analysis::Attempt& a : again)
        expected << monitor::AttemptCells(a).mid(3, 3);
    for (const QString& e : expected)
        EXPECT_TRUE(words.contains(e)) << e.toStdString() << "\n" << words.toStdString();
    testsim::Background render(
        {"pdftoppm", "-r", "50", "-png", pdf.toStdString(), dir.filePath("page").toStdString()});
    EXPECT_EQ(render.Wait(20000), 0) << render.Output();
    EXPECT_EQ(render.Output(), "");
}

// The attempts table: the verdict cell says why an attempt is incomplete and what was found,
// and it alone is coloured.
TEST(AttemptsTable, VerdictCellSaysWhyAndAloneIsColoured) {
    using namespace device;
    analysis::Analyser an;
    const uint16_t permitted = uint16_t(1u << kVoltagePermitted | 1u << kFrequencyPermitted);
    const std::pair<double, uint16_t> moments[] = {
        {0.0, permitted}, {0.1, uint16_t(permitted | 1u << kAdvanceAction)}, {0.2, 0},
        {1.0, uint16_t(1u << kSpeedUp)}, {1.1, uint16_t(1u << kSpeedUp)}, {20.0, 0}};
    for (const auto& [t, states] : moments)
        an.Add({t, {1000, 1000, 5000, 5000, 1}, states,
                uint8_t(analysis::HaveValues | analysis::HaveStates)});
    an.Finish();
    ASSERT_EQ(an.Attempts().size(), 2u);
    const QStringList finding = monitor::AttemptCells(an.Attempts()[0]);
    EXPECT_TRUE(finding[monitor::kAttemptVerdict].endsWith(
        QString::fromStdString(an.Attempts()[0].findings.at(0).text)));
    EXPECT_EQ(monitor::AttemptCells(an.Attempts()[1])[monitor::kAttemptVerdict],
              QString::fromUtf8(analysis::VerdictText(analysis::Verdict::Incomplete)) +
                  QStringLiteral(" (链路中断)"));
    monitor::AttemptsModel model(an, nullptr);
    model.Refresh();
    for (int column = 0; column < monitor::kAttemptColumns; ++column)
        EXPECT_EQ(model.data(model.index(0, column), Qt::BackgroundRole).isValid(),
                  column == monitor::kAttemptVerdict)
            << column;
}

TEST(SampleStore, SignMagnitudeAndDifferences) {
    EXPECT_EQ(modbus::FromSignMagnitude(0x8005), -5);
    EXPECT_EQ(modbus::FromSignMagnitude(0x4005), 0x4005);
    monitor::Sample s;
    s.values = {1000, 990, 5000, 5004, 1};
    const int32_t expected[monitor::AnalogChannels] = {1000, 990, -10, 5000, 5004, 4};
    for (int c = 0; c < monitor::AnalogChannels; ++c)
        EXPECT_EQ(monitor::ChannelValue(s, c), expected[c]) << c;
}

TEST(SampleStore, ThinKeepsExtremesAndStepsOfTheKeptSamples) {
    monitor::SampleStore store(1000);
    for (int i = 0; i < 5000; ++i)
        store.Append({i * 0.1,
                      {int16_t(i * 7919 % 1000), 500, 0, 0, 0},
                      uint16_t(2 | (i / 100 % 2)),
                      monitor::HaveValues | monitor::HaveStates});
    ASSERT_GE(store.Size(), 1000u);
    ASSERT_LT(store.Size(), 1064u);
    EXPECT_DOUBLE_EQ(store[store.Size() - 1].t, 499.9); // the oldest went
    int16_t lo = 1000, hi = -1;
    for (std::size_t i = 0; i < store.Size(); ++i)
        lo = std::min(lo, store[i].values[0]), hi = std::max(hi, store[i].values[0]);
    const monitor::Drawing d = store.Thin(store[0].t, 499.9, 7);
    const auto [low, high] = std::minmax_element(
        d.analog[0].begin(), d.analog[0].end(), [](QPointF a, QPointF b) { return a.y() < b.y(); });
    EXPECT_EQ(low->y(), lo);
    EXPECT_EQ(high->y(), hi);
    EXPECT_EQ(d.analog[1].size(), 2); // a level line: its two ends
    EXPECT_EQ(d.states[1].size(), 2);
    EXPECT_EQ(d.states[1].front().y(), 10 * 1.5 + 1);
    EXPECT_EQ(d.states[0].back().y(), 11 * 1.5 + (store[store.Size() - 1].states & 1));
}

TEST(Monitor, UnwritableRecordIsReportedAndPollingGoesOnAndRecordingRestarts) {
    testsim::Background sim({DEMOCOMM_SIM_PATH, "--no-alias", "--quiet"});
    QTemporaryDir dir;
    QFile plain(dir.filePath("plain"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    TMonitorForm form;
    std::vector<QString> reports;
    Drive(form, sim.Field("port"), reports, [&] {
        Click(form, "StartBtn");
        // A folder that is a file, and a device that is always full.
        EXPECT_FALSE(form.RecordTo(dir.filePath("plain/record.csv")));
        EXPECT_FALSE(form.RecordTo(QStringLiteral("/dev/full")));
        const std::size_t before = form.Samples().Size();
        ASSERT_TRUE(testsupport::WaitUntil([&] { return form.Samples().Size() > before + 2; }));
        EXPECT_TRUE(form.Running());
        ASSERT_TRUE(form.RecordTo(dir.filePath("good.csv")));
        const std::size_t from = form.Samples().Size();
        ASSERT_TRUE(testsupport::WaitUntil([&] { return form.Samples().Size() >= from + 2; }));
        Click(form, "RecordBtn"); // stops recording
        const std::size_t to = form.Samples().Size();
        EXPECT_EQ(RecordLines(dir.filePath("good.csv")).size(), qsizetype(to - from + 1));
        ASSERT_TRUE(form.RecordTo(dir.filePath("again.csv")));
        form.reject(); // Esc: the window goes, and polling and recording with it
    });
    EXPECT_FALSE(form.Running() || form.Session().IsOpen() || form.Recording().Active());
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_TRUE(reports[0].contains(QString::fromLocal8Bit(strerror(ENOTDIR))));
    EXPECT_TRUE(reports[1].contains(QString::fromLocal8Bit(strerror(ENOSPC))));
}

TEST(Monitor, PortThatCannotBeOpenedOrGoesAwayIsReportedAndStartRetries) {
    QTemporaryDir runtime;
    ::setenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit().constData(), 1);
    TMonitorForm form;
    std::vector<QString> reports;
    std::optional<testsim::Background> sim;
    Drive(form, "COM2", reports, [&] {
        Click(form, "StartBtn"); // no simulator yet
        EXPECT_FALSE(form.Running());
        ASSERT_EQ(reports.size(), 1u);
        sim.emplace(std::vector<std::string>{"env",
                                             "XDG_RUNTIME_DIR=" + runtime.path().toStdString(),
                                             DEMOCOMM_SIM_PATH, "--quiet"});
        ASSERT_FALSE(sim->Field("alias").empty());
        Click(form, "StartBtn");
        ASSERT_TRUE(testsupport::WaitUntil([&] { return form.Samples().Size() >= 2; }));
        sim->Stop(SIGKILL); // the adapter is pulled
        EXPECT_TRUE(testsupport::WaitUntil([&] { return !form.Running() && reports.size() == 2; }));
    });
    ::unsetenv("XDG_RUNTIME_DIR");
    ASSERT_EQ(reports.size(), 2u); // the same report as the other windows give
    for (const QString& r : reports)
        EXPECT_TRUE(r.startsWith(QStringLiteral("Error opening serial port."))) << r.toStdString();
}

// Over a serial device server: a connection the server drops is one report with the server,
// port and reason, polling stops; Start tries again, and a refused connection is again one
// report, though it comes after the open, from the background.
TEST(Monitor, NetworkPortLostIsOneReportAndStartRetries) {
    TMonitorForm form;
    std::vector<QString> reports;
    testsim::Background sim({DEMOCOMM_SIM_PATH, "--quiet", "--tcp", "0"});
    const std::string port = sim.Field("port");
    Drive(form, port, reports, [&] {
        Click(form, "StartBtn");
        ASSERT_TRUE(testsupport::WaitUntil([&] { return form.Samples().Size() >= 2; }));
        sim.Stop(SIGKILL); // the server goes
        ASSERT_TRUE(testsupport::WaitUntil([&] { return !form.Running() && reports.size() == 1; }));
        Click(form, "StartBtn");
        EXPECT_TRUE(testsupport::WaitUntil([&] { return !form.Running() && reports.size() == 2; }));
        testsupport::Pump(200);
    });
    ASSERT_EQ(reports.size(), 2u) << reports.back().toStdString();
    const QString where = QStringLiteral("Server: 127.0.0.1, port ");
    EXPECT_TRUE(reports[0].startsWith(QStringLiteral("Serial port lost.") + where));
    EXPECT_TRUE(reports[0].contains(QStringLiteral("Reason: Connection reset by peer")));
    EXPECT_TRUE(reports[1].startsWith(QStringLiteral("Error opening serial port.") + where));
    EXPECT_TRUE(reports[1].contains(QStringLiteral("Reason: Connection refused")));
}

} // namespace
