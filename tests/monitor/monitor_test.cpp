// TMonitorForm against democomm-sim, driven as users drive it: Start, Stop, 记录, the health
// panel and the record file.
#include "modbus/codec.h"
#include "monitor/monitor.h"
#include "monitor/samples.h"
#include "ui/dialogs.h"

#include "../sim/process.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>

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
    std::vector<std::string> registers, inputs;
    testsupport::WaitUntil([&] {
        registers.clear(), inputs.clear();
        for (const std::string& l : sim.Lines()) {
            if (const auto at = l.find("| registers "); at != std::string::npos)
                registers.push_back(l.substr(at + 12));
            if (const auto at = l.find("| inputs "); at != std::string::npos)
                inputs.push_back(l.substr(at + 9));
        }
        return inputs.size() >= form.Samples().Size();
    });
    const QStringList lines = RecordLines(record);
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

struct FaultCase {
    const char* name;
    std::vector<std::string> simFlags;
    const char* label;   // the health value that counts every request
    const char* outcome; // the record's outcome of every sample
};

class MonitorFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(MonitorFaults, EachFaultInItsCounterAndTheRecord) {
    const FaultCase& c = GetParam();
    testsim::Background sim(testsim::FaultSimulator(DEMOCOMM_SIM_PATH, c.simFlags));
    QTemporaryDir dir;
    TMonitorForm form;
    form.Session().setResponseTimeout(testsim::FaultTableTimeoutMs);
    std::vector<QString> reports;
    Drive(form, sim.Field("port"), reports, [&] {
        ASSERT_TRUE(form.RecordTo(dir.filePath("r.csv")));
        Click(form, "StartBtn");
        ASSERT_TRUE(testsupport::WaitUntil([&] { return form.Samples().Size() >= 3; }, 15000));
        Click(form, "StopBtn");
        form.Redraw();
    });
    const master::Statistics s = form.Session().Stats();
    EXPECT_EQ(s.Ended(), s.requestsSent); // Stop ended the request out, if any, as aborted
    EXPECT_EQ(form.findChild<QLabel*>(QLatin1String(c.label))->text().section(' ', 0, 0),
              QString::number(s.requestsSent - s.aborted));
    const QStringList lines = RecordLines(dir.filePath("r.csv"));
    ASSERT_EQ(lines.size(), qsizetype(form.Samples().Size() + 1));
    for (qsizetype i = 1; i < lines.size(); ++i)
        EXPECT_TRUE(lines[i].endsWith(QLatin1Char(',') + QLatin1String(c.outcome)))
            << lines[i].toStdString();
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Faults, MonitorFaults, ::testing::Values(
    FaultCase{"Clean", {}, "HealthAccepted", "ok"},
    FaultCase{"Echo", {"--echo", "1"}, "HealthEcho", "ok"},
    FaultCase{"Noise", {"--noise", "1"}, "HealthAccepted", "ok"},
    FaultCase{"Drop", {"--drop", "1"}, "HealthTimeout", "timeout"},
    FaultCase{"BadCrc", {"--bad-crc", "1"}, "HealthCrc", "crc"},
    FaultCase{"Exception", {"--exception", "1"}, "HealthException", "exception 4"},
    FaultCase{"Delay", {"--delay", "1"}, "HealthTimeout", "timeout"},
    FaultCase{"Split", {"--split", "1"}, "HealthShort", "short"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

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
