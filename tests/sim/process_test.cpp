// democomm-sim as a program: exit codes, the port and alias lines, answers on its terminal,
// traffic lines, and the alias's removal on every way of stopping.
#include "process.h"

#include "modbus/codec.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <termios.h>

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

const std::string kSim = DEMOCOMM_SIM_PATH;

// A master's end of the simulator's terminal.
class Master {
public:
    explicit Master(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t{};
        if (fd_ >= 0 && ::tcgetattr(fd_, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~Master() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool Ok() const { return fd_ >= 0; }
    void Send(const Bytes& b) { ASSERT_EQ(::write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size())); }
    // Reads until `n` bytes have come or `ms` passed.
    Bytes Receive(std::size_t n, int ms = 2000) {
        Bytes got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (got.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0)
                break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0)
                continue;
            uint8_t buf[512];
            const ssize_t k = ::read(fd_, buf, sizeof buf);
            if (k > 0)
                got.insert(got.end(), buf, buf + k);
        }
        return got;
    }

private:
    int fd_ = -1;
};

Bytes Request(uint8_t slave, uint8_t fn, uint16_t a, uint16_t b) {
    const auto r = modbus::BuildRequest(slave, fn, a, b);
    return {r.begin(), r.end()};
}

class SimProcess : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/sim-process-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        runtime_ = tmpl;
        env_ = {{"XDG_RUNTIME_DIR", runtime_}};
    }
    void TearDown() override { fs::remove_all(runtime_); }

    std::string runtime_;
    testsim::Env env_;
};

TEST(SimCommandLine, BadFlagsExitWithCode2) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{kSim, "--bogus"}, {kSim, "--drop", "2"}, {kSim, "--slave"}}) {
        const testsim::Result r = testsim::Run(args);
        EXPECT_EQ(r.exitCode, 2) << r.output;
        EXPECT_NE(r.output.find("democomm-sim: "), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("--help"), std::string::npos) << "points to the help";
    }
    const testsim::Result help = testsim::Run({kSim, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.output.find("--split-gap MS"), std::string::npos);
}

TEST_F(SimProcess, AnswersOnItsTerminalAndCleansUpAtEndOfInput) {
    // 1200 baud: a 32 ms silence, so that a busy machine cannot pull apart the two writes
    // of the split request below.
    testsim::Background sim({kSim, "--seed", "1", "--baud", "1200"}, env_);
    const std::string port = sim.Field("port");
    const std::string alias = sim.Field("alias");
    ASSERT_FALSE(port.empty()) << sim.Output();
    EXPECT_EQ(alias, runtime_ + "/democomm/COM2");
    EXPECT_EQ(fs::read_symlink(alias).string(), port);

    {
        Master m(alias); // through the alias, as democomm opens it
        ASSERT_TRUE(m.Ok());
        // Another slave's request, a broadcast read and noise: no answer to any of them.
        m.Send(Request(2, 3, 0, 5));
        m.Send(Request(0, 3, 0, 5));
        EXPECT_TRUE(m.Receive(1, 150).empty());
        m.Send({0xFF});
        EXPECT_TRUE(m.Receive(1, 50).empty());
        // Then a good one, split over two writes within the silence, is answered.
        const Bytes req = Request(1, 3, 0x100, 8);
        m.Send({req.begin(), req.begin() + 4});
        m.Send({req.begin() + 4, req.end()});
        const Bytes reply = m.Receive(21);
        ASSERT_EQ(reply.size(), 21u);
        EXPECT_TRUE(modbus::CrcTestPasses(reply));
        EXPECT_EQ(reply[5], 0);
        EXPECT_EQ(reply[6], 100) << "closing time default";
    }
    // The traffic lines show what went over the line.
    EXPECT_TRUE(sim.WaitForLine([](const std::string& l) {
        return l.find(" rx 01 03 01 00 00 08 45 F0 | read 8 holding registers from 0100") != std::string::npos;
    }));
    EXPECT_TRUE(sim.WaitForLine([](const std::string& l) { return l.find(" tx 01 03 10 00 78 00 64") != std::string::npos; }));
    EXPECT_TRUE(sim.WaitForLine([](const std::string& l) { return l.find("for slave 2, not this one, ignored") != std::string::npos; }));
    EXPECT_TRUE(sim.WaitForLine([](const std::string& l) { return l.find("(broadcast), not answered") != std::string::npos; }));

    sim.CloseStdin();
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(alias))) << "alias removed";
    const std::string out = sim.Output();
    EXPECT_NE(out.find("stopped: end of standard input"), std::string::npos) << out;
    EXPECT_NE(out.find("frames: received=3 answered=1 other-slaves=1 broadcast=1 garbage=1"), std::string::npos) << out;
    EXPECT_NE(out.find("faults: drop=0 bad-crc=0 split=0 delay=0 exception=0 noise=0 echo=0"), std::string::npos);
}

TEST_F(SimProcess, SignalsStopItAndRemoveTheAlias) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        testsim::Background sim({kSim, "--alias", "COM9"}, env_);
        const std::string alias = sim.Field("alias");
        ASSERT_TRUE(fs::is_symlink(alias)) << sim.Output();
        EXPECT_EQ(sim.Stop(sig), 0) << sig;
        EXPECT_FALSE(fs::exists(fs::symlink_status(alias))) << sig;
    }
}

TEST_F(SimProcess, AKilledRunsAliasIsReplacedButALiveOneIsNot) {
    std::string firstPort;
    {
        testsim::Background killed({kSim}, env_);
        firstPort = killed.Field("port");
        ASSERT_FALSE(firstPort.empty());
        killed.Stop(SIGKILL);
    }
    const std::string alias = runtime_ + "/democomm/COM2";
    ASSERT_TRUE(fs::is_symlink(alias)) << "SIGKILL leaves the alias behind";

    testsim::Background live({kSim}, env_);
    const std::string port = live.Field("port");
    ASSERT_FALSE(port.empty()) << live.Output();
    EXPECT_EQ(fs::read_symlink(alias).string(), port);

    const testsim::Result second = testsim::Run({kSim}, 5000, env_);
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.output.find("in use by democomm-sim"), std::string::npos) << second.output;
    EXPECT_EQ(fs::read_symlink(alias).string(), port) << "the live one keeps its alias";

    const testsim::Result other = testsim::Run({kSim, "--alias", "COM3", "--no-alias"}, 5000, env_);
    EXPECT_EQ(other.exitCode, 2);
}

TEST_F(SimProcess, UntrustedFolderIsAClearError) {
    fs::create_directory(runtime_ + "/democomm");
    fs::permissions(runtime_ + "/democomm", fs::perms::all);
    const testsim::Result r = testsim::Run({kSim}, 5000, env_);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("writable by others"), std::string::npos) << r.output;
    // Without an alias it runs all the same.
    testsim::Background sim({kSim, "--no-alias"}, env_);
    EXPECT_EQ(sim.Field("alias"), "none");
}

TEST_F(SimProcess, PortThatIsNotATerminalIsRefused) {
    const testsim::Result r = testsim::Run({kSim, "--port", "/dev/null"}, 5000, env_);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("is not a serial device"), std::string::npos) << r.output;
}

} // namespace
