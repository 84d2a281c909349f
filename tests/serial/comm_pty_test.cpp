// TComm on real pseudo-terminals: the test holds the master end, where a device would sit.
#include "recorder.h"
#include "serial/co.h"
#include "serial/port.h"
#include "serial/posixbaud.h"

#include "support/openerror.h"
#include "support/pty.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <ostream>

#include <QElapsedTimer>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using serialtest::OpenDescriptors;
using serialtest::Recorder;
using testsupport::OpenError;
using testsupport::PtyPair;
using testsupport::Pump;
using testsupport::WaitUntil;

namespace {

std::vector<uint8_t> Bytes(std::size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>((i * 7 + seed) % 251); // no 0xFF: keep marks out of it
    return v;
}

// The far end of a fresh pseudo-terminal and a recorder set up for its slave side (not opened).
class CommPty : public ::testing::Test {
protected:
    PtyPair pty;
    Recorder r{pty.SlavePath()};
};

// ------------------------------------------------------------------ opening and closing

struct OpenCase {
    const char* name;
    std::string (*path)(); // the CommName to try
    const char* message;
    int systemError;
};
void PrintTo(const OpenCase& c, std::ostream* os) {
    *os << c.name;
}

std::string Missing() {
    return "/nonexistent-democomm/ttyX";
}
std::string DevNull() {
    return "/dev/null";
}
std::string RegularFile() {
    static std::string path = [] {
        std::string p = ::testing::TempDir() + "democomm-regular-XXXXXX";
        const int fd = ::mkstemp(p.data());
        ::close(fd);
        return p;
    }();
    return path;
}

class OpenFailures : public ::testing::TestWithParam<OpenCase> {};

TEST_P(OpenFailures, RaiseExactMessageAndLeaveNothingOpen) {
    const OpenCase& c = GetParam();
    TComm comm;
    comm.setCommName(QString::fromStdString(c.path()));
    const int before = OpenDescriptors();
    for (int attempt = 0; attempt < 2; ++attempt) { // a second attempt behaves like the first
        int err = -1;
        EXPECT_EQ(OpenError(comm, &err), c.message);
        EXPECT_EQ(err, c.systemError);
        EXPECT_FALSE(comm.IsOpen());
        EXPECT_EQ(OpenDescriptors(), before);
    }
    comm.ClosePort(); // harmless on a closed component
}

INSTANTIATE_TEST_SUITE_P(
    CommPty, OpenFailures,
    ::testing::Values(OpenCase{"Missing", Missing, "Error opening serial port", ENOENT},
                      OpenCase{"DevNull", DevNull, "File handle is not a comm handle ", ENOTTY},
                      OpenCase{"RegularFile", RegularFile, "File handle is not a comm handle ",
                               ENOTTY}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommPty, HardwareNameWithoutDeviceFails) {
    const std::string dir = ::testing::TempDir() + "democomm-noalias";
    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1); // no alias folder there
    for (const auto& [name, device] : {std::pair{"COM7", "/dev/ttyS6"}, {"COM99", "/dev/ttyS98"}}) {
        if (::access(device, F_OK) == 0)
            continue; // this machine has the device
        TComm comm;
        comm.setCommName(name);
        int err = 0;
        EXPECT_EQ(OpenError(comm, &err), "Error opening serial port") << name;
        EXPECT_EQ(err, ENOENT) << name;
    }
    ::unsetenv("XDG_RUNTIME_DIR");
}

TEST_F(CommPty, PortHeldElsewhereCannotBeOpened) {
    TComm first;
    first.setCommName(QString::fromStdString(pty.SlavePath()));
    first.OpenPort();

    TComm second; // another component in this program
    second.setCommName(first.CommName());
    int err = 0;
    EXPECT_EQ(OpenError(second, &err), "Error opening serial port");
    EXPECT_EQ(err, EBUSY);
    first.ClosePort();
    EXPECT_EQ(OpenError(second), "");
    second.ClosePort();

    // Another process holding the terminal with a lock.
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(release[1]); // so that the parent closing its end releases us
        const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
        const char ok = (fd >= 0 && ::flock(fd, LOCK_EX) == 0) ? 'y' : 'n';
        [[maybe_unused]] ssize_t n = ::write(ready[1], &ok, 1);
        char c;
        n = ::read(release[0], &c, 1);
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');
    EXPECT_EQ(OpenError(second), "Error opening serial port");
    ::close(release[1]);
    ::waitpid(child, nullptr, 0);
    for (int fd : {ready[0], ready[1], release[0]})
        ::close(fd);
    EXPECT_EQ(OpenError(second), "");
    second.ClosePort();

    // A holder that put the terminal in exclusive mode.
    const int holder = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(::ioctl(holder, TIOCEXCL), 0);
    EXPECT_EQ(OpenError(second), "Error opening serial port");
    ::ioctl(holder, TIOCNXCL);
    ::close(holder);
}

TEST_F(CommPty, SecondOpenRaisesAndPortStaysUsable) {
    r.comm.OpenPort();
    EXPECT_EQ(OpenError(r.comm), "This serial port already opened");
    EXPECT_TRUE(r.comm.IsOpen());
    ASSERT_TRUE(r.Send({1, 2, 3}));
    EXPECT_EQ(pty.ReadExactly(3), (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(CommPty, OpenCloseAndDestroyLeaveNothingOpen) {
    const int before = OpenDescriptors();
    for (int i = 0; i < 5; ++i) {
        r.comm.OpenPort();
        ASSERT_TRUE(WaitUntil([&] { return r.sent == i + 1; })); // one per open
        r.comm.ClosePort();
        r.comm.ClosePort(); // the second close does nothing
        EXPECT_EQ(OpenDescriptors(), before);
    }
    auto comm = std::make_unique<TComm>(); // destroyed while open and sending
    comm->setCommName(QString::fromStdString(pty.SlavePath()));
    comm->OpenPort();
    const uint8_t b = 1;
    comm->SendData(&b, 1);
    comm.reset();
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(OpenError(r.comm), "");
}

// ------------------------------------------------------------------ sending

TEST_F(CommPty, SendsExactFrameBytes) {
    EXPECT_FALSE(r.Send({1, 2})); // closed
    r.comm.OpenPort();
    const std::vector<uint8_t> frame{0x01, 0x03, 0x00, 0x00, 0x00, 0x05, 0x85, 0xC9};
    ASSERT_TRUE(r.Send(frame));
    EXPECT_EQ(pty.ReadExactly(frame.size()), frame);
    // Every byte value passes untranslated, 0x0A, 0x0D, 0x11/0x13 and 0xFF included.
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<uint8_t>(i);
    ASSERT_TRUE(r.Send(all));
    EXPECT_EQ(pty.ReadExactly(all.size()), all);
}

TEST_F(CommPty, EmptySendPulsesNothingAndArmsNoWatchdog) {
    r.comm.setLineBreakTime(30);
    r.comm.OpenPort();
    const uint8_t b = 0;
    EXPECT_FALSE(r.comm.SendData(&b, 0));
    Pump(120);
    EXPECT_EQ(r.lineBreaks, 0);
    EXPECT_TRUE(pty.ReadFor(10).empty());
}

TEST_F(CommPty, ClosePortWithStalledWriteIsPrompt) {
    r.comm.OpenPort();
    // The far end reads nothing: the terminal's buffers fill and the writer stalls.
    std::vector<uint8_t> chunk = Bytes(60000);
    for (int i = 0; i < 8; ++i)
        ASSERT_TRUE(r.Send(chunk));
    Pump(100);
    QElapsedTimer t;
    t.start();
    r.comm.ClosePort();
    EXPECT_LT(t.elapsed(), 2000); // generous; the benchmark measures the real figure
    EXPECT_FALSE(r.comm.IsOpen());
    EXPECT_EQ(r.hangups, 0);
    // What was left is dropped: the far end gets less than everything.
    EXPECT_LT(pty.ReadFor(50).size(), chunk.size() * 8);
}

// ------------------------------------------------------------------ receiving

TEST_F(CommPty, LongBurstArrivesIn2048Pieces) {
    r.comm.setReadIntervalTimeout(300); // room for a busy machine between the far end's writes
    r.comm.OpenPort();
    const auto data = Bytes(5000);
    pty.Write(data);
    ASSERT_TRUE(WaitUntil([&] { return r.All().size() >= 5000; }));
    ASSERT_EQ(r.pieces.size(), 3u);
    EXPECT_EQ(r.pieces[0].bytes.size(), 2048u);
    EXPECT_EQ(r.pieces[1].bytes.size(), 2048u);
    EXPECT_EQ(r.pieces[2].bytes.size(), 904u);
    for (const auto& p : r.pieces)
        EXPECT_EQ(p.after, 0);
    EXPECT_EQ(r.All(), data);
}

TEST_F(CommPty, PieceEndsAnIntervalAfterItsLastByte) {
    r.comm.setReadIntervalTimeout(300);
    r.comm.OpenPort();
    QElapsedTimer t;
    t.start();
    pty.Write({1, 3, 4});
    ASSERT_TRUE(WaitUntil([&] { return !r.pieces.empty(); }));
    EXPECT_GE(t.elapsed(), 290);
    pty.Write({0, 5}); // after that pause: a piece of its own
    ASSERT_TRUE(WaitUntil([&] { return r.pieces.size() == 2; }));
    EXPECT_EQ(r.pieces[0].bytes, (std::vector<uint8_t>{1, 3, 4}));
    EXPECT_EQ(r.pieces[1].bytes, (std::vector<uint8_t>{0, 5}));
    EXPECT_EQ(r.pieces[1].after, 0);
}

TEST_F(CommPty, RealFFBytesSurviveErrorMarking) {
    r.comm.OpenPort();
    // What a device may send that looks like the terminal's own marks.
    const std::vector<uint8_t> data{0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x41, 0xFF, 0x00, 0x42, 0xFF};
    pty.Write(data);
    ASSERT_TRUE(WaitUntil([&] { return r.All().size() >= data.size(); }));
    EXPECT_EQ(r.All(), data);
    EXPECT_TRUE(r.errors.empty());
}

// Reads that may finish with nothing end the reader quietly; the writer goes on.
TEST_F(CommPty, TotalTimeoutCompletesTheReadWithWhatCame) {
    r.comm.setReadIntervalTimeout(0); // no interval: only the total ends a read
    r.comm.setReadTotalTimeoutConstant(250);
    QElapsedTimer t;
    t.start();
    r.comm.OpenPort();
    pty.Write({1, 2, 3});
    ASSERT_TRUE(WaitUntil([&] { return r.pieces.size() == 1; }));
    EXPECT_GE(t.elapsed(), 200); // not before the total time-out of the read
    EXPECT_EQ(r.pieces[0].bytes, (std::vector<uint8_t>{1, 2, 3}));
    Pump(600); // the next read finds nothing
    pty.Write({4});
    Pump(100);
    EXPECT_EQ(r.pieces.size(), 1u);
    EXPECT_EQ(r.hangups, 0);
    ASSERT_TRUE(r.Send({3}));
    EXPECT_EQ(pty.ReadExactly(1), (std::vector<uint8_t>{3}));
}

TEST_F(CommPty, ReturnAtOnceReadEndsTheReaderQuietly) {
    r.comm.setReadIntervalTimeout(0xFFFFFFFFu);
    r.comm.setReadTotalTimeoutConstant(0);
    r.comm.OpenPort();
    Pump(100);
    pty.Write({1, 2});
    Pump(100);
    EXPECT_TRUE(r.pieces.empty());
    EXPECT_EQ(r.hangups, 0);
    ASSERT_TRUE(r.Send({3}));
    EXPECT_EQ(pty.ReadExactly(1), (std::vector<uint8_t>{3}));
    pty.CloseMaster(); // with the reader gone, the writer reports the unplugged device
    ASSERT_TRUE(WaitUntil([&] { return r.hangups == 1; }));
    EXPECT_FALSE(r.Send({1}));
}

TEST_F(CommPty, FirstByteCompletesWithMaxMultiplier) {
    r.comm.setReadIntervalTimeout(0xFFFFFFFFu);
    r.comm.setReadTotalTimeoutMultiplier(0xFFFFFFFFu);
    r.comm.setReadTotalTimeoutConstant(5000);
    r.comm.OpenPort();
    for (uint8_t b : {1, 2}) {
        QElapsedTimer t;
        t.start();
        pty.Write({b, b});
        ASSERT_TRUE(WaitUntil([&] { return r.All().size() == 2u * b; }));
        EXPECT_LT(t.elapsed(), 2500); // at once, not after the 5 s total
    }
    EXPECT_EQ(r.hangups, 0);
}

TEST_F(CommPty, FarEndClosingDeliversWhatCameThenHangsUp) {
    r.comm.setReadIntervalTimeout(400); // the piece is still being gathered when the end goes
    std::size_t piecesAtLastHangup = 0;
    r.comm.OnRequestHangup = [&](QObject*) {
        ++r.hangups;
        piecesAtLastHangup = r.pieces.size();
    };
    r.comm.OpenPort();
    pty.Write({7, 8});
    Pump(100);
    ASSERT_TRUE(r.pieces.empty());
    pty.CloseMaster();
    // Reader and writer both find the device gone: one hangup, after the data that came
    // before it; the writer has ended at once, so nothing can be sent.
    ASSERT_TRUE(WaitUntil([&] { return r.hangups == 1; }));
    EXPECT_FALSE(r.Send({1}));
    Pump(100);
    EXPECT_EQ(r.hangups, 1);
    EXPECT_EQ(r.All(), (std::vector<uint8_t>{7, 8}));
    EXPECT_EQ(piecesAtLastHangup, 1u);
    EXPECT_TRUE(r.comm.IsOpen()); // the component stays open until closed
    r.comm.ClosePort();
}

// The port layer: a stop wins over a read that completed before the reader looked, so
// nothing is reported once ClosePort has signalled the stop.
TEST_F(CommPty, StopWinsOverACompletedRead) {
    serial::OpenFailure failure;
    const auto port = serial::PosixPortFactory()->Open(pty.SlavePath(), failure);
    ASSERT_TRUE(port);
    port->SetCommTimeouts({0, 0, 1, 0, 0}); // the read completes 1 ms after it starts
    uint8_t buffer[16];
    ASSERT_EQ(port->StartRead(buffer, sizeof buffer).status, serial::IoStatus::Pending);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const int stop = ::eventfd(1, EFD_CLOEXEC); // signalled
    EXPECT_EQ(port->WaitReader(stop), serial::WaitResult::Stop);
    ::close(stop);
}

// ------------------------------------------------------------------ reply watchdog

TEST_F(CommPty, LineBreakStillComesAfterClosePort) {
    r.comm.setLineBreakTime(50);
    r.comm.OpenPort();
    ASSERT_TRUE(r.Send({7}));
    r.comm.ClosePort();
    ASSERT_TRUE(WaitUntil([&] { return r.lineBreaks == 1; }));
}

// ------------------------------------------------------------------ line settings

speed_t OutSpeed(int fd) {
    termios t{};
    tcgetattr(fd, &t);
    return cfgetospeed(&t);
}
tcflag_t CFlag(int fd) {
    termios t{};
    tcgetattr(fd, &t);
    return t.c_cflag;
}
tcflag_t IFlag(int fd) {
    termios t{};
    tcgetattr(fd, &t);
    return t.c_iflag;
}

// Opened on a terminal left in the kernel's cooked mode, as a fresh serial device is: the
// bytes pass raw even when the rate is refused (which keeps the previous line settings).
TEST_F(CommPty, TestWindowSettingsReachTheTerminal) {
    for (const uint32_t rate : {9600u, 0u}) {
        termios t{};
        ASSERT_EQ(tcgetattr(pty.MasterFd(), &t), 0); // the master reads the terminal's settings
        t.c_iflag |= ICRNL | IXON | INPCK;
        t.c_oflag |= OPOST;
        t.c_lflag |= ICANON | ECHO | ISIG;
        ASSERT_EQ(tcsetattr(pty.MasterFd(), TCSANOW, &t), 0);
        r.comm.setBaudRate(rate);
        r.comm.OpenPort(); // the recorder's line is the test windows' one
        ASSERT_EQ(tcgetattr(pty.MasterFd(), &t), 0);
        EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP | INPCK)) << rate;
        EXPECT_TRUE(t.c_iflag & PARMRK) << rate;
        EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG)) << rate;
        EXPECT_FALSE(t.c_oflag & OPOST) << rate;
        EXPECT_TRUE(t.c_cflag & CLOCAL) << rate;
        if (rate != 0) {
            EXPECT_EQ(cfgetospeed(&t), B9600);
            EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
            EXPECT_TRUE(t.c_cflag & CSTOPB);
            EXPECT_FALSE(t.c_cflag & (PARENB | CRTSCTS | HUPCL));
        }
        r.comm.ClosePort();
    }
}

