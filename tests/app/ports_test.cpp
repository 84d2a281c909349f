// The ports present where users meet them: the settings dialog's list, and
// `democomm --list-ports` on this machine with democomm-sim running.
#include "app/init.h"
#include "app_test_support.h"
#include "serial/portname.h"
#include "sim/process.h"
#include "support/pty.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QPushButton>
#include <QTest>

#include <fcntl.h>
#include <filesystem>
#include <regex>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace apptest;

namespace {

TEST(PortsInDialog, ComNamesFirstThenThePortsPresentAndTheChoiceOpens) {
    BoxCapture capture;
    // An adapter with a stable link, made here from a pseudo-terminal and a link in a folder.
    testsupport::PtyPair adapter;
    const fs::path dir = fs::temp_directory_path() / ("ports-test-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string stable = (dir / "usb-FTDI_FT232R_A1B2-if00-port0").string();
    fs::create_symlink(adapter.SlavePath(), stable);

    std::vector<serial::PortInfo> present{
        {"COM2", "/dev/pts/9", "", serial::SimulatedDeviceText, {}, "", ""}};
    TInitForm form;
    form.SetPortSource([&] { return present; });
    QComboBox* box = Find<QComboBox>(form, "CommNumberComBox");
    const auto items = [box] {
        QStringList list;
        for (int i = 0; i < box->count(); ++i)
            list << box->itemText(i);
        return list;
    };
    const QStringList com{"COM1", "COM2", "COM3", "COM4"};
    DriveModal([&] { form.ShowWithPort(9600, "COM2"); },
               [&] {
                   EXPECT_EQ(items(), com);
                   form.close();
               });

    // Plugged in while the dialog was closed: listed at the next opening, no restart.
    present.push_back(
        {"ttyUSB0", adapter.SlavePath(), stable, "FT232R USB UART, FTDI", {}, stable, ""});
    DriveModal([&] { form.ShowWithPort(9600, "COM2"); },
               [&] {
                   EXPECT_EQ(items(), com + QStringList{QString::fromStdString(stable)});
                   const int width = box->width();
                   box->showPopup();
                   EXPECT_GT(box->view()->width(), width) << "the descriptions need room";
                   EXPECT_EQ(box->width(), width);
                   QTest::keyClick(box->view(), Qt::Key_End);
                   QTest::keyClick(box->view(), Qt::Key_Return);
                   Find<QPushButton>(form, "BitBtn1")->click();
               });
    EXPECT_EQ(form.result(), TInitForm::mrOk);
    ASSERT_EQ(form.CommPortName().toStdString(), stable);
    // The name handed back reaches the adapter.
    const int fd = ::open(serial::ResolvePortName(stable).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::write(fd, "x", 1), 1);
    ::close(fd);
    EXPECT_EQ(adapter.ReadExactly(1), std::vector<uint8_t>{'x'});
    EXPECT_TRUE(capture.boxes.empty());
    fs::remove_all(dir);
}

TEST(ListPorts, TableOnThisMachineWithTheSimulatorsAlias) {
    char runtime[] = "/tmp/ports-test-XXXXXX";
    ASSERT_NE(::mkdtemp(runtime), nullptr);
    // No display of any kind: the table must not need one.
    const std::vector<std::string> env{"env",
                                       "-u",
                                       "DISPLAY",
                                       "-u",
                                       "WAYLAND_DISPLAY",
                                       "-u",
                                       "QT_QPA_PLATFORM",
                                       std::string("XDG_RUNTIME_DIR=") + runtime};
    const auto with = [&](std::vector<std::string> args) {
        args.insert(args.begin(), env.begin(), env.end());
        return args;
    };
    testsim::Background sim(with({DEMOCOMM_SIM_PATH}));
    const std::string pty = sim.Field("port");
    ASSERT_FALSE(pty.empty()) << sim.Output();

    testsim::Background list(with({DEMOCOMM_PATH, "--list-ports"}));
    EXPECT_EQ(list.Wait(10000), 0) << list.Output();
    const std::string output = list.Output();
    std::istringstream lines(output);
    std::string line;
    std::getline(lines, line);
    EXPECT_TRUE(std::regex_match(
        line, std::regex("NAME +DEVICE +ACCESS +BUSY +HELD BY +STABLE PATH +DESCRIPTION")))
        << line;
    int simulated = 0;
    // The simulator keeps the terminal's far end and, to avoid hang-ups, its near end open:
    // it is the device, not a program holding the port. Only root sees every process, so for
    // anyone else whether some other program holds it stays open.
    const std::string free = ::geteuid() == 0 ? "no" : "(no|\\?)";
    const std::regex serialLine(R"((\S+) +/dev/ttyS(\d+) .*)");
    while (std::getline(lines, line)) {
        // ttyS<k> is COM<k+1>, but the simulator's alias COM2 takes that name from ttyS1.
        if (std::smatch m; std::regex_match(line, m, serialLine)) {
            EXPECT_EQ(m[1], m[2] == "1" ? "ttyS1" : "COM" + std::to_string(std::stoi(m[2]) + 1));
        }
        simulated += std::regex_match(line, std::regex("COM2 +" + pty + " +yes +" + free +
                                                       " +- +- +模拟装置 \\(democomm-sim\\)"));
    }
    EXPECT_EQ(simulated, 1) << output;

    fs::remove_all(runtime);
}

// The startup probe the startup benchmark reads: "shown" then "ready", each at a moment of the
// monotonic clock while the program ran, with its resident memory.
TEST(Startup, ProbeReportsBothStagesOnTheMonotonicClock) {
    const auto now = [] {
        timespec t{};
        ::clock_gettime(CLOCK_MONOTONIC, &t);
        return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
    };
    const long long before = now();
    testsim::Background probe(
        {"env", "DEMOCOMM_STARTUP_PROBE=1", "QT_QPA_PLATFORM=offscreen", DEMOCOMM_PATH});
    ASSERT_EQ(probe.Wait(20000), 0) << probe.Output();
    const long long after = now();
    std::smatch m;
    const std::string out = probe.Output();
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(shown (\d+) rss (\d+)\nready (\d+) rss (\d+))")))
        << out;
    const long long shown = std::stoll(m[1]), ready = std::stoll(m[3]);
    EXPECT_TRUE(before < shown && shown <= ready && ready < after) << out;
    EXPECT_GT(std::stol(m[2]), 0);
}

} // namespace
