// democomm-cli against democomm-sim, reached through its default alias COM2 with no options,
// and against the libmodbus slave:
// every command in one format, every exit code from a matching fault or bad input, a write
// read back, and every way of ending the program (signals, a closed pipe, a lost port).
#include "../sim/process.h"
#include "support/pty.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <memory>
#include <thread>

namespace {

// The peer: democomm-sim through its alias, or behind a TCP port (gone: stopped before the
// runs, so that nothing listens there), or a libmodbus slave on a socat pair.
enum class Peer { Sim, Tcp, TcpGone, LibmodbusSlave };

struct CliCase {
    const char* name;
    std::vector<std::string> simFlags;
    // Run in order; the last one is checked. A run that starts with "sh" is the shell script
    // that follows, with the program as "$0" and the port options as "$@".
    std::vector<std::vector<std::string>> runs;
    int exitCode; // -1: ended by a signal
    std::vector<std::string> expected; // each in the last run's output
    Peer peer = Peer::Sim;
    // Sent once the first run has printed a line: to that run, or with `toPeer` to the peer.
    int signal = 0;
    bool toPeer = false;
    std::vector<std::string> notOnTheLine{}; // none in the simulator's traffic log
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
    std::vector<std::string> sim{DEMOCOMM_SIM_PATH, "--seed", "1"};
    if (c.notOnTheLine.empty())
        sim.push_back("--quiet");
    sim.insert(sim.end(), c.simFlags.begin(), c.simFlags.end());
    if (c.peer == Peer::Tcp || c.peer == Peer::TcpGone)
        sim.insert(sim.end(), {"--tcp", "0"});
    const std::string a = runtime.filePath("a").toStdString(),
                      b = runtime.filePath("b").toStdString();
    std::string portName = b; // what the runs are given as --port, for all but the alias
    std::unique_ptr<testsim::Background> peer, socat;
    if (c.peer == Peer::LibmodbusSlave) {
        // socat holds the terminals open, as the simulator does, and clears nothing.
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
        portName = peer->Field("port");
        if (c.peer == Peer::TcpGone)
            peer->Stop();
    }
    std::optional<int> exitCode;
    std::string output;
    for (const auto& args : c.runs) {
        const std::vector<std::string> port = c.peer != Peer::Sim
                                                  ? std::vector<std::string>{"--port", portName}
                                                  : std::vector<std::string>{};
        std::vector<std::string> cmd{DEMOCOMM_CLI_PATH};
        if (args[0] == "sh") {
            cmd = {"sh", "-c", args.at(1), DEMOCOMM_CLI_PATH};
            cmd.insert(cmd.end(), port.begin(), port.end());
        } else {
            cmd.insert(cmd.end(), port.begin(), port.end());
            cmd.insert(cmd.end(), args.begin(), args.end());
        }
        testsim::Background cli(In(runtime, cmd));
        if (c.signal && &args == &c.runs.front()) {
            ASSERT_TRUE(cli.WaitForLine([](const std::string&) { return true; }, 10000));
            // The next request goes out after the line's silence: let it be on its way.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            c.toPeer ? peer->Stop(c.signal) : cli.Stop(c.signal);
        }
        exitCode = cli.Wait(20000);
        output = cli.Output();
    }
    EXPECT_EQ(exitCode, c.exitCode) << output;
    for (const std::string& text : c.expected)
        EXPECT_NE(output.find(text), std::string::npos) << text << " not in:\n" << output;
    if (!c.notOnTheLine.empty()) {
        peer->Stop(SIGTERM);
        for (const std::string& text : c.notOnTheLine)
            EXPECT_EQ(peer->Output().find(text), std::string::npos) << text << " sent:\n" << peer->Output();
    }
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
    // The server goes away mid-watch: one report, with the server, the port and the reason.
    {"TcpWatchEndsWhenTheServerGoesAway", {}, {{"watch", "working", "--interval", "0"}}, 3,
     {"Serial port lost\nServer: 127.0.0.1, port ", "Connection reset by peer"}, Peer::Tcp, SIGKILL, true},
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
    {"Help", {}, {{"--help"}}, 0, {"Exit codes:", "8 standard output", "Examples:"}},
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
    {"HighestSlaveIsAsked", {}, {{"--slave", "247", "--timeout", "50", "read", "working"}}, 4, {"slave 247"}},
    {"BadCrc", {"--bad-crc", "1"}, {{"read", "working"}}, 5, {"CRC failure"}},
    {"Split", {"--split", "1", "--split-gap", "300"}, {{"--timeout", "100", "read", "setpoints"}}, 5, {"wrong length"}},
    {"Exception", {"--exception", "1"}, {{"--format", "json", "write", "setpoint", "lead-time", "5"}}, 6,
     {"exception code 04 (slave device failure)", "\"exception_code\": \"04\", \"exception\": \"slave device failure\"}"}},
    // Once a failure decides the result, nothing more goes on the line.
    {"ReadAllStopsAtTheException", {"--exception", "1"}, {{"read", "all"}}, 6, {"exception code 04"}, Peer::Sim, 0, false,
     {"rx 01 03 01 00", "rx 01 02 03 00"}},
    {"WriteCsv", {}, {{"--format", "csv", "write", "104", "7D0", "1F4"}}, 0,
     {"function,address,sent,received,outcome,values,exception_code,exception\n", ",ok,2000 500,,\n"}},
    {"WriteCsvException", {"--exception", "1"}, {{"--format", "csv", "write", "104", "7D0"}}, 6,
     {",exception,2000,04,slave device failure\n"}},
    // Response times in milliseconds: a 9600 baud exchange takes tens of them.
    {"ResponseTimesInMilliseconds", {}, {{"sh", "\"$0\" --format json watch working --count 2 2>&1 >/dev/null | "
      "grep -Eo '\"max_ms\": [1-9][0-9]{1,2}\\.[0-9]{3},'"}}, 0, {"\"max_ms\": "}},
    {"WatchTimeHasTheUtcOffset", {}, {{"sh", "TZ=CST-8 \"$0\" --format csv watch working --count 1"}}, 0, {"+08:00,"}},
    {"WatchAllStopsAtTheException", {"--exception", "1"}, {{"--format", "json", "watch", "all", "--interval", "0", "--count", "2"}}, 6,
     {"\"requests_sent\": 2, ", "\"exceptions\": 2, \"last_exception_code\": 4, \"last_exception\": \"slave device failure\", ",
      "\"not_echoed\": 0, \"aborted\": 0, \"in_flight\": 0, ", "\"seconds_since_last_reply\": null}"}},
    // watch all --format csv writes the record that analyse reads: set-points included.
    {"WatchAllCsvIsARecordForAnalyse", {}, {{"sh", "f=$(mktemp); \"$0\" --format csv watch all --interval 0 --count 3 >$f 2>/dev/null; "
      "\"$0\" analyse $f; rc=$?; cat $f; rm -f $f; exit $rc"}}, 0,
     {"采样 3, 设定值读取 1, 跳过 0 行\n", "\xEF\xBB\xBF时间,经过秒数,从站,系统电压,", ",,,,,,,,,,,,,,,,,setpoints 越前时间=120 合闸时间=100 ", ",ok\n"}},
    // A closing without the phase permission: a finding, exit 9; another program's file: 10.
    {"AnalyseFindingExits9", {}, {{"sh", "f=$(mktemp); \"$0\" --format csv watch all --interval 0 --count 1 2>/dev/null | head -n 2 >$f; "
      "printf '2026-12-06T21:45:03.100+08:00,9.100,1,1000,1000,5000,5004,1,0,0,1,1,0,0,0,0,0,0,0,0,ok\\n"
      "2026-12-06T21:45:03.200+08:00,9.200,1,1000,1000,5000,5004,1,1,0,1,1,0,0,0,0,0,0,0,0,ok\\n' >>$f; \"$0\" analyse $f; rc=$?; rm -f $f; exit $rc"}}, 9,
     {"同期 1: 有问题\n", "发现: 合闸时「相位允许」不在\n"}},
    // A failed exchange keeps its line in the record, with what failed.
    {"WatchAllCsvRecordsTheException", {"--exception", "1"}, {{"--format", "csv", "watch", "all", "--interval", "0", "--count", "1"}}, 6,
     {",,,,,,,,,,,,,,,,,exception 4\n"}},
    {"AnalyseRefusesAnotherProgramsFile", {}, {{"sh", "f=$(mktemp); echo time,x >$f; \"$0\" analyse $f; rc=$?; rm -f $f; exit $rc"}}, 10,
     {"is not a record written by democomm"}},
    {"AnalyseInCsvIsRefused", {}, {{"--format", "csv", "analyse", "x.csv"}}, 2, {"text or json"}},
    // Only a reply that passed the CRC check is an answer; a lost port ends the scan.
    {"ScanDamagedReplyIsNoAnswer", {"--bad-crc", "1"}, {{"scan", "--to", "2"}}, 5, {"slave 1: a damaged reply (crc)"}},
    {"ScanEndsWhenThePortGoesAway", {}, {{"--frames", "scan", "--from", "2"}}, 3, {"went away"}, Peer::Sim, SIGKILL, true},
    {"WatchEndsWhenThePortGoesAway", {}, {{"watch", "working", "--interval", "0"}}, 3, {"went away"}, Peer::Sim, SIGKILL, true},
    // Ctrl-C ends watch with statistics that add up: the request out when it came is aborted.
    {"WatchCtrlC", {"--delay", "1", "--delay-ms", "1000"}, {{"--timeout", "3000", "watch", "working", "--interval", "0"}}, 0,
     {"链路统计: 发送 2, 接受 1, ", "中止 1, 进行中 0, "}, Peer::Sim, SIGINT},
    // Every end but SIGKILL closes the port, which socat's terminal would otherwise keep
    // exclusive; after a SIGKILL the simulator frees its own.
    // (libmodbus serves nobody for its response time-out after a frame for another slave)
    {"CtrlCDuringScanClosesThePort", {}, {{"--frames", "scan", "--from", "2"}, {"sh", "sleep 1; \"$0\" \"$@\" read working"}},
     0, {"系统电压: 1000\n"}, Peer::LibmodbusSlave, SIGINT},
    {"HangUpDuringWatchClosesThePort", {}, {{"watch", "working", "--interval", "0"}, {"read", "working"}}, 0,
     {"系统电压: 1000\n"}, Peer::LibmodbusSlave, SIGHUP},
    {"ClosedPipeClosesThePort", {},
     {{"sh", "{ \"$0\" \"$@\" watch working --interval 0; echo \"exit $?\" >&2; } | head -n 3; \"$0\" \"$@\" read working"}},
     0, {"exit 8\n", "系统电压: 1000\n"}, Peer::LibmodbusSlave},
    {"ClosedPipeEndsWatchWithSigpipeIgnored", {},
     {{"sh", "trap '' PIPE; { timeout 15 \"$0\" watch working --interval 0; echo \"exit $?\" >&2; } | head -n 1"}}, 0,
     {"exit 8\n", "cannot write to standard output"}},
    {"KilledClientLeavesThePortFree", {}, {{"watch", "working", "--interval", "0"}, {"read", "working"}}, 0,
     {"系统电压: "}, Peer::Sim, SIGKILL},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Commands, Cli, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The simulator stores writes as sent; the far end here answers with another value.
TEST(CliWrite, ReplyThatDoesNotRepeatTheWriteIsExitSeven) {
    // Without an echo, and on a line that echoes (the copy first, then the other value).
    for (const bool echo : {false, true}) {
        testsupport::PtyPair line;
        std::vector<std::string> cmd{DEMOCOMM_CLI_PATH, "--port", line.SlavePath()};
        if (echo)
            cmd.insert(cmd.end(), {"--echo", "on"});
        cmd.insert(cmd.end(), {"write", "100", "5"});
        testsim::Background cli(cmd);
        std::vector<uint8_t> request = line.ReadExactly(8);
        ASSERT_EQ(request.size(), 8u);
        if (echo)
            line.Write(request);
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
        EXPECT_EQ(cli.Wait(5000), 7) << echo;
        EXPECT_NE(cli.Output().find("not echoed as sent"), std::string::npos) << cli.Output();
    }
}

} // namespace
