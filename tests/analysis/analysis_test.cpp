// The analysis on synthetic sample streams: each row is a little script of the device's
// states over time, sampled at 10 per second unless the row says otherwise, and the attempts
// the analysis must find in it.
#include "analysis/attempts.h"
#include "analysis/report.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

namespace {

using namespace analysis;
using namespace device;

constexpr uint16_t B(Input k) {
    return uint16_t(1u << k);
}
constexpr uint16_t kAllPermitted =
    B(kVoltagePermitted) | B(kFrequencyPermitted) | B(kPhasePermitted);

// The device at a moment: differences (unit minus system, in counts), the paralleling number
// and the states. The stream builder turns it into a sample.
struct Moment {
    int du = 0, df = 0, unit = 1;
    uint16_t states = 0;
    uint8_t have = HaveValues | HaveStates;
    bool skip = false; // not sampled (polling stopped)
};
using Script = std::function<Moment(double t)>;

// A clean synchronisation of unit `unit`, starting at `t0`: out of tolerance with speed-up
// pulses (0.5 s every 3 s) until 10 s, then voltage and frequency permitted, phase permitted
// from 16 s, the advance action from 19.88 s held 3 s; closed (differences 0, no
// permissions) from 19.98 s.
Moment Clean(double t, double t0, int unit, uint16_t drop = 0, int dfAtClose = 4,
             double advanceWidth = 3.0) {
    Moment m;
    m.unit = unit;
    const double u = t - t0;
    if (u < 0)
        return m;
    if (u < 10) {
        m.du = -50, m.df = -40;
        m.states = B(kOutOfTolerance);
        if (std::fmod(u, 3.0) < 0.5)
            m.states |= B(kSpeedUp);
        return m;
    }
    const bool closed = u >= 19.98;
    if (!closed) {
        m.du = 0, m.df = dfAtClose;
        m.states = B(kVoltagePermitted) | B(kFrequencyPermitted);
        if (u >= 16)
            m.states |= B(kPhasePermitted);
        m.states &= uint16_t(~drop);
    }
    if (u >= 19.88 && u < 19.88 + advanceWidth)
        m.states |= B(kAdvanceAction);
    return m;
}

struct Row {
    const char* name;
    Script script;
    double until;      // seconds of samples
    double step = 0.1; // sampling interval
    bool setpoints = true;
    // Expected, per attempt: verdict, finding keys (joined by spaces), paralleling number.
    std::vector<std::tuple<Verdict, std::string, int>> attempts;
    std::function<void(const std::vector<Attempt>&)> more{};
};

class Streams : public ::testing::TestWithParam<Row> {};

Sample ToSample(double t, const Moment& m) {
    Sample s;
    s.t = t;
    s.values = {1000, int16_t(1000 + m.du), 5000, int16_t(5000 + m.df), int16_t(m.unit)};
    s.states = m.states;
    s.have = m.have;
    return s;
}

// Set-points as the simulator's defaults: lead 120 ms, closing 100 ms, 3.0 V, 0.20 Hz.
SetpointReading Defaults(double t) {
    return {t, {120, 100, 30, 20, 2000, 400, 3000, 500}};
}

TEST_P(Streams, Attempts) {
    const Row& row = GetParam();
    Analyser an;
    if (row.setpoints)
        an.AddSetpoints(Defaults(0));
    const int n = int(std::lround(row.until / row.step));
    for (int i = 0; i <= n; ++i) {
        const double t = i * row.step;
        if (const Moment m = row.script(t); !m.skip)
            an.Add(ToSample(t, m));
    }
    an.Finish();
    const auto& got = an.Attempts();
    ASSERT_EQ(got.size(), row.attempts.size()) << Text(an);
    for (std::size_t i = 0; i < got.size(); ++i) {
        const auto& [verdict, findings, unit] = row.attempts[i];
        std::string keys;
        for (const Finding& f : got[i].findings)
            keys += (keys.empty() ? "" : " ") + f.key;
        EXPECT_EQ(got[i].verdict, verdict) << "attempt " << i << "\n" << Text(an);
        EXPECT_EQ(keys, findings) << "attempt " << i;
        EXPECT_EQ(got[i].parallelingNumber, unit) << "attempt " << i;
        EXPECT_FALSE(got[i].closing && got[i].verdict == Verdict::Incomplete);
    }
    if (row.more)
        row.more(got);
}

const Row kRows[] = {
    {"CleanClosing",
     [](double t) { return Clean(t, 1, 1); },
     30,
     0.1,
     true,
     {{Verdict::Passed, "", 1}},
     [](const std::vector<Attempt>& a) {
         const Closing& c = *a[0].closing;
         // The edge at 20.88 lies between the samples at 20.8 and 20.9.
         EXPECT_NEAR(c.before, 20.8, 1e-9);
         EXPECT_NEAR(c.after, 20.9, 1e-9);
         EXPECT_NEAR(a[0].start, 1.0, 1e-9);
         EXPECT_NEAR(a[0].TimeToClose(), 19.9, 1e-9);
         EXPECT_EQ(c.frequencyBefore, 4);
         EXPECT_NEAR(c.slipHz, 0.04, 1e-9);
         // 360° x 0.04 Hz x 0.120 s
         EXPECT_NEAR(*c.phaseAdvanceDegrees, 1.728, 1e-9);
         EXPECT_NEAR(c.permissionFor[kPhasePermission], 20.8 - 17.0, 0.11);
         EXPECT_NEAR(c.permissionFor[kVoltagePermission], 20.8 - 11.0, 0.11);
         // Speed-up pulses at 0, 3, 6, 9 s into the attempt, each seen for 0.5 s.
         EXPECT_EQ(a[0].pulses[kSpeedUpPulses].count, 4);
         EXPECT_NEAR(a[0].pulses[kSpeedUpPulses].width, 2.0, 0.21);
         EXPECT_EQ(a[0].pulses[kVoltageUpPulses].count, 0);
         EXPECT_FALSE(c.singleSample);
     }},
    {"ClosingWithoutPhasePermission",
     [](double t) { return Clean(t, 1, 1, B(kPhasePermitted)); },
     30,
     0.1,
     true,
     {{Verdict::Finding, "phase_permitted_absent", 1}}},
    {"ClosingOutsideTheAllowedFrequencyDifference",
     [](double t) { return Clean(t, 1, 1, 0, 25); },
     30,
     0.1,
     true,
     {{Verdict::Finding, "frequency_difference", 1}}},
    {"WithoutSetpointsTheDifferencesAreNotJudged",
     [](double t) { return Clean(t, 1, 1, 0, 25); },
     30,
     0.1,
     false,
     {{Verdict::Passed, "", 1}},
     [](const std::vector<Attempt>& a) {
         EXPECT_FALSE(a[0].closing->phaseAdvanceDegrees);
         EXPECT_FALSE(a[0].setpoints);
     }},
    // A 60 ms advance pulse seen by one sample: a closing, said to be short.
    {"AdvancePulseSeenInOneSample",
     [](double t) { return Clean(t, 1, 1, 0, 4, 0.06); },
     30,
     0.1,
     true,
     {{Verdict::Passed, "", 1}},
     [](const std::vector<Attempt>& a) { EXPECT_TRUE(a[0].closing->singleSample); }},
    // A 40 ms pulse between two samples: never a closing, but a closing not seen.
    {"AdvancePulseBetweenSamples",
     [](double t) {
         Moment m = Clean(t, 1, 1, 0, 4, 0.04);
         m.states &= uint16_t(~B(kAdvanceAction));
         return m;
     },
     30,
     0.1,
     true,
     {{Verdict::Unsure, "advance_action_not_seen", 1}},
     [](const std::vector<Attempt>& a) {
         EXPECT_NEAR(a[0].missedBefore, 20.9, 1e-9);
         EXPECT_NEAR(a[0].missedAfter, 21.0, 1e-9);
     }},
    // The device stops answering from 15 s: failed samples (no parts) every 1.1 s.
    {"AttemptCutByALostLink",
     [](double t) {
         Moment m = Clean(t, 1, 1);
         if (t >= 15)
             m.have = 0;
         return m;
     },
     30,
     0.1,
     true,
     {{Verdict::Incomplete, "", 1}},
     [](const std::vector<Attempt>& a) { EXPECT_EQ(a[0].cut, "链路中断"); }},
    // Stop at 15 s, start again at 22 s: the advance action is then already on, with no
    // edge in the data, so there is no closing.
    {"StopMidAttempt",
     [](double t) {
         Moment m = Clean(t, 1, 1);
         m.skip = t >= 15 && t < 21.95;
         if (t >= 21.95 && t < 22.05)
             m.have |= RunStart;
         return m;
     },
     30,
     0.1,
     true,
     {{Verdict::Incomplete, "", 1}},
     [](const std::vector<Attempt>& a) { EXPECT_EQ(a[0].cut, "轮询停止"); }},
    {"TwoUnitsOneAfterTheOther",
     [](double t) { return t < 30 ? Clean(t, 1, 1) : Clean(t, 31, 2); },
     60,
     0.1,
     true,
     {{Verdict::Passed, "", 1}, {Verdict::Passed, "", 2}}},
    // Data that begins with the permissions already present: a closing whose start was not
    // seen.
    {"DataBeginsMidAttempt",
     [](double t) { return Clean(t + 15, 1, 3); },
     15,
     0.1,
     true,
     {{Verdict::Passed, "", 3}},
     [](const std::vector<Attempt>& a) {
         EXPECT_FALSE(a[0].startSeen);
         EXPECT_FALSE(a[0].closing->riseSeen[kVoltagePermission]);
     }},
    // Sampling once a second: a missing sample is no lost link.
    {"SlowSampling",
     [](double t) { return Clean(t, 1, 1); },
     30,
     1.0,
     true,
     {{Verdict::Passed, "", 1}},
     [](const std::vector<Attempt>& a) {
         EXPECT_NEAR(a[0].closing->Spacing(), 1.0, 1e-9);
         // How sure the times are, in milliseconds.
         EXPECT_NE(a[0].notes.at(0).find("相隔 1000 ms 的两次采样之间"), std::string::npos)
             << a[0].notes.at(0);
     }},
};

INSTANTIATE_TEST_SUITE_P(Rows, Streams, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace

// The record reader: what it reads, skips and refuses. Each file is the header (with the byte
// order mark unless the row says otherwise) and the row's lines.
#include "analysis/record.h"

#include <QTemporaryDir>

namespace {

const char* kOk1 =
    "2026-12-06T21:45:03.100+08:00,0.100,1,1000,1000,5000,5004,1,0,1,1,1,0,0,0,0,0,0,0,0,ok";
const char* kOk2 =
    "2026-12-06T21:45:03.200+08:00,0.200,1,1000,1001,5000,5004,1,1,1,1,1,0,0,0,0,0,0,0,0,ok";
const char* kSetpoints =
    "2026-12-06T21:45:03.000+08:00,0.000,1,,,,,,,,,,,,,,,,,,setpoints 越前时间=120 "
    "合闸时间=100 允许压差=30 允许频差=20 均压周期=2000 均压脉冲宽度=400 "
    "均频周期=3000 均频脉冲宽度=500";

struct FileRow {
    const char* name;
    std::string body; // after the header
    analysis::RecordError error;
    long long samples, setpoints, skipped;
    std::string attempts = ""; // verdict keys
    bool bom = true;
    std::string header = analysis::RecordHeader().toStdString();
};

class Records : public ::testing::TestWithParam<FileRow> {};

TEST_P(Records, ReadSkippedOrRefused) {
    const FileRow& row = GetParam();
    QTemporaryDir dir;
    const QString path = dir.filePath("r.csv");
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray::fromStdString((row.bom ? std::string(analysis::RecordByteOrderMark) : "") +
                                      row.header + row.body));
    f.close();
    analysis::Analyser an;
    analysis::RecordStats st;
    const analysis::RecordError e = analysis::LoadRecord(path, an, st);
    ASSERT_EQ(e, row.error);
    if (e != analysis::RecordError::None) {
        EXPECT_TRUE(analysis::RecordErrorText(e, path).contains(path));
        EXPECT_TRUE(an.Attempts().empty() && an.Setpoints().empty());
        return;
    }
    EXPECT_EQ(st.samples, row.samples);
    EXPECT_EQ(st.setpoints, row.setpoints);
    EXPECT_EQ(st.skipped, row.skipped);
    EXPECT_EQ(st.samples + st.setpoints + st.skipped, st.lines);
    std::string verdicts;
    for (const Attempt& a : an.Attempts())
        verdicts += (verdicts.empty() ? "" : " ") + std::string(VerdictKey(a.verdict));
    EXPECT_EQ(verdicts, row.attempts);
}

std::string Lines(std::initializer_list<std::string> l) {
    std::string out;
    for (const std::string& s : l)
        out += s + "\n";
    return out;
}

const FileRow kFiles[] = {
    {"SetpointsAndAClosing", Lines({kSetpoints, kOk1, kOk2}), analysis::RecordError::None, 2, 1, 0,
     "passed"},
    {"WithoutByteOrderMark", Lines({kOk1, kOk2}), analysis::RecordError::None, 2, 0, 0, "passed",
     false},
    {"FromAnotherProgram", Lines({kOk1}), analysis::RecordError::NotARecord, 0, 0, 0, "", true,
     "time,system_voltage,unit_voltage\n"},
    {"Empty", "", analysis::RecordError::NotARecord, 0, 0, 0, "", false, ""},
    // Damaged lines: too few columns, a state of 2, values partly empty, time backwards, a
    // bad time, a set-point missing, a last line cut short.
    {"DamagedLinesSkippedAndCounted",
     Lines(
         {kOk1, std::string(kOk1).substr(0, 50),
          "2026-12-06T21:45:03.150+08:00,0.150,1,1000,1000,5000,5004,1,0,2,1,1,0,0,0,0,0,0,0,0,ok",
          "2026-12-06T21:45:03.150+08:00,0.150,1,1000,,5000,5004,1,0,1,1,1,0,0,0,0,0,0,0,0,ok",
          "2026-12-06T21:45:03.050+08:00,0.050,1,1000,1000,5000,5004,1,0,1,1,1,0,0,0,0,0,0,0,0,ok",
          "2026-13-06T21:45:03.150+08:00,0.150,1,1000,1000,5000,5004,1,0,1,1,1,0,0,0,0,0,0,0,0,ok",
          std::string(kSetpoints).substr(0, std::string(kSetpoints).size() - 20)}) +
         kOk2,
     analysis::RecordError::None, 1, 0, 7, ""},
    // The last minute of the day and a zone west of Greenwich are times like any other.
    {"LastMinuteWestOfGreenwich",
     Lines({"2026-12-31T23:59:59.900-05:30,0.100,1,1000,1000,5000,5004,1,0,1,1,1,0,0,0,0,0,0,0,0,ok",
            "2027-01-01T00:00:00.000-05:30,0.200,1,1000,1001,5000,5004,1,1,1,1,1,0,0,0,0,0,0,0,0,ok"}),
     analysis::RecordError::None, 2, 0, 0, "passed"},
    // A failed sample keeps its line, without data.
    {"FailedSample",
     Lines({kOk1, "2026-12-06T21:45:03.150+08:00,0.150,1,,,,,,,,,,,,,,,,,,timeout", kOk2}),
     analysis::RecordError::None, 3, 0, 0, "passed"},
};

INSTANTIATE_TEST_SUITE_P(Rows, Records, ::testing::ValuesIn(kFiles),
                         [](const auto& info) { return std::string(info.param.name); });

// A record's time carries its offset from UTC, east and west, in hours and minutes.
TEST(Records, TimeWithItsOffset) {
    const QDateTime at(QDate(2026, 12, 6), QTime(21, 45, 3, 120), Qt::UTC);
    const std::pair<int, const char*> zones[] = {{8 * 3600, "2026-12-07T05:45:03.120+08:00"},
                                                 {-(5 * 3600 + 1800), "2026-12-06T16:15:03.120-05:30"},
                                                 {0, "2026-12-06T21:45:03.120+00:00"}};
    for (const auto& [offset, text] : zones)
        EXPECT_EQ(analysis::RecordTime(at.toOffsetFromUtc(offset)), QByteArray(text)) << offset;
}

} // namespace

// End to end: the simulator's cycle (its clock 10 times faster, a cycle in 6 s), recorded by
// democomm-cli for a little under two cycles and analysed, gives one passed closing per
// closing the simulator logged, each between the two samples around it; analyse says so too.
#include "../sim/process.h"

namespace {

TEST(EndToEnd, RecordedCycleMatchesTheSimulatorsClosings) {
    QTemporaryDir dir;
    testsim::Background sim({DEMOCOMM_SIM_PATH, "--no-alias", "--seed", "1", "--speed", "10"});
    const std::string port = sim.Field("port");
    ASSERT_FALSE(port.empty());
    const std::string record = dir.filePath("session.csv").toStdString();
    testsim::Background cli({"sh", "-c", "out=$1; shift; exec \"$@\" >\"$out\" 2>/dev/null", "sh",
                             record, DEMOCOMM_CLI_PATH, "--port", port, "--format", "csv", "watch",
                             "all", "--interval", "100", "--count", "115"});
    // A sample failed on a loaded machine (4, 5) keeps its line; the rest must still match.
    const std::optional<int> code = cli.Wait(30000);
    ASSERT_TRUE(code == 0 || code == 4 || code == 5) << code.value_or(-2);

    analysis::Analyser an;
    analysis::RecordStats st;
    ASSERT_EQ(analysis::LoadRecord(QString::fromStdString(record), an, st),
              analysis::RecordError::None);
    EXPECT_EQ(st.samples, 115);
    EXPECT_EQ(st.setpoints, 1);
    EXPECT_EQ(st.skipped, 0);
    const auto wall = [&](double t) { return double(st.originMs) + t * 1000; };
    // The simulator's closings within the record: when the advance action rose (Unix ms).
    const std::vector<double> closings = testsim::LoggedClosings(sim, wall(st.firstT), wall(st.lastT));
    ASSERT_GE(closings.size(), 1u) << sim.Output();
    std::vector<double> found;
    for (const Attempt& a : an.Attempts())
        if (a.closing) {
            EXPECT_EQ(a.verdict, Verdict::Passed) << Text(an);
            found.push_back(wall(a.closing->after));
            // The states are read a request after the sample's time: the edge may lie up to
            // that much past the sample showing it.
            const bool matched = std::any_of(closings.begin(), closings.end(), [&](double ms) {
                return ms > wall(a.closing->before) - 50 && ms <= wall(a.closing->after) + 100;
            });
            EXPECT_TRUE(matched) << Text(an) << sim.Output();
        }
    EXPECT_EQ(found.size(), closings.size()) << Text(an);

    testsim::Background analyse({DEMOCOMM_CLI_PATH, "--format", "json", "analyse", record});
    EXPECT_EQ(analyse.Wait(10000), 0);
    EXPECT_NE(analyse.Output().find("\"passed\": " + std::to_string(found.size())),
              std::string::npos)
        << analyse.Output();
}

} // namespace
