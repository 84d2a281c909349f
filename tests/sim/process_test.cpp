// democomm-sim's exit codes, and its alias on every way of stopping. Its answers: tests/e2e.
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

} // namespace
