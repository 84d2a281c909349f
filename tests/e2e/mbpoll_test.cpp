// mbpoll, an independent Modbus master, against democomm-sim and against the libmodbus
// slave: the simulator speaks Modbus as others understand it, and each of its faults shows
// up at the master as that fault.
#include "e2e_peers.h"

#include "serial/portname.h"
#include "sim/alias.h"
#include "sim/device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;
using namespace e2e;

namespace {

class MbpollTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveProgram("mbpoll"))
            GTEST_SKIP() << "mbpoll is not installed (tools/deps.sh installs it)";
    }
};

// Registers of a read reply in a traffic line.
std::vector<long> Registers(const Bytes& reply) {
    std::vector<long> v;
    for (std::size_t i = 3; i + 3 < reply.size(); i += 2)
        v.push_back((reply[i] << 8) | reply[i + 1]);
    return v;
}

const Traffic* LastTx(const std::vector<Traffic>& t) {
    for (auto it = t.rbegin(); it != t.rend(); ++it)
        if (it->dir == "tx")
            return &*it;
    return nullptr;
}

// The simulator logs a reply just after sending it, so mbpoll may have ended before the
// line is out: waits (up to 5 s) until `replies` replies have been logged.
std::vector<Traffic> TrafficWithReplies(Sim& sim, std::ptrdiff_t replies) {
    std::vector<Traffic> t;
    for (int i = 0; i < 500; ++i) {
        t = ParseTraffic(sim.process.Lines());
        if (std::count_if(t.begin(), t.end(), [](const Traffic& x) { return x.dir == "tx"; }) >= replies)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return t;
}

TEST_F(MbpollTest, ReadsWhatTheSimulatorSent) {
    Sim sim({"--no-alias"});
    ASSERT_FALSE(sim.port.empty());

    const auto working = MbpollRead(sim.port, "4", 0, 5);
    ASSERT_EQ(working.exitCode, 0) << working.output;
    auto traffic = TrafficWithReplies(sim, 1);
    ASSERT_NE(LastTx(traffic), nullptr);
    EXPECT_EQ(MbpollValues(working.output), Registers(LastTx(traffic)->bytes));
    const auto w = MbpollValues(working.output);
    ASSERT_EQ(w.size(), 5u);
    EXPECT_NEAR(w[0], 1000, 10) << "system voltage 100.0 V";
    EXPECT_NEAR(w[2], 5000, 5) << "system frequency 50.00 Hz";

    const auto setpoints = MbpollRead(sim.port, "4", 0x100, 8);
    ASSERT_EQ(setpoints.exitCode, 0) << setpoints.output;
    EXPECT_EQ(MbpollValues(setpoints.output), std::vector<long>(sim::kDefaultSetpoints.begin(), sim::kDefaultSetpoints.end()));

    const auto inputs = MbpollRead(sim.port, "1", 0x300, 12);
    ASSERT_EQ(inputs.exitCode, 0) << inputs.output;
    const auto bits = MbpollValues(inputs.output);
    ASSERT_EQ(bits.size(), 12u);
    traffic = TrafficWithReplies(sim, 3);
    const Bytes& reply = LastTx(traffic)->bytes;
    ASSERT_EQ(reply.size(), 7u);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(bits[i], (reply[3 + i / 8] >> (i % 8)) & 1) << i;
}

TEST_F(MbpollTest, WritesAreReadBack) {
    Sim sim({"--no-alias"});
    ASSERT_EQ(MbpollWrite(sim.port, 0x100, {77}).exitCode, 0);             // one value: function 06
    ASSERT_EQ(MbpollWrite(sim.port, 0x105, {11, 22, 33}).exitCode, 0);     // several: function 10 hex
    const auto back = MbpollRead(sim.port, "4", 0x100, 8);
    ASSERT_EQ(back.exitCode, 0) << back.output;
    EXPECT_EQ(MbpollValues(back.output), (std::vector<long>{77, 100, 30, 20, 2000, 11, 22, 33}));
    const auto traffic = ParseTraffic(sim.process.Lines());
    int f06 = 0, f10 = 0;
    for (const Traffic& t : traffic)
        if (t.dir == "rx" && t.bytes.size() > 1) {
            f06 += t.bytes[1] == 0x06;
            f10 += t.bytes[1] == 0x10;
        }
    EXPECT_EQ(f06, 1);
    EXPECT_EQ(f10, 1);
}

TEST_F(MbpollTest, ExceptionsAsAMasterReadsThem) {
    Sim sim({"--no-alias"});
    struct Case {
        std::vector<std::string> args;
        const char* message;
        std::vector<std::string> values = {};
    } cases[] = {
        {{"-t", "4", "-r", "16", "-c", "2"}, "Illegal data address"},
        {{"-t", "4", "-r", "0", "-c", "6"}, "Illegal data address"},
        {{"-t", "1", "-r", "0", "-c", "1"}, "Illegal data address"},
        {{"-t", "0", "-r", "0", "-c", "1"}, "Illegal function"},  // coils
        {{"-t", "3", "-r", "0", "-c", "1"}, "Illegal function"},  // input registers
        {{"-t", "4", "-r", "0"}, "Illegal data address", {"0"}}, // writing working data
    };
    for (const Case& c : cases) {
        const auto r = Mbpoll(sim.port, c.args, 1, c.values);
        EXPECT_NE(r.exitCode, 0);
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.message << "\n" << r.output;
    }
    // Another slave address gets no answer at all.
    const auto other = MbpollRead(sim.port, "4", 0, 5, 2);
    EXPECT_NE(other.output.find("timed out"), std::string::npos) << other.output;
}

struct FaultCase {
    const char* flag;
    const char* counter;  // in the simulator's "faults:" line
    const char* message;  // what mbpoll reports
};

class MbpollFaults : public MbpollTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(MbpollFaults, MasterSeesTheFault) {
    const FaultCase& c = GetParam();
    // Gaps and delays beyond mbpoll's 0.3 s time-out, kept short so the test is quick.
    Sim sim({"--no-alias", "--seed", "5", c.flag, "1", "--split-gap", "700", "--delay-ms", "700"});
    const auto r = MbpollRead(sim.port, "4", 0, 5);
    EXPECT_NE(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    sim.process.CloseStdin();
    EXPECT_EQ(sim.process.Wait(), 0);
    EXPECT_NE(sim.process.Output().find(std::string(c.counter) + "=1"), std::string::npos) << sim.process.Output();
}

INSTANTIATE_TEST_SUITE_P(
    Table, MbpollFaults,
    ::testing::Values(FaultCase{"--drop", "drop", "Connection timed out"}, FaultCase{"--bad-crc", "bad-crc", "Invalid CRC"},
                      FaultCase{"--split", "split", "Connection timed out"},
                      FaultCase{"--delay", "delay", "Connection timed out"},
                      FaultCase{"--exception", "exception", "Slave device or server failure"},
                      // libmodbus takes the noise as the start of the reply
                      FaultCase{"--noise", "noise", "failed"},
                      // and the echo as the reply: 01 03 00 .. then a CRC that does not fit
                      FaultCase{"--echo", "echo", "failed"}),
    [](const auto& info) { return std::string(info.param.counter == std::string("bad-crc") ? "badcrc" : info.param.counter); });

TEST_F(MbpollTest, SameSeedSameFaults) {
    auto run = [] {
        Sim sim({"--no-alias", "--seed", "99", "--drop", "0.5", "--bad-crc", "0.5"});
        for (int i = 0; i < 6; ++i)
            MbpollRead(sim.port, "4", 0x100, 1);
        sim.process.CloseStdin();
        sim.process.Wait();
        const std::string out = sim.process.Output();
        const auto at = out.find("faults: ");
        return at == std::string::npos ? std::string() : out.substr(at);
    };
    const std::string first = run();
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(first, run());
}

TEST_F(MbpollTest, LibmodbusSlaveOnASocatPair) {
    if (!HaveProgram("socat"))
        GTEST_SKIP() << "socat is not installed";
    SocatPair pair;
    ASSERT_FALSE(pair.b.empty()) << pair.process.Output();
    LibmodbusSlave slave(pair.a);
    ASSERT_TRUE(slave.ready) << slave.process.Output();

    const auto working = MbpollRead(pair.b, "4", 0, 5);
    ASSERT_EQ(working.exitCode, 0) << working.output;
    EXPECT_EQ(MbpollValues(working.output), std::vector<long>(std::begin(kSlaveWorking), std::end(kSlaveWorking)));
    const auto inputs = MbpollRead(pair.b, "1", kInputStart, 12);
    ASSERT_EQ(inputs.exitCode, 0) << inputs.output;
    const auto bits = MbpollValues(inputs.output);
    ASSERT_EQ(bits.size(), 12u);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(bits[i], (kSlaveInputs >> i) & 1) << i;
    ASSERT_EQ(MbpollWrite(pair.b, 0x104, {1, 2}).exitCode, 0);
    const auto back = MbpollRead(pair.b, "4", 0x100, 8);
    EXPECT_EQ(MbpollValues(back.output), (std::vector<long>{120, 100, 30, 0x8014, 1, 2, 3000, 500}));
}

TEST_F(MbpollTest, SimulatorServesAnExistingPortWithItsAlias) {
    if (!HaveProgram("socat"))
        GTEST_SKIP() << "socat is not installed";
    char tmpl[] = "/tmp/e2e-port-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string runtime = tmpl;
    SocatPair pair;
    ASSERT_FALSE(pair.b.empty());
    {
        Sim sim({"--port", pair.a, "--alias", "COM4"}, {{"XDG_RUNTIME_DIR", runtime}});
        EXPECT_EQ(sim.port, pair.a);
        EXPECT_EQ(sim.alias, runtime + "/democomm/COM4");
        const auto r = MbpollRead(pair.b, "4", 0x100, 2);
        ASSERT_EQ(r.exitCode, 0) << r.output << sim.process.Output();
        EXPECT_EQ(MbpollValues(r.output), (std::vector<long>{120, 100}));
        EXPECT_EQ(sim.process.Stop(), 0);
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(runtime + "/democomm/COM4")));
    fs::remove_all(runtime);
}

// democomm's port names and the simulator's alias folder follow one rule.
TEST(PortNames, SimulatorAndDemocommAgree) {
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = old ? old : "";
    char tmpl[] = "/tmp/e2e-names-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string runtime = tmpl;
    for (const std::string& xdg : {runtime, std::string(), std::string("relative/dir")}) {
        if (xdg.empty())
            ::unsetenv("XDG_RUNTIME_DIR");
        else
            ::setenv("XDG_RUNTIME_DIR", xdg.c_str(), 1);
        EXPECT_EQ(sim::AliasFolderPath(), serial::AliasFolder()) << "XDG_RUNTIME_DIR=" << xdg;
    }
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    const std::string folder = serial::AliasFolder();
    // The folder checks agree: a good folder, then one writable by others.
    EXPECT_EQ(sim::EnsureAliasFolder(folder), "");
    EXPECT_TRUE(serial::IsTrustedAliasFolder(folder));
    {
        auto alias = sim::Alias::Create(folder, "COM2", "/dev/null");
        EXPECT_EQ(serial::ResolvePortName("COM2"), folder + "/COM2");
        EXPECT_EQ(serial::ResolvePortName("com2"), folder + "/COM2") << "democomm takes COMn in any case";
    }
    EXPECT_EQ(serial::ResolvePortName("COM2"), "/dev/ttyS1") << "without the alias, the real port";
    fs::permissions(folder, fs::perms::all);
    EXPECT_NE(sim::EnsureAliasFolder(folder), "");
    EXPECT_FALSE(serial::IsTrustedAliasFolder(folder));
    fs::remove_all(runtime);
    if (old)
        ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    else
        ::unsetenv("XDG_RUNTIME_DIR");
}

} // namespace
