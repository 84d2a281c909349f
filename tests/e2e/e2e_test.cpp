// The three test windows against real peers, one row per case: democomm-sim through the alias
// COM2 (plain and with each fault it injects; its traffic lines give the expected log) or on
// the loopback as a serial device server, and the libmodbus slave on a socat pair (its data
// the expectation). Writes read back with mbpoll.
#include "e2e_peers.h"

#include "../sim/process.h"
#include "modbus/codec.h"
#include "serial/co.h"
#include "support/wait.h"
#include "testwindows/JC.h"
#include "testwindows/KG.h"
#include "ui/dialogs.h"
#include "testwindows/writedemo.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLineEdit>
#include <QPlainTextEdit>

#include <filesystem>
#include <regex>
#include <sstream>

using Bytes = std::vector<uint8_t>;
using testsupport::WaitUntil;
namespace fs = std::filesystem;

namespace {

// democomm-sim on its own terminal, on a line, or behind a TCP port (tcp://127.0.0.1:N)
enum class Peer { Sim, SimOnLine, SimTcp, Slave };
enum class Win { Working, Setpoints, Switches, Write };
// What the window makes of the reply: decoded and logged, logged but refused (an exception),
// halted without logging (CRC test failed), or not logged at all (write window, bad CRC).
enum class Then { Shown, Short, Halted, TimedOut, Unlogged };

struct Row {
    const char* name;
    Peer peer;
    Win win;
    Then then = Then::Shown;
    const char* fault = nullptr; // simulator flag, at rate 1
};

// The log a window shows for democomm-sim's traffic lines ("12:00:00.000 rx 01 03 ... | text"):
// what the simulator received as sent, what it sent as received (replies only when asked).
QString ExpectedLog(testsim::Background& sim, bool replies, Bytes* last = nullptr) {
    static const std::regex re(R"(^\S+ (rx|tx) ((?:[0-9A-F]{2} ?)*)\|)");
    QStringList lines;
    std::smatch m;
    for (const std::string& l : sim.Lines())
        if (std::regex_search(l, m, re) && (replies || m[1] == "rx")) {
            std::istringstream hex(m[2]);
            Bytes b;
            for (unsigned v; hex >> std::hex >> v;)
                b.push_back(uint8_t(v));
            lines << (m[1] == "rx" ? QStringLiteral("发送:") : QStringLiteral("接收:"))
                  << QString::fromStdString(modbus::FrameLine(*(last ? last : &b) = b));
        }
    return lines.join('\n');
}
// The values mbpoll reads from 0100..0107; "32788 (-32748)": the first is the raw value.
std::vector<long> MbpollSetpoints(const std::string& port) {
    testsim::Background mbpoll(
        {"sh", "-c",
         "mbpoll -m rtu -a 1 -b 9600 -P none -s 2 -0 -1 -o 0.5 -t 4 -r 256 -c 8 " + port});
    mbpoll.Wait(10000);
    const std::string out = mbpoll.Output();
    std::vector<long> values;
    static const std::regex re(R"(\[\d+\]:\s+(\d+))");
    for (std::sregex_iterator it(out.begin(), out.end(), re), end; it != end; ++it)
        values.push_back(std::stol((*it)[1]));
    return values;
}

class EndToEnd : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override {
        ASSERT_NE(::mkdtemp(runtime_), nullptr);
        ::setenv("XDG_RUNTIME_DIR", runtime_, 1); // COM2 is this test's simulator and no other
        ui::SetBoxSink([this](const ui::BoxRecord& r) { boxes_ << r.text; });
    }
    void TearDown() override {
        ui::SetBoxSink({});
        ::unsetenv("XDG_RUNTIME_DIR");
        fs::remove_all(runtime_);
    }
    char runtime_[32] = "/tmp/e2e-XXXXXX";
    QStringList boxes_;
};

