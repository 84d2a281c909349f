// Fault runs: what the user sees when the far end goes away while a window polls, repeated
// opening and closing with sends in flight, a port wanted by two components and by two
// programs, an exchange run with every fault the simulator injects, and alias folders that
// must not be trusted. Long versions of the last runs: bench/fault_soak.
#include "soak.h"

#include "../sim/process.h"
#include "serial/co.h"
#include "serial/portname.h"
#include "support/openerror.h"
#include "support/pty.h"
#include "support/wait.h"
#include "testwindows/JC.h"
#include "testwindows/KG.h"
#include "testwindows/dialogs.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLineEdit>
#include <QTimer>

#include <csignal>
#include <dirent.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

using testsupport::WaitUntil;

namespace {

int Entries(const char* dir) {
    int n = 0;
    if (DIR* d = ::opendir(dir)) {
        while (::readdir(d))
            ++n;
        ::closedir(d);
    }
    return n;
}
int OpenDescriptors() {
    return Entries("/proc/self/fd");
}
int Threads() {
    return Entries("/proc/self/task");
}

void Click(QObject& form, const char* name) {
    form.findChild<QAbstractButton*>(QString::fromLatin1(name))->click();
}

// Counts the boxes a window shows.
struct Boxes {
    QStringList texts;
    Boxes() {
        ui::SetBoxSink([this](const ui::BoxRecord& r) { texts << r.text; });
    }
    ~Boxes() { ui::SetBoxSink({}); }
    int Count(const char* text) const {
        return static_cast<int>(texts.count(QString::fromUtf8(text)));
    }
};

// The simulator on its own pseudo-terminal, no alias.
struct Sim {
    testsim::Background process;
    std::string port;
    explicit Sim(std::vector<std::string> args = {})
        : process([&] {
              args.insert(args.begin(), {DEMOCOMM_SIM_PATH, "--no-alias", "--quiet"});
              return args;
          }()) {
        port = process.Field("port");
    }
};

// Proof that the event loop keeps turning while the window waits: a timer that counts.
struct Heartbeat {
    QTimer timer;
    int beats = 0;
    Heartbeat() {
        QObject::connect(&timer, &QTimer::timeout, [this] { ++beats; });
        timer.start(10);
    }
};

// A register window polling working data, its waits kept short: reply watchdog 150 ms and
// a 50 ms pause between polls, so that the give-up rule acts within a second or so.
void Quicken(TJCForm& form) {
    form.Comm32->setLineBreakTime(150);
    form.Comm32->setReadIntervalTimeout(20);
    form.Timer03->setInterval(50);
}

// ------------------------------------------------------------------ the far end goes away

TEST(FarEnd, SimulatorKilledWhilePollingThenWindowReopensOnANewDevice) {
    Boxes boxes;
    Heartbeat heart;
    TJCForm form;
    Quicken(form);
    auto sim = std::make_unique<Sim>();
    ASSERT_FALSE(sim->port.empty());
    bool polled = false, told = false;
    int beatsWhileGone = 0;
    QTimer::singleShot(0, &form, [&] {
        Click(form, "GKBitBtn");
        polled = WaitUntil([&] { return !form.WorkingTexts[0].isEmpty(); }, 5000);
        ::kill(sim->process.Pid(), SIGKILL); // the pseudo-terminal's master goes with it
        const int before = heart.beats;
        told = WaitUntil([&] { return boxes.Count("writeerror") > 0; }, 5000);
        WaitUntil([] { return false; }, 300); // and nothing else follows
        beatsWhileGone = heart.beats - before;
        Click(form, "BitBtn2");
    });
    form.ShowWithPort(9600, QString::fromStdString(sim->port));
    EXPECT_TRUE(polled);
    EXPECT_TRUE(told) << boxes.texts.join('|').toStdString();
    EXPECT_EQ(boxes.texts, QStringList{QStringLiteral("writeerror")}); // shown once, polling over
    EXPECT_GT(beatsWhileGone, 10);
    EXPECT_FALSE(form.Comm32->IsOpen());
    EXPECT_TRUE(form.findChild<QAbstractButton*>(QStringLiteral("GKBitBtn")) != nullptr);

    // The same window on another device: polling works again.
    sim = std::make_unique<Sim>();
    form.WorkingTexts = {};
    bool again = false;
    QTimer::singleShot(0, &form, [&] {
        Click(form, "GKBitBtn");
        again = WaitUntil([&] { return !form.WorkingTexts[0].isEmpty(); }, 5000);
        Click(form, "BitBtn2");
    });
    form.ShowWithPort(9600, QString::fromStdString(sim->port));
    EXPECT_TRUE(again);
    EXPECT_EQ(boxes.Count("writeerror"), 1);
}

TEST(FarEnd, SilentDeviceGivesUpWithLineBreak) {
    // The line is there but the device has stopped answering (here: the simulator frozen).
    Boxes boxes;
    Heartbeat heart;
    Sim sim;
    ASSERT_FALSE(sim.port.empty());
    TJCForm form;
    Quicken(form);
    bool gaveUp = false;
    QTimer::singleShot(0, &form, [&] {
        Click(form, "GKBitBtn");
        ASSERT_TRUE(WaitUntil([&] { return !form.WorkingTexts[0].isEmpty(); }, 5000));
        ::kill(sim.process.Pid(), SIGSTOP);
        gaveUp = WaitUntil([&] { return boxes.Count("line break") > 0; }, 10000);
        ::kill(sim.process.Pid(), SIGCONT);
        Click(form, "BitBtn2");
    });
    form.ShowWithPort(9600, QString::fromStdString(sim.port));
    EXPECT_TRUE(gaveUp);
    EXPECT_EQ(boxes.texts, QStringList{QStringLiteral("line break")});
    EXPECT_TRUE(form.Stopped);
    EXPECT_TRUE(form.findChild<QAbstractButton*>(QStringLiteral("GKBitBtn"))->isEnabled());
    EXPECT_GT(heart.beats, 50);
}

TEST(FarEnd, TerminalMasterClosedWhileSwitchWindowPolls) {
    Boxes boxes;
    TKGForm form;
    form.Comm32->setLineBreakTime(150);
    form.Comm32->setReadIntervalTimeout(20);
    form.Timer02->setInterval(50);
    auto pty = std::make_unique<testsupport::PtyPair>();
    form.Comm32->setCommName(QString::fromStdString(pty->SlavePath()));
    form.Comm32->OpenPort();
    form.EnableButtons();
    Click(form, "KGBitBtn");
    ASSERT_EQ(pty->ReadExactly(8).size(), 8u);
    pty->Write(soak::WithCrc({0x01, 0x02, 0x02, 0xFF, 0x0F}));
    ASSERT_TRUE(WaitUntil([&] { return form.ReplySeen; }));
    pty->CloseMaster(); // the adapter is pulled out
    ASSERT_TRUE(WaitUntil([&] { return boxes.Count("writeerror") > 0; }, 5000))
        << boxes.texts.join('|').toStdString();
    WaitUntil([] { return false; }, 300);
    EXPECT_EQ(boxes.texts, QStringList{QStringLiteral("writeerror")});
    form.FormClose();
    EXPECT_FALSE(form.Comm32->IsOpen());

    // A new adapter: the window opens on it and polls.
    pty = std::make_unique<testsupport::PtyPair>();
    form.Comm32->setCommName(QString::fromStdString(pty->SlavePath()));
    form.Comm32->OpenPort();
    form.EnableButtons();
    Click(form, "KGBitBtn");
    ASSERT_EQ(pty->ReadExactly(8).size(), 8u);
    form.ReplySeen = false;
    pty->Write(soak::WithCrc({0x01, 0x02, 0x02, 0x01, 0x00}));
    EXPECT_TRUE(WaitUntil([&] { return form.ReplySeen; }));
    EXPECT_EQ(form.StateTexts[0], QStringLiteral("是"));
    form.FormClose();
}

// ------------------------------------------------------------------ open and close

TEST(OpenClose, RepeatedCyclesWithSendsInFlightLeaveNothingBehind) {
    testsupport::PtyPair pty;
    TComm comm;
    comm.setCommName(QString::fromStdString(pty.SlavePath()));
    comm.setReadIntervalTimeout(5);
    const std::vector<uint8_t> frame = soak::WithCrc({1, 3, 0, 0, 0, 5});
    const auto cycle = [&](int i) {
        comm.OpenPort();
        // Sends still queued or being written when the port closes; every few cycles a
        // few bytes come in as well.
        for (int k = 0; k < 3; ++k)
            comm.SendData(frame.data(), static_cast<uint16_t>(frame.size()));
        if (i % 8 == 0)
            pty.Write({1, 2, 3});
        comm.ClosePort();
        pty.ReadFor(0);
    };
    for (int i = 0; i < 20; ++i) // warm-up: Qt's and the allocator's first-use growth
        cycle(i);
    const int fds = OpenDescriptors(), threads = Threads();
    const long rss = soak::ResidentKiB();
    constexpr int cycles = 200; // bench/fault_soak runs 1,000 and more
    for (int i = 0; i < cycles; ++i) {
        cycle(i);
        ASSERT_EQ(OpenDescriptors(), fds) << "cycle " << i;
    }
    EXPECT_EQ(Threads(), threads);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Sanitizers hold freed memory back on purpose; there LeakSanitizer does this job.
    EXPECT_LT(soak::ResidentKiB() - rss, 2048) << "KiB grown over " << cycles << " cycles";
#else
    (void)rss;
#endif
    // Still a working port after all that.
    comm.OpenPort();
    comm.SendData(frame.data(), static_cast<uint16_t>(frame.size()));
    EXPECT_EQ(pty.ReadExactly(8), frame);
    comm.ClosePort();
}

// ------------------------------------------------------------------ one port, two users

using testsupport::OpenError;

TEST(SharedPort, SecondComponentAndSecondProgramAreRefusedFirstKeepsWorking) {
    testsupport::PtyPair pty;
    const QString name = QString::fromStdString(pty.SlavePath());
    TComm first, second;
    first.setCommName(name);
    second.setCommName(name);
    ASSERT_EQ(OpenError(first), "");
    EXPECT_EQ(OpenError(second), "Error opening serial port");
    EXPECT_FALSE(second.IsOpen());

    // Another program wants it too.
    testsim::Background other({DEMOCOMM_PORT_HOLDER_PATH, pty.SlavePath()});
    EXPECT_EQ(other.WaitForLine([](const std::string&) { return true; }).value_or("?"),
              "Error opening serial port");

    const std::vector<uint8_t> bytes{1, 2, 3};
    ASSERT_TRUE(first.SendData(bytes.data(), 3));
    EXPECT_EQ(pty.ReadExactly(3), bytes);
    other.CloseStdin();
    EXPECT_EQ(other.Wait(), 0);
    first.ClosePort();

    // The other way round: the other program holds it, this one is refused.
    testsim::Background holder({DEMOCOMM_PORT_HOLDER_PATH, pty.SlavePath()});
    ASSERT_EQ(holder.WaitForLine([](const std::string&) { return true; }).value_or("?"), "opened");
    EXPECT_EQ(OpenError(first), "Error opening serial port");
    holder.CloseStdin();
    EXPECT_EQ(holder.Wait(), 0);
    EXPECT_EQ(OpenError(first), ""); // released with the program's close
    first.ClosePort();
}

// ------------------------------------------------------------------ every fault, accounted

TEST(FaultFlags, EveryReplyAccountedForAndMatchesWhatTheSimulatorInjected) {
    soak::Settings settings;
    settings.simPath = DEMOCOMM_SIM_PATH;
    settings.exchanges = 200; // bench/fault_soak runs 10,000 and more
    const soak::Report r = soak::Run(settings);
    const std::string text = r.Text();
    ASSERT_EQ(r.exchanges, settings.exchanges) << text;
    EXPECT_EQ(r.Accounted(), r.exchanges) << text;
    EXPECT_EQ(r.unexplained, 0) << text;
    // Five faults are read from the bytes alone and must match exactly. Delay and split are
    // read from when the bytes came, which a heavily loaded machine (sanitizers, parallel
    // builds) can blur now and then: a hundredth of the exchanges is allowed there.
    const soak::FaultTally injected = soak::FaultTally::Parse(r.simFaults);
    ASSERT_FALSE(r.simFaults.empty()) << text;
    EXPECT_EQ(r.seen.drop, injected.drop) << text;
    EXPECT_EQ(r.seen.badCrc, injected.badCrc) << text;
    EXPECT_EQ(r.seen.exception, injected.exception) << text;
    EXPECT_EQ(r.seen.noise, injected.noise) << text;
    EXPECT_EQ(r.seen.echo, injected.echo) << text;
    const long slack = settings.exchanges / 100;
    EXPECT_LE(std::abs(r.seen.delay - injected.delay), slack) << text;
    EXPECT_LE(std::abs(r.seen.split - injected.split), slack) << text;
    EXPECT_LE(r.mispredicted, slack) << text;
    EXPECT_GT(r.seen.drop, 0) << text;
    EXPECT_GT(r.outcomes[static_cast<int>(soak::Outcome::Accepted)], settings.exchanges / 3)
        << text;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(r.rssEndKiB - r.rssStartKiB, 4096) << text;
#endif
    std::printf("%s", text.c_str());
}

// ------------------------------------------------------------------ alias folders

// Group-writable and linked folders: tests/serial/portname_test.cpp. Here: writable by
// everyone (with and without the sticky bit of /tmp) and owned by someone else.
class UntrustedAliasFolder : public ::testing::TestWithParam<mode_t> {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/fault-alias-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        runtime_ = tmpl;
        ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        folder_ = runtime_ + "/democomm";
        ASSERT_EQ(::mkdir(folder_.c_str(), 0700), 0);
        ASSERT_EQ(::symlink(pty_.SlavePath().c_str(), (folder_ + "/COM2").c_str()), 0);
    }
    void TearDown() override {
        ::unsetenv("XDG_RUNTIME_DIR");
        std::filesystem::remove_all(runtime_);
    }
    testsupport::PtyPair pty_;
    std::string runtime_, folder_;
};

