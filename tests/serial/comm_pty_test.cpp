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
        const long before = OpenDescriptors();
        int err = -1;
        EXPECT_EQ(OpenError(comm, &err), message) << path;
        EXPECT_EQ(err, systemError) << path;
        EXPECT_FALSE(comm.IsOpen());
        EXPECT_EQ(OpenDescriptors(), before);
    }
}

TEST_F(CommPty, OpenIsExclusiveAndCloseLeavesNothingOpen) {
    const long before = OpenDescriptors();
    r.comm.OpenPort();
    EXPECT_EQ(OpenError(r.comm), "This serial port already opened");
    auto second = std::make_unique<TComm>(); // another component, here or in another program
    second->setCommName(r.comm.CommName());
    int err = 0;
    EXPECT_EQ(OpenError(*second, &err), "Error opening serial port");
    EXPECT_EQ(err, EBUSY);
    r.comm.ClosePort();
    r.comm.ClosePort(); // the second close does nothing
    EXPECT_EQ(OpenDescriptors(), before);
    // A holder that put the terminal in exclusive mode without a lock.
    const int holder = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(::ioctl(holder, TIOCEXCL), 0);
    EXPECT_EQ(OpenError(*second), "Error opening serial port");
    ::ioctl(holder, TIOCNXCL);
    ::close(holder);
    EXPECT_EQ(OpenError(*second), "");
    second->SendData("x", 1);
    second.reset(); // destroyed while open and sending
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
    const std::vector<uint8_t> chunk(60000, 0x55); // the far end reads nothing: buffers fill
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

TEST_F(CommPty, LongBurstArrivesIn2048Pieces) {
    r.comm.setReadIntervalTimeout(300); // room for a busy machine between the far end's writes
    r.comm.OpenPort();
    std::vector<uint8_t> data(5000);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i % 251); // no 0xFF: keep marks out of it
    pty.Write(data);
    ASSERT_TRUE(WaitUntil([&] { return r.All().size() >= 5000; }));
    ASSERT_EQ(r.pieces.size(), 3u);
    EXPECT_EQ(r.pieces[1].size(), 2048u);
    EXPECT_EQ(r.pieces[2].size(), 904u);
    EXPECT_EQ(r.All(), data);
}

// A read that returns at once with nothing ends the reader quietly; the writer goes on and
// watches the port in its place.
TEST_F(CommPty, WriterReportsTheUnpluggedDeviceAfterAQuietReader) {
    r.comm.setReadIntervalTimeout(0xFFFFFFFFu);
    r.comm.OpenPort();
    Pump(50);
    pty.Write({1});
    ASSERT_TRUE(r.Send({3}));
    EXPECT_EQ(pty.ReadExactly(1), (std::vector<uint8_t>{3}));
    pty.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return r.hangups == 1; }));
    EXPECT_FALSE(r.Send({1}));
    EXPECT_TRUE(r.pieces.empty());
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

// The port layer's read time-outs, on bytes that are there before the read starts; and a
// stop wins over a read that completed before the reader looked.
TEST_F(CommPty, ReadTimeoutModesAndStop) {
    serial::OpenFailure failure;
    const auto port = serial::PosixPortFactory()->Open(pty.SlavePath(), failure);
    ASSERT_TRUE(port);
    constexpr uint32_t M = 0xFFFFFFFFu;
    const struct {
        serial::CommTimeouts timeouts;
        int atLeastMs, belowMs;
    } cases[] = {
        {{M, 0, 0, 0, 0}, 0, 100},      // at once with what is there
        {{M, M, 5000, 0, 0}, 0, 2500},  // the first byte completes
        {{0, 0, 250, 0, 0}, 240, 1000}, // the total only
        {{300, 0, 0, 0, 0}, 290, 1000}, // the interval after the last byte
    };
    const int stop = ::eventfd(0, EFD_CLOEXEC);
    uint8_t buffer[16];
    for (const auto& c : cases) {
        pty.Write({1, 2});
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        port->SetCommTimeouts(c.timeouts);
        QElapsedTimer t;
        t.start();
        serial::IoResult result = port->StartRead(buffer, sizeof buffer);
        if (result.status == serial::IoStatus::Pending) {
            ASSERT_EQ(port->WaitReader(stop), serial::WaitResult::Read);
            result = port->ReadResult();
        }
        EXPECT_EQ(result.count, 2u) << c.atLeastMs;
        EXPECT_GE(t.elapsed(), c.atLeastMs);
        EXPECT_LT(t.elapsed(), c.belowMs);
    }
    port->SetCommTimeouts({0, 0, 1, 0, 0}); // the read completes 1 ms after it starts
    ASSERT_EQ(port->StartRead(buffer, sizeof buffer).status, serial::IoStatus::Pending);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::eventfd_write(stop, 1);
    EXPECT_EQ(port->WaitReader(stop), serial::WaitResult::Stop);
    ::close(stop);
}

} // namespace
