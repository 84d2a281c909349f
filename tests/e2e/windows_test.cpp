// The three test windows against real peers: democomm-sim over its pseudo-terminal (through
// the default port name COM2 and its alias, with the windows' own settings), the same with
// each injected fault, and the libmodbus slave on a socat pair.
#include "e2e_peers.h"

#include "modbus/codec.h"
#include "serial/co.h"
#include "sim/faults.h"
#include "sim/framer.h"
#include "support/wait.h"
#include "testwindows/JC.h"
#include "testwindows/KG.h"
#include "testwindows/dialogs.h"
#include "testwindows/writedemo.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;
using namespace e2e;
using testsupport::WaitUntil;

namespace {

template <class W> W* Find(QObject& form, const char* name) { return form.findChild<W*>(QString::fromLatin1(name)); }
QString EditText(QObject& form, int i) {
    return Find<QLineEdit>(form, QStringLiteral("Edit%1").arg(i).toLatin1().constData())->text();
}
void Click(QObject& form, const char* name) { Find<QAbstractButton>(form, name)->click(); }
QString Log(QObject& form) { return Find<QPlainTextEdit>(form, "MemoMsg")->toPlainText(); }
QString Line(const Bytes& b) { return QString::fromStdString(modbus::FrameLine(b)); }

// The log a window should show for these frames of the simulator's traffic: every request it
// received as sent, every reply it sent as received.
QString ExpectedLog(const std::vector<Traffic>& traffic) {
    QStringList lines;
    for (const Traffic& t : traffic) {
        if (t.dir == "rx") {
            lines << QStringLiteral("发送:") << Line(t.bytes);
        } else if (t.dir == "tx") {
            lines << QStringLiteral("接收:") << Line(t.bytes);
        }
    }
    return lines.join('\n');
}

std::vector<Traffic> Only(const std::vector<Traffic>& t, const char* dir) {
    std::vector<Traffic> out;
    for (const Traffic& x : t)
        if (x.dir == dir)
            out.push_back(x);
    return out;
}

// Runs the test with its own alias folder, so that "COM2" is this test's simulator and
// no other.
class WindowsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/e2e-windows-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        runtime_ = tmpl;
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        hadXdg_ = old != nullptr;
        savedXdg_ = old ? old : "";
        ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        ui::SetBoxSink([this](const ui::BoxRecord& r) { boxes_ << r.text; });
    }
    void TearDown() override {
        ui::SetBoxSink({});
        if (hadXdg_)
            ::setenv("XDG_RUNTIME_DIR", savedXdg_.c_str(), 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
        fs::remove_all(runtime_);
    }

    std::string runtime_, savedXdg_;
    bool hadXdg_ = false;
    QStringList boxes_;
};

// Waits until the simulator has logged `n` lines going `dir`.
bool WaitTraffic(Sim& sim, const char* dir, std::size_t n, int ms = 3000) {
    return WaitUntil([&] { return Only(ParseTraffic(sim.process.Lines()), dir).size() >= n; }, ms);
}

TEST_F(WindowsTest, RegisterWindowWithDefaultSettingsShowsTheSimulatorsData) {
    Sim sim({"--seed", "1"});
    ASSERT_EQ(sim.alias, runtime_ + "/democomm/COM2") << sim.process.Output();
    TJCForm form;
    bool decoded = false;
    QString firstUnitVoltage;
    QTimer::singleShot(0, &form, [&] {
        Click(form, "GKBitBtn");
        decoded = WaitUntil([&] { return !EditText(form, 1).isEmpty(); }, 5000);
        firstUnitVoltage = EditText(form, 2);
        // The next poll, a second later as the window paces it, shows the unit coming up.
        decoded = decoded && WaitUntil([&] { return Log(form).count(QStringLiteral("接收:")) == 2; }, 6000);
        Click(form, "StopBitBtn");
        form.BitBtn2Click();
    });
    form.ShowWithPort(9600, QStringLiteral("COM2")); // the main window's start-up settings
    ASSERT_TRUE(decoded) << sim.process.Output().c_str();
    ASSERT_TRUE(WaitTraffic(sim, "tx", 2));
    const auto traffic = ParseTraffic(sim.process.Lines());
    EXPECT_EQ(Log(form), ExpectedLog(traffic));
    const Bytes reply = Only(traffic, "tx").at(1).bytes;
    ASSERT_EQ(reply.size(), 15u);
    for (int k = 0; k < 5; ++k)
        EXPECT_EQ(EditText(form, k + 1).toStdString(), modbus::RegisterText(reply[3 + 2 * k], reply[4 + 2 * k])) << k;
    EXPECT_NE(EditText(form, 2), firstUnitVoltage) << "the working data change";
    EXPECT_TRUE(boxes_.isEmpty()) << boxes_.join("|").toStdString();
}

