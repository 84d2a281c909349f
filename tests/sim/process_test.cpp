// democomm-sim as a program: exit codes, and its alias removed on every way of stopping,
// replaced after a killed run, kept from a second run. Its answers: tests/e2e.
#include "process.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

const std::string kSim = DEMOCOMM_SIM_PATH;

TEST(SimProgram, RefusesBadArgumentsAndPorts) {
    for (const auto& [arg, code, says] : {std::tuple("--bogus", 2, "--help"),
                                          {"--slave", 2, "--help"},
                                          {"--port=/dev/null", 1, "is not a serial device"}}) {
        const testsim::Result r = testsim::Run({kSim, arg});
        EXPECT_EQ(r.exitCode, code) << r.output;
        EXPECT_NE(r.output.find(std::string("democomm-sim: ")), std::string::npos) << r.output;
        EXPECT_NE(r.output.find(says), std::string::npos) << r.output;
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
    testsim::Background killed(sim);
    killed.Field("alias");
    killed.Stop(SIGKILL);
    ASSERT_TRUE(fs::is_symlink(alias)) << "SIGKILL leaves the alias behind";
    testsim::Background live(sim);
    EXPECT_EQ(fs::read_symlink(alias), live.Field("port")) << "the stale one replaced";
    const testsim::Result second = testsim::Run(sim);
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.output.find("in use by democomm-sim"), std::string::npos) << second.output;
    live.Stop();
    fs::remove_all(tmpl);
}

} // namespace
