// TComm on real pseudo-terminals: the test holds the master end, where a device would sit.
#include "recorder.h"
#include "serial/port.h"
#include "serial/posixbaud.h"
#include "support/pty.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>

namespace {

std::vector<uint8_t> Bytes(std::size_t n) {
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>((i * 7 + 1) % 251); // no 0xFF: keep marks out of it
    return v;
}

termios Settings(int fd) {
    termios t{};
    tcgetattr(fd, &t);
    return t;
}

class CommPty : public ::testing::Test {
protected:
    testsupport::PtyPair pty;
    Recorder r{pty.SlavePath()};
};

TEST(CommOpen, FailuresRaiseTheirMessageAndLeaveNothingOpen) {
    const std::string file = ::testing::TempDir() + "democomm-regular";
    ::close(::open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    for (const auto& [path, message, systemError] :
         {std::tuple{"/nonexistent-democomm/ttyX", "Error opening serial port", ENOENT},
          {"/dev/null", "File handle is not a comm handle ", ENOTTY},
          {file.c_str(), "File handle is not a comm handle ", ENOTTY}}) {
        TComm comm;
        comm.setCommName(path);
        const int before = OpenDescriptors();
        int err = -1;
        EXPECT_EQ(OpenError(comm, &err), message) << path;
        EXPECT_EQ(err, systemError) << path;
        EXPECT_FALSE(comm.IsOpen());
        EXPECT_EQ(OpenDescriptors(), before);
    }
}

TEST_F(CommPty, PortHeldElsewhereCannotBeOpened) {
    r.comm.OpenPort();
    EXPECT_EQ(OpenError(r.comm), "This serial port already opened");
    TComm second; // another component, in this program or another one
    second.setCommName(r.comm.CommName());
    int err = 0;
    EXPECT_EQ(OpenError(second, &err), "Error opening serial port");
    EXPECT_EQ(err, EBUSY);
    r.comm.ClosePort();
    // A holder that put the terminal in exclusive mode without a lock.
    const int holder = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(::ioctl(holder, TIOCEXCL), 0);
    EXPECT_EQ(OpenError(second), "Error opening serial port");
    ::ioctl(holder, TIOCNXCL);
    ::close(holder);
    EXPECT_EQ(OpenError(second), "");
}

TEST_F(CommPty, OpenCloseAndDestroyLeaveNothingOpen) {
    const int before = OpenDescriptors();
    for (int i = 0; i < 3; ++i) {
        r.comm.OpenPort();
        ASSERT_TRUE(WaitUntil([&] { return r.sent == i + 1; })); // one per open
        r.comm.ClosePort();
        r.comm.ClosePort(); // the second close does nothing
        EXPECT_EQ(OpenDescriptors(), before);
    }
    auto comm = std::make_unique<TComm>(); // destroyed while open and sending
    comm->setCommName(QString::fromStdString(pty.SlavePath()));
    comm->OpenPort();
    comm->SendData("x", 1);
    comm.reset();
    EXPECT_EQ(OpenDescriptors(), before);
}

// Opened on a terminal left in the kernel's cooked mode, as a fresh serial device is: the
// bytes pass raw even when the rate is refused (which keeps the previous line format).
TEST_F(CommPty, EveryByteValuePassesRawBothWays) {
    for (const uint32_t rate : {0u, 9600u}) {
        termios t = Settings(pty.MasterFd()); // the master reads the terminal's settings
        t.c_iflag |= ICRNL | IXON | INPCK;
        t.c_oflag |= OPOST;
        t.c_lflag |= ICANON | ECHO | ISIG;
        ASSERT_EQ(tcsetattr(pty.MasterFd(), TCSANOW, &t), 0);
        r.comm.setBaudRate(rate);
        r.pieces.clear();
        r.comm.OpenPort();
        // Everything, 0x0A, 0x0D, 0x04, 0x11/0x13 and 0xFF included, and what looks like the
        // terminal's own error marks.
        std::vector<uint8_t> all{0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x41, 0xFF, 0x00, 0x42};
        for (int i = 0; i < 256; ++i)
            all.push_back(static_cast<uint8_t>(i));
        ASSERT_TRUE(r.Send(all));
        EXPECT_EQ(pty.ReadExactly(all.size()), all) << rate;
        pty.Write(all);
        ASSERT_TRUE(WaitUntil([&] { return r.All().size() >= all.size(); }));
        EXPECT_EQ(r.All(), all) << rate;
        EXPECT_TRUE(pty.ReadFor(20).empty()) << rate; // nothing echoed
        EXPECT_TRUE(r.errors.empty());
        r.comm.ClosePort();
    }
}

TEST_F(CommPty, ChangesWhileOpenReapplyLineSettings) {
    r.comm.OpenPort();
    const int fd = pty.MasterFd();
    r.comm.setBaudRate(19200);
    EXPECT_EQ(serial::detail::ReadRate(fd), 19200u);
    r.comm.setStopBits(TStopBits::_1);
    EXPECT_FALSE(Settings(fd).c_cflag & CSTOPB);
    r.comm.setParityCheck(true); // input parity checking only when asked for
    EXPECT_TRUE(Settings(fd).c_iflag & INPCK);
    r.comm.setParityCheck(false);
    EXPECT_FALSE(Settings(fd).c_iflag & INPCK);
    // A rate the terminal layer has no constant for goes through the arbitrary-rate path.
    r.comm.setBaudRate(250000);
    EXPECT_EQ(serial::detail::ReadRate(fd), 250000u);
    for (const uint32_t refused : {0u, 0xFFFFFFF0u}) { // 0 and "below 0": the rate stays
        r.comm.setBaudRate(refused);
        EXPECT_EQ(serial::detail::ReadRate(fd), 250000u);
    }
}

TEST_F(CommPty, ClosePortWithStalledWriteIsPrompt) {
    r.comm.OpenPort();
    const std::vector<uint8_t> chunk = Bytes(60000); // the far end reads nothing: buffers fill
    for (int i = 0; i < 8; ++i)
        ASSERT_TRUE(r.Send(chunk));
    Pump(100);
    QElapsedTimer t;
    t.start();
    r.comm.ClosePort();
    EXPECT_LT(t.elapsed(), 2000); // generous; the benchmark measures the real figure
    EXPECT_EQ(r.hangups, 0);
    EXPECT_LT(pty.ReadFor(50).size(), chunk.size() * 8); // what was left is dropped
}

TEST_F(CommPty, PiecesEndAnIntervalAfterTheLastByteOrAt2048) {
    r.comm.setReadIntervalTimeout(300);
    r.comm.OpenPort();
    QElapsedTimer t;
    t.start();
    pty.Write({1, 3, 4});
    ASSERT_TRUE(WaitUntil([&] { return !r.pieces.empty(); }));
    EXPECT_GE(t.elapsed(), 290);
    const auto data = Bytes(5000);
    pty.Write(data);
    ASSERT_TRUE(WaitUntil([&] { return r.All().size() >= 5003; }));
    ASSERT_EQ(r.pieces.size(), 4u);
    EXPECT_EQ(r.pieces[0], (std::vector<uint8_t>{1, 3, 4}));
    EXPECT_EQ(r.pieces[1].size(), 2048u);
    EXPECT_EQ(r.pieces[3].size(), 904u);
    const auto all = r.All();
    EXPECT_EQ(std::vector<uint8_t>(all.begin() + 3, all.end()), data);
}

// Reads that may finish with nothing end the reader quietly; the writer goes on and watches
// the port for the reader.
TEST_F(CommPty, TotalTimeoutCompletesTheReadWithWhatCame) {
    r.comm.setReadIntervalTimeout(0); // no interval: only the total ends a read
    r.comm.setReadTotalTimeoutConstant(250);
    QElapsedTimer t;
    t.start();
    r.comm.OpenPort();
    pty.Write({1, 2, 3});
    ASSERT_TRUE(WaitUntil([&] { return r.pieces.size() == 1; }));
    EXPECT_GE(t.elapsed(), 200);
    Pump(400); // the next read finds nothing
    pty.Write({4});
    Pump(100);
    EXPECT_EQ(r.pieces.size(), 1u);
    ASSERT_TRUE(r.Send({3}));
    EXPECT_EQ(pty.ReadExactly(1), (std::vector<uint8_t>{3}));
    EXPECT_EQ(r.hangups, 0);
    pty.CloseMaster(); // with the reader gone, the writer reports the unplugged device
    ASSERT_TRUE(WaitUntil([&] { return r.hangups == 1; }));
    EXPECT_FALSE(r.Send({1}));
}

TEST_F(CommPty, OtherReadTimeoutModes) {
    r.comm.setReadIntervalTimeout(0xFFFFFFFFu);
    r.comm.setReadTotalTimeoutMultiplier(0xFFFFFFFFu);
    r.comm.setReadTotalTimeoutConstant(5000);
    r.comm.OpenPort();
    QElapsedTimer t;
    t.start();
    pty.Write({1, 1});
    ASSERT_TRUE(WaitUntil([&] { return r.All().size() == 2; }));
    EXPECT_LT(t.elapsed(), 2500); // the first byte completes, not the 5 s total
    r.comm.ClosePort();
    r.comm.setReadTotalTimeoutMultiplier(0); // return at once with what is there: nothing
    r.comm.setReadTotalTimeoutConstant(0);
    r.comm.OpenPort();
    Pump(50);
    pty.Write({2});
    Pump(100);
    EXPECT_EQ(r.All().size(), 2u);
    EXPECT_EQ(r.hangups, 0);
}

TEST_F(CommPty, FarEndClosingDeliversWhatCameThenHangsUpOnce) {
    r.comm.setReadIntervalTimeout(400); // the piece is still being gathered when the end goes
    std::size_t piecesAtHangup = 0;
    r.comm.OnRequestHangup = [&](QObject*) { ++r.hangups, piecesAtHangup = r.pieces.size(); };
    r.comm.OpenPort();
    pty.Write({7, 8});
    Pump(100);
    ASSERT_TRUE(r.pieces.empty());
    pty.CloseMaster(); // reader and writer both find the device gone
    ASSERT_TRUE(WaitUntil([&] { return r.hangups == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return !r.Send({1}); })); // the writer ends as well
    Pump(100);
    EXPECT_EQ(r.hangups, 1);
    EXPECT_EQ(r.All(), (std::vector<uint8_t>{7, 8}));
    EXPECT_EQ(piecesAtHangup, 1u);
    EXPECT_TRUE(r.comm.IsOpen()); // the component stays open until closed
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

} // namespace