TEST_F(CommPty, ChangesWhileOpenReapplyLineSettings) {
    r.comm.OpenPort();
    const int fd = pty.MasterFd();

    r.comm.setBaudRate(19200);
    EXPECT_EQ(OutSpeed(fd), B19200);

    r.comm.setStopBits(TStopBits::_1);
    EXPECT_FALSE(CFlag(fd) & CSTOPB);
    r.comm.setStopBits(TStopBits::_2);
    EXPECT_TRUE(CFlag(fd) & CSTOPB);

    r.comm.setParityCheck(true); // input parity checking only when asked for
    EXPECT_TRUE(IFlag(fd) & INPCK);
    r.comm.setParityCheck(false);
    EXPECT_FALSE(IFlag(fd) & INPCK);

    // A pseudo-terminal knows only 8 data bits without parity and refuses the rest; the
    // whole setting is then refused and the previous one stays (parity is checked on the
    // scripted port).
    r.comm.setByteSize(TByteSize::_7);
    EXPECT_EQ(CFlag(fd) & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(CFlag(fd) & CSTOPB);
    r.comm.setParity(TParity::None);
    r.comm.setByteSize(TByteSize::_8);

    // A rate the terminal layer has no constant for goes through the arbitrary-rate path.
    r.comm.setBaudRate(250000);
    EXPECT_EQ(serial::detail::ReadRate(fd), 250000u);

    // A rate of 0 (or "below 0") is refused: everything stays as it was.
    r.comm.setBaudRate(19200);
    r.comm.setBaudRate(0);
    EXPECT_EQ(OutSpeed(fd), B19200);
    r.comm.setStopBits(TStopBits::_1); // refused along with the rate still in the property
    EXPECT_TRUE(CFlag(fd) & CSTOPB);
    r.comm.setBaudRate(0xFFFFFFF0u);
    EXPECT_EQ(OutSpeed(fd), B19200);
    r.comm.setBaudRate(9600);
    EXPECT_EQ(OutSpeed(fd), B9600);
    EXPECT_FALSE(CFlag(fd) & CSTOPB);
    // Data still flows both ways after all this.
    ASSERT_TRUE(r.Send({1, 2}));
    EXPECT_EQ(pty.ReadExactly(2), (std::vector<uint8_t>{1, 2}));
}

TEST_F(CommPty, TimeoutChangeWhileOpenAppliesToTheNextRead) {
    r.comm.setReadIntervalTimeout(400);
    r.comm.OpenPort();
    r.comm.setReadIntervalTimeout(10); // the outstanding read keeps 400 ms
    pty.Write({1});
    ASSERT_TRUE(WaitUntil([&] { return r.pieces.size() == 1; }));
    QElapsedTimer t;
    t.start();
    pty.Write({2});
    ASSERT_TRUE(WaitUntil([&] { return r.pieces.size() == 2; }));
    EXPECT_LT(t.elapsed(), 300);
}

TEST_F(CommPty, AliasNameReachesTheTerminal) {
    const std::string runtime = ::testing::TempDir() + "democomm-rt-" + std::to_string(::getpid());
    ::mkdir(runtime.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    const std::string folder = runtime + "/democomm";
    ::mkdir(folder.c_str(), 0700);
    const std::string alias = folder + "/COM2";
    ::unlink(alias.c_str());
    ASSERT_EQ(::symlink(pty.SlavePath().c_str(), alias.c_str()), 0);
    Recorder byName; // the default name, "COM2"
    byName.comm.OpenPort();
    ASSERT_TRUE(byName.Send({0x42}));
    EXPECT_EQ(pty.ReadExactly(1), (std::vector<uint8_t>{0x42}));
    byName.comm.ClosePort();
    ::unlink(alias.c_str());
    ::rmdir(folder.c_str());
    ::rmdir(runtime.c_str());
    ::unsetenv("XDG_RUNTIME_DIR");
}

} // namespace