TEST_P(UntrustedAliasFolder, IsIgnored) {
    ASSERT_EQ(serial::ResolvePortName("COM2"), folder_ + "/COM2"); // trusted as made
    ASSERT_EQ(::chmod(folder_.c_str(), GetParam()), 0);
    EXPECT_FALSE(serial::IsTrustedAliasFolder(folder_));
    EXPECT_EQ(serial::ResolvePortName("COM2"), "/dev/ttyS1");
    TComm comm; // and the component does not reach the aliased terminal through it
    comm.setCommName(QStringLiteral("COM2"));
    try {
        comm.OpenPort();
        const uint8_t byte = 0x55;
        comm.SendData(&byte, 1);
        EXPECT_TRUE(pty_.ReadFor(200).empty()) << "reached through an untrusted alias folder";
        comm.ClosePort();
    } catch (const ECommsError& e) {
        EXPECT_EQ(e.Path(), "/dev/ttyS1");
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, UntrustedAliasFolder, ::testing::Values(0777, 01777, 0702, 0703),
                         [](const ::testing::TestParamInfo<mode_t>& info) {
                             char name[16];
                             std::snprintf(name, sizeof name, "mode%04o", info.param);
                             return std::string(name);
                         });

TEST(AliasFolderOwner, FolderOfAnotherUserIsIgnored) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a folder to another user";
    char tmpl[] = "/tmp/fault-owner-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string folder = std::string(tmpl) + "/democomm";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0); // nobody
    ::setenv("XDG_RUNTIME_DIR", tmpl, 1);
    EXPECT_FALSE(serial::IsTrustedAliasFolder(folder));
    EXPECT_EQ(serial::ResolvePortName("COM2"), "/dev/ttyS1");
    ::unsetenv("XDG_RUNTIME_DIR");
    std::filesystem::remove_all(tmpl);
}

} // namespace