TEST_F(WindowsTest, SwitchWindowWithDefaultSettingsShowsTheSimulatorsInputs) {
    Sim sim({"--seed", "1"});
    TKGForm form;
    bool decoded = false;
    QTimer::singleShot(0, &form, [&] {
        Click(form, "KGBitBtn");
        decoded = WaitUntil([&] { return !EditText(form, 1).isEmpty(); }, 5000);
        Click(form, "StopBitBtn");
        form.BitBtn2Click();
    });
    form.ShowWithPort(9600, QStringLiteral("COM2"));
    ASSERT_TRUE(decoded);
    ASSERT_TRUE(WaitTraffic(sim, "tx", 1));
    const auto traffic = ParseTraffic(sim.process.Lines());
    EXPECT_EQ(Log(form), ExpectedLog(traffic));
    const Bytes reply = Only(traffic, "tx").at(0).bytes;
    ASSERT_EQ(reply.size(), 7u);
    for (int i = 0; i < 12; ++i) {
        const bool on = (reply[3 + i / 8] >> (i % 8)) & 1;
        EXPECT_EQ(EditText(form, i + 1), on ? QStringLiteral("是") : QStringLiteral("否")) << i;
    }
}

TEST_F(WindowsTest, WriteWindowChangesTheSimulatorsSetpoints) {
    if (!HaveProgram("mbpoll"))
        GTEST_SKIP() << "mbpoll is not installed";
    Sim sim({"--seed", "1"});
    TWriteForm form;
    bool answered = false;
    QTimer::singleShot(0, &form, [&] {
        form.NumberEdit->setText("1");
        form.AddressEdit->setText("100");
        form.DataMemo->setPlainText("4D2");
        form.DanLuBitBtnClick(nullptr);
        answered = WaitUntil([&] { return Log(form).count(QStringLiteral("接收:")) == 1; }, 5000);
        form.AddressEdit->setText("106");
        form.DataMemo->setPlainText("b\nC");
        form.WJCBitBtnClick(nullptr);
        answered = answered && WaitUntil([&] { return Log(form).count(QStringLiteral("接收:")) == 2; }, 5000);
        form.BitBtn5Click(nullptr);
    });
    form.ShowWithPort(9600, QStringLiteral("COM2"));
    ASSERT_TRUE(answered) << Log(form).toStdString();
    EXPECT_EQ(Log(form), ExpectedLog(ParseTraffic(sim.process.Lines())));
    // An independent master reads the set-points back.
    const auto back = MbpollRead(sim.port, "4", 0x100, 8);
    ASSERT_EQ(back.exitCode, 0) << back.output;
    EXPECT_EQ(MbpollValues(back.output), (std::vector<long>{0x4D2, 100, 30, 20, 2000, 400, 0xB, 0xC}));
}

// The register window on the simulator with one fault at a time. Short read interval and
// reply watchdog keep this quick; the outcomes are those the window's rules give.
enum class Outcome { Accepted, Halted, ShortReply, TimedOut };

struct FaultCase {
    const char* name;
    std::vector<std::string> flags;
    Outcome outcome;
};

