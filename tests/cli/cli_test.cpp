// democomm-cli against democomm-sim, reached through its default alias COM2 with no options
// or on the loopback as a serial device server (tcp://), and against the libmodbus slave:
// every command in one format, every exit code from a matching fault or bad input, a write
// read back, and watch ended by Ctrl-C.
#include "../sim/process.h"
#include "support/pty.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <memory>

namespace {

// The peer: democomm-sim through its alias, or behind a TCP port (gone: stopped before the
// runs, so that nothing listens there), or a libmodbus slave on a socat pair.
enum class Peer { Sim, Tcp, TcpGone, LibmodbusSlave };

struct CliCase {
    const char* name;
    std::vector<std::string> simFlags;
    std::vector<std::vector<std::string>> runs; // run in order; the last one is checked
    int exitCode;
    std::vector<std::string> expected; // each in the last run's output
    Peer peer = Peer::Sim;
};

class Cli : public ::testing::TestWithParam<CliCase> {};

// `args` run with the alias folder `runtime` (through env(1), as the process helper wants).
std::vector<std::string> In(const QTemporaryDir& runtime, std::vector<std::string> args) {
    args.insert(args.begin(), "XDG_RUNTIME_DIR=" + runtime.path().toStdString());
    args.insert(args.begin(), "env");
    return args;
}

TEST_P(Cli, OutputAndExitCode) {
    const CliCase& c = GetParam();
    QTemporaryDir runtime; // a private alias folder: the simulator's COM2 is this test's own
    std::vector<std::string> sim{DEMOCOMM_SIM_PATH, "--quiet", "--seed", "1"};
    sim.insert(sim.end(), c.simFlags.begin(), c.simFlags.end());
    if (c.peer == Peer::Tcp || c.peer == Peer::TcpGone)
        sim.insert(sim.end(), {"--tcp", "0"});
    const std::string a = runtime.filePath("a").toStdString(),
                      b = runtime.filePath("b").toStdString();
    std::string port = b; // what the runs are given as --port, for all but the alias
    std::unique_ptr<testsim::Background> peer, socat;
    if (c.peer == Peer::LibmodbusSlave) {
        socat = std::make_unique<testsim::Background>(std::vector<std::string>{
            "socat", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b});
        ASSERT_TRUE(
            testsupport::WaitUntil([&] { return QFile::exists(QString::fromStdString(b)); }));
        peer = std::make_unique<testsim::Background>(
            std::vector<std::string>{DEMOCOMM_MODBUS_SLAVE_PATH, a});
        ASSERT_TRUE(peer->WaitForLine([](const std::string& l) { return l == "ready"; }));
    } else {
        peer = std::make_unique<testsim::Background>(In(runtime, sim));
        ASSERT_FALSE(peer->Field("alias").empty());
        port = peer->Field("port");
        if (c.peer == Peer::TcpGone)
            peer->Stop();
    }
    std::optional<int> exitCode;
    std::string output;
    for (const auto& args : c.runs) {
        std::vector<std::string> cmd{DEMOCOMM_CLI_PATH};
        if (c.peer != Peer::Sim)
            cmd.insert(cmd.end(), {"--port", port});
        cmd.insert(cmd.end(), args.begin(), args.end());
        testsim::Background cli(In(runtime, cmd));
        exitCode = cli.Wait(20000);
        output = cli.Output();
    }
    EXPECT_EQ(exitCode, c.exitCode) << output;
    for (const std::string& text : c.expected)
        EXPECT_NE(output.find(text), std::string::npos) << text << " not in:\n" << output;
}

// One row per line or two: easier to scan than the formatter's layout.
// clang-format off
const std::vector<CliCase> kCases{
    // A peer none of us wrote: its set-point 0103 holds -20 in sign and magnitude.
    {"LibmodbusSlaveReadAllAfterWrite", {}, {{"write", "setpoint", "lead-time", "150"}, {"read", "all"}}, 0,
     {"系统电压: 1000\n", "越前时间: 150\n", "允许频差: -20\n", "跃前动作: 是\n", "自检状态: 否\n"}, Peer::LibmodbusSlave},
    // A serial device server's raw port on the loopback; the line behind it keeps time.
    {"TcpReadAll", {}, {{"read", "all"}}, 0, {"系统电压: ", "越前时间: 120\n", "升压调控: "}, Peer::Tcp},
    {"TcpWriteReadBack", {}, {{"write", "setpoint", "closing-time", "-5"}, {"read", "setpoints"}}, 0,
     {"合闸时间: -5\n"}, Peer::Tcp},
    {"TcpRefused", {}, {{"read", "working"}}, 3,
     {"Error opening serial port\nServer: 127.0.0.1, port ", "Reason: Connection refused\n"}, Peer::TcpGone},
    {"ReadAll", {}, {{"read", "all"}}, 0,
     {"系统电压: ", "并机号: ", "越前时间: 120\n", "均频脉冲宽度: 500\n", "跃前动作: ", "升压调控: "}},
    {"ReadWorkingJson", {}, {{"--format", "json", "read", "working"}}, 0,
     {"{\"system_voltage\": ", ", \"paralleling_number\": "}},
    {"ReadSwitchesCsvHexFrames", {}, {{"--format=csv", "--hex", "read", "switches"}}, 0,
     {"advance_action,phase_permitted,", "\n01 02 03 00 00 0C 78 4B \n"}},
    {"ReadRegistersFrames", {}, {{"--frames", "read", "registers", "106", "2"}}, 0,
     {"发送:\n1 3 1 6 0 2 ", "0106: 3000\n0107: 500\n"}},
    {"ReadInputs", {}, {{"read", "inputs", "30a", "2"}}, 0, {"030A: ", "030B: "}},
    {"WriteSetpointReadBack", {}, {{"write", "setpoint", "closing-time", "-5"}, {"read", "setpoints"}}, 0,
     {"合闸时间: -5\n"}},
    {"WriteSeveralReadBack", {}, {{"write", "104", "7D0", "1F4"}, {"--format", "csv", "read", "registers", "104", "2"}},
     0, {"0104,0105\n2000,500\n"}},
    {"WritePrintsBothFrames", {}, {{"write", "100", "96"}}, 0, {"发送:\n1 6 1 0 0 150 ", "接收:\n1 6 1 0 0 150 "}},
    {"WatchCount", {}, {{"--format", "json", "watch", "all", "--interval", "0", "--count", "3"}}, 0,
     {"{\"time\": ", "\"voltage_up\": ", "\"requests_sent\": 6, \"replies_accepted\": 6"}},
    {"Scan", {"--slave", "3"}, {{"scan", "--from", "2", "--to", "4"}}, 0, {"从机号 3: 应答"}},
    {"ListPorts", {}, {{"list-ports"}}, 0, {"COM2", "模拟装置 (democomm-sim)"}},
    {"Help", {}, {{"--help"}}, 0, {"Exit codes:", "Examples:"}},
    // Bad input: refused before anything is sent.
    {"UnknownCommand", {}, {{"reed", "all"}}, 2, {"unknown command 'reed'"}},
    {"NonHexAddress", {}, {{"read", "registers", "10G", "1"}}, 2, {"'10G' is not a hexadecimal"}},
    {"CountOutOfRange", {}, {{"read", "registers", "0", "126"}}, 2, {"from 1 to 125"}},
    {"ValueTooWide", {}, {{"write", "100", "12345"}}, 2, {"'12345' is not a hexadecimal word"}},
    {"UnknownSetpoint", {}, {{"write", "setpoint", "lead", "1"}}, 2, {"lead-time closing-time"}},
    {"SetpointOutOfRange", {}, {{"write", "setpoint", "lead-time", "40000"}}, 2, {"-32767"}},
    {"BadSlave", {}, {{"--slave", "0", "read", "working"}}, 2, {"--slave must be"}},
    {"NoSuchPort", {}, {{"--port", "/nonexistent/tty", "read", "working"}}, 3,
     {"Device: /nonexistent/tty", "Check the port name"}},
    {"Timeout", {"--drop", "1"}, {{"--timeout", "100", "read", "working"}}, 4, {"no reply"}},
    {"OtherSlaveTimesOut", {}, {{"--slave", "2", "--timeout", "100", "read", "working"}}, 4, {}},
    {"BadCrc", {"--bad-crc", "1"}, {{"read", "working"}}, 5, {"CRC failure"}},
    {"Split", {"--split", "1", "--split-gap", "300"}, {{"--timeout", "100", "read", "setpoints"}}, 5, {"wrong length"}},
    {"Exception", {"--exception", "1"}, {{"write", "setpoint", "lead-time", "5"}}, 6, {"exception code 04"}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Commands, Cli, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The simulator stores writes as sent; the far end here answers with another value.
TEST(CliWrite, ReplyThatDoesNotRepeatTheWriteIsExitSeven) {
    testsupport::PtyPair line;
    testsim::Background cli({DEMOCOMM_CLI_PATH, "--port", line.SlavePath(), "write", "100", "5"});
    std::vector<uint8_t> request = line.ReadExactly(8);
    ASSERT_EQ(request.size(), 8u);
    request[5] = 6;
    uint16_t crc = 0xFFFF; // CRC-16/Modbus of the first six bytes
    for (int i = 0; i < 6; ++i) {
        crc ^= request[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    request[6] = crc & 0xFF;
    request[7] = crc >> 8;
    line.Write(request);
    EXPECT_EQ(cli.Wait(5000), 7);
    EXPECT_NE(cli.Output().find("not echoed as sent"), std::string::npos) << cli.Output();
}

// Ctrl-C ends watch with the statistics and 0; a device that goes away mid-watch (at the
// fastest rate, where every send then fails at once) ends it with 3 and says so once, over
// TCP with the server, the port and the reason.
TEST(CliWatch, EndsOnCtrlCOrWhenThePortGoesAway) {
    for (const auto& [unplug, tcp] : {std::pair{false, false}, {true, false}, {true, true}}) {
        QTemporaryDir runtime;
        std::vector<std::string> sim{DEMOCOMM_SIM_PATH, "--quiet"}, cli{DEMOCOMM_CLI_PATH};
        if (tcp)
            sim.insert(sim.end(), {"--tcp", "0"});
        testsim::Background simulator(In(runtime, sim));
        ASSERT_FALSE(simulator.Field("alias").empty());
        if (tcp)
            cli.insert(cli.end(), {"--port", simulator.Field("port")});
        cli.insert(cli.end(), {"watch", "working", "--interval", unplug ? "0" : "50"});
        testsim::Background watch(In(runtime, cli));
        ASSERT_TRUE(watch.WaitForLine(
            [](const std::string& l) { return l.find("系统电压") != std::string::npos; }));
        if (unplug) {
            simulator.Stop(SIGKILL);
            EXPECT_EQ(watch.Wait(5000), 3);
            const std::string out = watch.Output();
            EXPECT_NE(out.find(tcp ? "Serial port lost\nServer: 127.0.0.1, port " : "went away"),
                      std::string::npos)
                << out;
            EXPECT_EQ(out.find("democomm-cli:"), out.rfind("democomm-cli:")) << out; // once
            EXPECT_EQ(out.find("Connection reset by peer") != std::string::npos, tcp) << out;
        } else {
            EXPECT_EQ(watch.Stop(SIGINT), 0);
            EXPECT_NE(watch.Output().find("链路统计: 发送 "), std::string::npos) << watch.Output();
        }
    }
}

} // namespace
