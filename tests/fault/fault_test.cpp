// Faults a user meets: the far end going away while a window polls, a port opened and closed
// over and over with sends in flight, a port wanted by two components and two programs, and
// alias folders that must not be trusted.
// Long runs with figures: bench/fault_soak.
#include "../sim/process.h"
#include "serial/co.h"
#include "serial/portname.h"
#include "sim/alias.h"
#include "support/frames.h"
#include "support/openerror.h"
#include "support/pty.h"
#include "support/wait.h"
#include "testwindows/JC.h"
#include "ui/dialogs.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QTimer>

#include <filesystem>
#include <sys/stat.h>

using testsupport::OpenError;
using testsupport::WaitUntil;
namespace fs = std::filesystem;

namespace {

int Entries(const char* dir) {
    return int(std::distance(fs::directory_iterator(dir), {}));
}

// The simulator killed (its terminal goes with it) or frozen (the device stops answering)
// while the register window polls: one box, polling over, the event loop turning throughout.
TEST(FarEnd, GoneOrSilentDeviceEndsPollingWithOneBox) {
    for (const auto& [sig, box] : {std::pair(SIGKILL, "writeerror"), {SIGSTOP, "line break"}}) {
        QStringList boxes;
        ui::SetBoxSink([&](const ui::BoxRecord& r) { boxes << r.text; });
        testsim::Background sim({DEMOCOMM_SIM_PATH, "--no-alias", "--quiet"});
        TJCForm form;
        form.Comm32->setLineBreakTime(150);      // reply watchdog and poll pause short, so that the
        form.Comm32->setReadIntervalTimeout(20); // give-up rule acts within a second or so
        form.Timer03->setInterval(50);
        form.Comm32->setCommName(QString::fromStdString(sim.Field("port")));
        form.Comm32->OpenPort();
        form.EnableButtons();
        form.findChild<QAbstractButton*>("GKBitBtn")->click();
        ASSERT_TRUE(WaitUntil([&] { return !form.WorkingTexts[0].isEmpty(); }, 5000)) << sig;
        int beats = 0;
        QTimer heartbeat;
        QObject::connect(&heartbeat, &QTimer::timeout, [&] { ++beats; });
        heartbeat.start(10);
        ::kill(sim.Pid(), sig);
        EXPECT_TRUE(WaitUntil([&] { return !boxes.isEmpty(); }, 10000)) << sig;
        testsupport::Pump(300); // and nothing follows
        EXPECT_EQ(boxes, QStringList{QString::fromLatin1(box)});
        EXPECT_FALSE(form.Timer03->isActive()) << box;
        EXPECT_GT(beats, 20) << box;
        ::kill(sim.Pid(), SIGCONT);
        form.FormClose();
        ui::SetBoxSink({});
    }
}

TEST(OpenClose, RepeatedCyclesWithSendsInFlightLeaveNothingBehind) {
    testsupport::PtyPair pty;
    TComm comm;
    comm.setCommName(QString::fromStdString(pty.SlavePath()));
    comm.setReadIntervalTimeout(5);
    const std::vector<uint8_t> frame = testsupport::WithCrc({1, 3, 0, 0, 0, 5});
    int fds = 0, threads = 0;
    for (int i = 0; i < 120; ++i) {
        if (i == 20) { // after Qt's and the allocator's first-use growth
            fds = Entries("/proc/self/fd");
            threads = Entries("/proc/self/task");
        }
        comm.OpenPort();
        for (int k = 0; k < 3; ++k) // still queued or being written when the port closes
            comm.SendData(frame.data(), static_cast<uint16_t>(frame.size()));
        if (i % 8 == 0)
            pty.Write({1, 2, 3});
        comm.ClosePort();
        pty.ReadFor(0);
        ASSERT_TRUE(i < 20 || Entries("/proc/self/fd") == fds) << "cycle " << i;
    }
    EXPECT_EQ(Entries("/proc/self/task"), threads);
    comm.OpenPort(); // still a working port after all that
    comm.SendData(frame.data(), static_cast<uint16_t>(frame.size()));
    EXPECT_EQ(pty.ReadExactly(8), frame);
}

TEST(SharedPort, SecondComponentAndSecondProgramAreRefusedFirstKeepsWorking) {
    testsupport::PtyPair pty;
    const std::vector<std::string> holder = {DEMOCOMM_PORT_HOLDER_PATH, pty.SlavePath()};
    auto firstLine = [](testsim::Background& p) {
        return p.WaitForLine([](auto&) { return true; });
    };
    TComm first, second;
    first.setCommName(QString::fromStdString(pty.SlavePath()));
    second.setCommName(QString::fromStdString(pty.SlavePath()));
    ASSERT_EQ(OpenError(first), "");
    EXPECT_EQ(OpenError(second), "Error opening serial port");
    testsim::Background other(holder);
    EXPECT_EQ(firstLine(other).value_or("?"), "Error opening serial port");
    const std::vector<uint8_t> bytes{1, 2, 3};
    ASSERT_TRUE(first.SendData(bytes.data(), 3));
    EXPECT_EQ(pty.ReadExactly(3), bytes);
    first.ClosePort();
    testsim::Background holding(holder); // the other way round
    ASSERT_EQ(firstLine(holding).value_or("?"), "opened");
    EXPECT_EQ(OpenError(first), "Error opening serial port");
    holding.CloseStdin();
    EXPECT_EQ(holding.Wait(), 0);
    EXPECT_EQ(OpenError(first), "") << "released with the program's close";
}

// democomm and the simulator find the alias folder by one rule and distrust the same folders.
TEST(PortNames, SimulatorAndDemocommAgree) {
    char dir[] = "/tmp/fault-names-XXXXXX";
    const std::string folder = std::string(::mkdtemp(dir)) + "/democomm";
    for (const char* xdg : {"", "relative/dir", static_cast<const char*>(dir)}) {
        ::setenv("XDG_RUNTIME_DIR", xdg, 1);
        EXPECT_EQ(sim::AliasFolderPath(), serial::AliasFolder()) << xdg;
    }
    ::unsetenv("XDG_RUNTIME_DIR");
    fs::create_directory(folder);
    for (mode_t mode : {0777, 01777, 0702, 0700}) { // 0700: given to nobody (as root only)
        if (mode == 0700 && (::geteuid() != 0 || ::chown(folder.c_str(), 65534, 65534) != 0))
            break;
        ::chmod(folder.c_str(), mode);
        EXPECT_TRUE(sim::EnsureAliasFolder(folder) != "" && !serial::IsTrustedAliasFolder(folder))
            << mode;
    }
    fs::remove_all(dir);
}

} // namespace