class RegisterWindowFaults : public WindowsTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(RegisterWindowFaults, WindowOutcomeAndLogMatchTheTraffic) {
    const FaultCase& c = GetParam();
    std::vector<std::string> args{"--no-alias", "--seed", "3", "--split-gap", "250", "--delay-ms", "200"};
    args.insert(args.end(), c.flags.begin(), c.flags.end());
    Sim sim(args);
    TJCForm form;
    form.Comm32->setReadIntervalTimeout(100); // the split gap (250 ms) is longer, the noise's silence shorter
    form.Comm32->setLineBreakTime(400);       // longer than the delay (200 ms)
    form.Comm32->setCommName(QString::fromStdString(sim.port));
    form.Comm32->OpenPort();
    form.EnableButtons();
    Click(form, "GKBitBtn");

    switch (c.outcome) {
    case Outcome::Accepted:
        ASSERT_TRUE(WaitUntil([&] { return form.ReplySeen; }, 3000));
        EXPECT_FALSE(EditText(form, 1).isEmpty());
        EXPECT_TRUE(form.Timer03->isActive()) << "polls on";
        break;
    case Outcome::Halted:
        ASSERT_TRUE(WaitUntil([&] { return form.Stopped; }, 3000));
        EXPECT_FALSE(form.Timer03->isActive()) << "nothing re-armed";
        EXPECT_TRUE(EditText(form, 1).isEmpty());
        break;
    case Outcome::ShortReply:
        ASSERT_TRUE(WaitUntil([&] { return Log(form).contains(QStringLiteral("接收:")); }, 3000));
        EXPECT_FALSE(form.ReplySeen) << "so the tick will not repeat the request";
        EXPECT_TRUE(form.Timer03->isActive());
        EXPECT_TRUE(EditText(form, 1).isEmpty());
        break;
    case Outcome::TimedOut:
        ASSERT_TRUE(WaitUntil([&] { return form.TimeoutCount == 2; }, 3000));
        EXPECT_FALSE(form.ReplySeen);
        EXPECT_TRUE(form.Timer03->isActive());
        break;
    }
    // Let any remaining part of the reply arrive, then compare the log with the traffic:
    // a reply that reached the window whole and with its CRC right is logged, nothing else.
    testsupport::Pump(300);
    const auto traffic = ParseTraffic(sim.process.Lines());
    std::vector<Traffic> seen;
    for (const Traffic& t : traffic)
        if (t.dir == "rx" || (c.outcome == Outcome::Accepted || c.outcome == Outcome::ShortReply))
            if (t.dir != "--")
                seen.push_back(t);
    EXPECT_EQ(Log(form), ExpectedLog(seen)) << sim.process.Output();
    form.FormClose();
}

INSTANTIATE_TEST_SUITE_P(
    Table, RegisterWindowFaults,
    ::testing::Values(FaultCase{"none", {}, Outcome::Accepted},
                      FaultCase{"delay", {"--delay", "1"}, Outcome::Accepted},
                      FaultCase{"drop", {"--drop", "1"}, Outcome::TimedOut},
                      FaultCase{"badcrc", {"--bad-crc", "1"}, Outcome::Halted},
                      FaultCase{"split", {"--split", "1"}, Outcome::Halted},
                      FaultCase{"echo", {"--echo", "1"}, Outcome::Halted},
                      FaultCase{"noise", {"--noise", "1"}, Outcome::Halted},
                      FaultCase{"exception", {"--exception", "1"}, Outcome::ShortReply}),
    [](const auto& info) { return std::string(info.param.name); });

// The write window only logs what passes the CRC test: a damaged reply is dropped without
// a word, an exception is logged like any reply.
struct WriteFaultCase {
    const char* name;
    std::vector<std::string> flags;
    bool logged;
};

class WriteWindowFaults : public WindowsTest, public ::testing::WithParamInterface<WriteFaultCase> {};

