// democomm-sim's exit codes, and its alias on every way of stopping. Its answers: tests/e2e.
#include "process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

const std::string kSim = DEMOCOMM_SIM_PATH;

TEST(SimProgram, RefusesBadArgumentsAndPorts) {
    for (const auto& [arg, code, says] : {std::tuple("--bogus", 2, "--help"),
                                          {"--slave", 2, "--help"},
                                          {"--port=/dev/null", 1, "is not a serial device"}}) {
        testsim::Background p({kSim, arg});
        EXPECT_EQ(p.Wait(), code) << p.Output();
        EXPECT_NE(p.Output().find(says), std::string::npos) << p.Output();
    }
}

TEST(SimProgram, RemovesItsAliasWhenItStops) {
    char tmpl[] = "/tmp/sim-process-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::vector<std::string> sim = {"env", std::string("XDG_RUNTIME_DIR=") + tmpl, kSim};
    const std::string alias = std::string(tmpl) + "/democomm/COM2";
    for (int sig : {0, SIGTERM, SIGINT, SIGHUP}) { // 0: end of standard input
        testsim::Background p(sim);
        ASSERT_EQ(p.Field("alias"), alias) << p.Output();
        EXPECT_EQ(fs::read_symlink(alias), p.Field("port"));
        p.CloseStdin();
        EXPECT_EQ(p.Stop(sig), 0) << sig;
        EXPECT_FALSE(fs::exists(fs::symlink_status(alias))) << sig;
    }
    testsim::Background(sim).Field("alias"); // then killed (SIGKILL) as it goes out of scope
    ASSERT_TRUE(fs::is_symlink(alias)) << "SIGKILL leaves the alias behind";
    testsim::Background live(sim);
    EXPECT_EQ(fs::read_symlink(alias), live.Field("port")) << "the stale one replaced";
    testsim::Background second(sim);
    EXPECT_EQ(second.Wait(), 1);
    EXPECT_NE(second.Output().find("in use by democomm-sim"), std::string::npos) << second.Output();
    live.Stop();
    fs::remove_all(tmpl);
}

// A client that sets no line settings of its own still gets every byte raw both ways: a write
// of 000A (a line feed) is answered with its copy, nothing translated or held for a line end.
TEST(SimProgram, TerminalIsRawForAClientThatSetsNothing) {
    testsim::Background sim({kSim, "--no-alias"});
    const int fd = ::open(sim.Field("port").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const uint8_t write[] = {1, 6, 1, 0, 0, 0x0A, 0x08, 0x31};
    ASSERT_EQ(::write(fd, write, sizeof write), ssize_t(sizeof write));
    std::vector<uint8_t> got;
    for (pollfd p{fd, POLLIN, 0}; got.size() < sizeof write && ::poll(&p, 1, 2000) > 0;) {
        uint8_t b[64];
        const ssize_t n = ::read(fd, b, sizeof b);
        if (n <= 0)
            break;
        got.insert(got.end(), b, b + n);
    }
    EXPECT_EQ(got, std::vector<uint8_t>(write, write + sizeof write)) << sim.Output();
    ::close(fd);
}

// Behind a TCP port: a new master never receives what was still to go to the one before, and
// the simulator started again at once takes the same port (its last connection still waits
// out TIME_WAIT there).
TEST(SimProgram, TcpServesEachMasterAfreshAndRestartsOnItsPort) {
    testsim::Background sim({kSim, "--no-alias", "--tcp", "0", "--turnaround", "300"});
    const std::string where = sim.Field("port");
    const int port = std::stoi(where.substr(where.rfind(':') + 1));
    const auto connect = [&] {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << errno;
        return fd;
    };
    const uint8_t request[] = {1, 3, 0, 0, 0, 5, 0x85, 0xC9}; // working data, answered 300 ms on
    int first = connect();
    ASSERT_EQ(::write(first, request, sizeof request), ssize_t(sizeof request));
    ASSERT_TRUE(sim.WaitForLine([](const std::string& l) { return l.find("rx 01 03") != l.npos; }));
    ::close(first);
    ASSERT_TRUE(sim.WaitForLine([](const std::string& l) { return l.find("connection closed") != l.npos; }));
    const int second = connect();
    pollfd p{second, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 600), 0) << "the first master's reply reached the second";
    EXPECT_EQ(sim.Stop(SIGTERM), 0); // it closes the connection first
    ::close(second);
    testsim::Background again({kSim, "--no-alias", "--tcp", std::to_string(port)});
    EXPECT_EQ(again.Field("port"), where) << again.Output();
}

} // namespace