TEST_P(EndToEnd, WindowShowsWhatThePeerSent) {
    const Row& row = GetParam();
    std::unique_ptr<testsim::Background> sim, socat, slave;
    const std::string a = runtime_ + std::string("/a"), b = runtime_ + std::string("/b");
    std::string port = "COM2", line; // the window's name for the port, the peer's line
    if (row.peer != Peer::Sim && row.peer != Peer::SimTcp) { // a socat pair: the peer on a, the
                                                             // window and mbpoll on b
        socat = std::make_unique<testsim::Background>(std::vector<std::string>{
            "socat", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b});
        ASSERT_TRUE(WaitUntil([&] { return fs::exists(b); }));
        port = line = b;
    }
    if (row.peer == Peer::Slave) {
        slave = std::make_unique<testsim::Background>(
            std::vector<std::string>{DEMOCOMM_MODBUS_SLAVE_PATH, a});
        ASSERT_TRUE(slave->WaitForLine([](const std::string& l) { return l == "ready"; }))
            << slave->Output();
    } else {
        sim = std::make_unique<testsim::Background>(std::vector<std::string>{
            DEMOCOMM_SIM_PATH, "--seed", "3", "--split-gap", "250", "--delay-ms", "200",
            row.fault ? row.fault : "--drop", row.fault ? "1" : "0",
            row.peer == Peer::Sim      ? "--slave=1"
            : row.peer == Peer::SimTcp ? "--tcp=0"
                                       : "--port=" + a});
        const std::string alias =
            row.peer == Peer::Sim ? std::string(runtime_) + "/democomm/COM2" : "none";
        ASSERT_EQ(sim->Field("alias"), alias) << sim->Output();
        line = row.peer == Peer::SimOnLine ? line : sim->Field("port");
        port = row.peer == Peer::SimTcp ? line : port;
    }
    std::unique_ptr<QDialog> form(row.win == Win::Switches ? static_cast<QDialog*>(new TKGForm)
                                  : row.win == Win::Write  ? static_cast<QDialog*>(new TWriteForm)
                                                           : new TJCForm);
    auto* poll = dynamic_cast<testwindows::PollForm*>(form.get());
    TComm* comm = form->findChild<TComm*>();
    // The split gap (250 ms) outlasts the interval time-out, the noise's silence does not; the
    // reply watchdog outlasts the delay (200 ms).
    comm->setReadIntervalTimeout(100);
    comm->setLineBreakTime(400);
    comm->setCommName(QString::fromStdString(port));
    comm->OpenPort();
    auto log = [&] { return form->findChild<QPlainTextEdit*>("MemoMsg")->toPlainText(); };
    auto sent = [&](long n) { // answered, and the answer logged (or judged, when it is not)
        const QString reply = QStringLiteral("接收:");
        return (!sim || WaitUntil([&] { return ExpectedLog(*sim, true).count(reply) >= n; })) &&
               (row.then == Then::Unlogged ? (testsupport::Pump(300), true)
                                           : WaitUntil([&] { return log().count(reply) >= n; }));
    };
    if (auto* write = dynamic_cast<TWriteForm*>(form.get())) {
        long n = 0;
        for (const auto& [address, data] : {std::pair("100", "1F4"), {"106", "b\nC"}}) {
            write->NumberEdit->setText("1");
            write->AddressEdit->setText(address);
            write->DataMemo->setPlainText(data);
            ++n == 1 ? write->DanLuBitBtnClick(nullptr) : write->WJCBitBtnClick(nullptr);
            ASSERT_TRUE(sent(n));
        }
    } else {
        poll->EnableButtons();
        const char* start = row.win == Win::Switches  ? "KGBitBtn"
                            : row.win == Win::Working ? "GKBitBtn"
                                                      : "SjJCBitBtn";
        form->findChild<QAbstractButton*>(start)->click();
        ASSERT_TRUE(WaitUntil([&] {
            return row.then == Then::Shown    ? poll->ReplySeen
                   : row.then == Then::Short  ? log().contains(QStringLiteral("接收:"))
                   : row.then == Then::Halted ? poll->Stopped
                                              : poll->TimeoutCount == 2;
        })) << log().toStdString()
            << (sim ? sim->Output() : "");
        EXPECT_EQ(poll->ReplySeen, row.then == Then::Shown);
        EXPECT_EQ(poll->Stopped, row.then == Then::Halted) << "polls on unless the CRC test failed";
    }
    testsupport::Pump(300); // any rest of the reply arrives and is judged

    // The fields show the last reply's values: the simulator's as logged, the slave's as held.
    std::vector<uint16_t> values;
    if (sim) { // and the log holds what went over the line, replies only when logged
        Bytes reply;
        EXPECT_EQ(log(),
                  ExpectedLog(*sim, row.then == Then::Shown || row.then == Then::Short, &reply))
            << sim->Output();
        for (std::size_t i = 3; i + 3 < reply.size(); i += 2)
            values.push_back(row.win == Win::Switches ? reply[i] | reply[i + 1] << 8
                                                      : reply[i] << 8 | reply[i + 1]);
    } else {
        auto all = [](const auto& a) { return std::vector<uint16_t>(std::begin(a), std::end(a)); };
        values = row.win == Win::Switches  ? std::vector{e2e::kSlaveInputs}
                 : row.win == Win::Working ? all(e2e::kSlaveWorking)
                                           : all(e2e::kSlaveSetpoints);
    }
    for (int i = 0; row.then == Then::Shown && poll && i < 12; ++i) {
        if (row.win == Win::Switches) {
            EXPECT_EQ(form->findChild<QLineEdit*>(QStringLiteral("Edit%1").arg(i + 1))->text(),
                      values.at(0) >> i & 1 ? QStringLiteral("是") : QStringLiteral("否"))
                << i;
        } else if (i < int(values.size())) {
            const int first = row.win == Win::Working ? 1 : 6;
            EXPECT_EQ(form->findChild<QLineEdit*>(QStringLiteral("Edit%1").arg(i + first))
                          ->text()
                          .toStdString(),
                      modbus::RegisterText(values[i] >> 8, values[i] & 0xFF))
                << i;
        }
    }
    form.reset(); // closes the port for mbpoll
    if (row.win == Win::Write && !row.fault) {
        EXPECT_EQ(MbpollSetpoints(line),
                  (std::vector<long>{0x1F4, 100, 30, sim ? 20 : e2e::kSlaveSetpoints[3], 2000, 400,
                                     0xB, 0xC}));
    }
    EXPECT_TRUE(boxes_.isEmpty()) << boxes_.join('|').toStdString();
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, EndToEnd, ::testing::Values(
    Row{"sim_working", Peer::Sim, Win::Working}, Row{"sim_switches", Peer::Sim, Win::Switches},
    Row{"sim_write", Peer::Sim, Win::Write}, Row{"slave_working", Peer::Slave, Win::Working},
    Row{"slave_setpoints", Peer::Slave, Win::Setpoints}, Row{"slave_switches", Peer::Slave, Win::Switches},
    Row{"slave_write", Peer::Slave, Win::Write}, Row{"sim_on_a_line", Peer::SimOnLine, Win::Setpoints},
    Row{"sim_tcp", Peer::SimTcp, Win::Working},
    Row{"delay", Peer::Sim, Win::Working, Then::Shown, "--delay"},
    Row{"exception", Peer::Sim, Win::Working, Then::Short, "--exception"},
    Row{"drop", Peer::Sim, Win::Working, Then::TimedOut, "--drop"},
    Row{"split", Peer::Sim, Win::Working, Then::Halted, "--split"},
    Row{"echo", Peer::Sim, Win::Switches, Then::Halted, "--echo"},
    Row{"noise", Peer::Sim, Win::Working, Then::Halted, "--noise"},
    Row{"badcrc", Peer::Sim, Win::Write, Then::Unlogged, "--bad-crc"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

} // namespace