TEST_P(WriteWindowFaults, LogsOnlyWhatPassesTheCrcTest) {
    const WriteFaultCase& c = GetParam();
    std::vector<std::string> args{"--no-alias", "--seed", "4", "--split-gap", "200"};
    args.insert(args.end(), c.flags.begin(), c.flags.end());
    Sim sim(args);
    TWriteForm form;
    form.Comm32->setReadIntervalTimeout(100);
    form.Comm32->setCommName(QString::fromStdString(sim.port));
    form.Comm32->OpenPort();
    form.NumberEdit->setText("1");
    form.AddressEdit->setText("101");
    form.DataMemo->setPlainText("2A");
    form.DanLuBitBtnClick(nullptr);
    ASSERT_TRUE(WaitTraffic(sim, "tx", c.flags.empty() || c.flags[0] != "--split" ? 1 : 2));
    testsupport::Pump(400); // every part delivered and judged
    const auto traffic = ParseTraffic(sim.process.Lines());
    std::vector<Traffic> expected;
    for (const Traffic& t : traffic)
        if (t.dir == "rx" || (t.dir == "tx" && c.logged))
            expected.push_back(t);
    EXPECT_EQ(Log(form), ExpectedLog(expected)) << sim.process.Output();
    EXPECT_TRUE(boxes_.isEmpty());
    form.FormClose(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Table, WriteWindowFaults,
                         ::testing::Values(WriteFaultCase{"none", {}, true},
                                           WriteFaultCase{"exception", {"--exception", "1"}, true},
                                           WriteFaultCase{"badcrc", {"--bad-crc", "1"}, false},
                                           WriteFaultCase{"split", {"--split", "1"}, false},
                                           WriteFaultCase{"echo", {"--echo", "1"}, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// The switch window halts on a damaged reply just as the register window does (the two share
// their polling), and polls on after a good one.
TEST_F(WindowsTest, SwitchWindowHaltsOnADamagedReply) {
    for (const bool damaged : {false, true}) {
        Sim sim(damaged ? std::vector<std::string>{"--no-alias", "--bad-crc", "1"} : std::vector<std::string>{"--no-alias"});
        TKGForm form;
        form.Comm32->setReadIntervalTimeout(50);
        form.Comm32->setCommName(QString::fromStdString(sim.port));
        form.Comm32->OpenPort();
        form.EnableButtons();
        Click(form, "KGBitBtn");
        ASSERT_TRUE(WaitUntil([&] { return damaged ? form.Stopped : form.ReplySeen; })) << damaged;
        EXPECT_EQ(form.Timer02->isActive(), !damaged);
        EXPECT_EQ(EditText(form, 1).isEmpty(), damaged);
        form.FormClose();
    }
}

// After an accepted reply a short one (an exception) leads to the same request again.
TEST_F(WindowsTest, ExceptionAfterAnAcceptedReplyIsPolledAgain) {
    // Half the replies refused, with a seed whose first answer is good and second an
    // exception, found with the simulator's own fault generator.
    const sim::FaultRates rates{.exception = 0.5};
    uint64_t seed = 0;
    for (;; ++seed) {
        sim::FaultInjector f(rates, seed, sim::SilenceFor(9600));
        const Bytes reply = {1, 3, 2, 0, 0, 0xB8, 0x44};
        std::vector<std::string> notes;
        const bool firstGood = f.Plan(reply, reply, "", notes).at(0).bytes[1] == 0x03;
        if (firstGood && f.Plan(reply, reply, "", notes).at(0).bytes[1] == 0x83)
            break;
    }
    Sim sim({"--no-alias", "--seed", std::to_string(seed), "--exception", "0.5"});
    TJCForm form;
    form.Comm32->setReadIntervalTimeout(50);
    form.Comm32->setCommName(QString::fromStdString(sim.port));
    form.Comm32->OpenPort();
    form.EnableButtons();
    Click(form, "GKBitBtn");
    ASSERT_TRUE(WaitTraffic(sim, "rx", 3, 5000)) << sim.process.Output();
    Click(form, "StopBitBtn");
    testsupport::Pump(200);
    const auto tx = Only(ParseTraffic(sim.process.Lines()), "tx");
    ASSERT_GE(tx.size(), 2u);
    ASSERT_EQ(tx[0].bytes[1], 0x03);
    ASSERT_EQ(tx[1].bytes[1], 0x83);
    // Request, good reply, request, exception (logged), and the request after it.
    const auto traffic = ParseTraffic(sim.process.Lines());
    ASSERT_GE(traffic.size(), 5u);
    EXPECT_TRUE(Log(form).startsWith(ExpectedLog({traffic.begin(), traffic.begin() + 5}))) << Log(form).toStdString();
    form.FormClose();
}

// The same windows against the libmodbus slave.
class WindowsVsLibmodbus : public WindowsTest {
protected:
    void SetUp() override {
        WindowsTest::SetUp();
        if (!HaveProgram("socat"))
            GTEST_SKIP() << "socat is not installed";
        pair_ = std::make_unique<SocatPair>();
        ASSERT_FALSE(pair_->b.empty());
        slave_ = std::make_unique<LibmodbusSlave>(pair_->a);
        ASSERT_TRUE(slave_->ready) << slave_->process.Output();
    }
    template <class Form> void Open(Form& form) {
        form.Comm32->setReadIntervalTimeout(50);
        form.Comm32->setCommName(QString::fromStdString(pair_->b));
        form.Comm32->OpenPort();
    }
    std::unique_ptr<SocatPair> pair_;
    std::unique_ptr<LibmodbusSlave> slave_;
};

QString SignMagnitude(uint16_t v) { return QString::fromStdString(modbus::RegisterText(v >> 8, v & 0xFF)); }

TEST_F(WindowsVsLibmodbus, ReadsWritesAndDecodes) {
    {
        TJCForm form;
        Open(form);
        form.EnableButtons();
        Click(form, "GKBitBtn");
        ASSERT_TRUE(WaitUntil([&] { return form.ReplySeen; }));
        for (int k = 0; k < 5; ++k)
            EXPECT_EQ(EditText(form, k + 1), SignMagnitude(kSlaveWorking[k])) << k;
        form.FormClose();
    }
    {
        TKGForm form;
        Open(form);
        form.EnableButtons();
        Click(form, "KGBitBtn");
        ASSERT_TRUE(WaitUntil([&] { return form.ReplySeen; }));
        EXPECT_EQ(Log(form), QStringLiteral("发送:\n1 2 3 0 0 12 120 75 \n接收:\n1 2 2 133 10 91 47 "));
        for (int i = 0; i < 12; ++i)
            EXPECT_EQ(EditText(form, i + 1), (kSlaveInputs >> i) & 1 ? QStringLiteral("是") : QStringLiteral("否")) << i;
        form.FormClose();
    }
    {
        TWriteForm form;
        Open(form);
        form.NumberEdit->setText("1");
        form.AddressEdit->setText("100");
        form.DataMemo->setPlainText("1F4");
        form.DanLuBitBtnClick(nullptr);
        ASSERT_TRUE(WaitUntil([&] { return Log(form).count(QStringLiteral("接收:")) == 1; }));
        form.AddressEdit->setText("104");
        form.DataMemo->setPlainText("1\n8002");
        form.WJCBitBtnClick(nullptr);
        ASSERT_TRUE(WaitUntil([&] { return Log(form).count(QStringLiteral("接收:")) == 2; }));
        // 06 is answered with the request itself; 10 hex with address and quantity.
        EXPECT_EQ(Log(form), QStringLiteral("发送:\n1 6 1 0 1 244 136 33 \n接收:\n1 6 1 0 1 244 136 33 \n发送:\n") +
                                 Line(Bytes(form.Frame10.begin(), form.Frame10.end())) + QStringLiteral("\n接收:\n") +
                                 Line([] {
                                     Bytes b{1, 0x10, 0x01, 0x04, 0x00, 0x02};
                                     const uint16_t crc = modbus::CRC16(b.data(), 6);
                                     b.push_back(crc & 0xFF);
                                     b.push_back(crc >> 8);
                                     return b;
                                 }()));
        form.FormClose(nullptr);
    }
    {
        TJCForm form;
        Open(form);
        form.EnableButtons();
        Click(form, "SjJCBitBtn");
        ASSERT_TRUE(WaitUntil([&] { return form.ReplySeen; }));
        const QString expected[8] = {"500", "100", "30", "-20", "1", "-2", "3000", "500"};
        for (int k = 0; k < 8; ++k)
            EXPECT_EQ(EditText(form, k + 6), expected[k]) << k;
        form.FormClose();
    }
    EXPECT_TRUE(boxes_.isEmpty()) << boxes_.join("|").toStdString();
}

} // namespace
