// TComm on real pseudo-terminals and on a network port's loopback connection: the test holds
// the far end, where a device (or a serial device server) would sit.
#include "recorder.h"
#include "serial/port.h"
#include "serial/posixbaud.h"
#include "support/pty.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>

#include <ctime>

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

// What both kinds of port guarantee alike.
template <class End> class CommLine : public ::testing::Test {
protected:
    End pty;
    Recorder r{pty.SlavePath()};
    // Blocks that outgrow what the far end's buffers take while it reads nothing: a
    // connection's buffers grow to megabytes.
    static constexpr int kStallBlocks = std::is_same_v<End, testsupport::TcpEnd> ? 200 : 8;
};
using Ends = ::testing::Types<testsupport::PtyPair, testsupport::TcpEnd>;
TYPED_TEST_SUITE(CommLine, Ends);

TEST(CommOpen, FailuresRaiseTheirMessageAndLeaveNothingOpen) {
    for (const auto& [path, message, systemError] :
         {std::tuple{"/nonexistent-democomm/ttyX", "Error opening serial port", ENOENT},
          {"/dev/null", "File handle is not a comm handle ", ENOTTY}}) {
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
    // And one that holds only the advisory lock that cooperating programs take.
    const int locker = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(::flock(locker, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(OpenError(*second), "Error opening serial port");
    ::close(locker);
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
        // Every value (what looks like the terminal's own error marks too), in 2048-byte pieces.
        std::vector<uint8_t> all{0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x41, 0xFF, 0x00, 0x42};
        for (int i = 0; i < 256 * 9; ++i)
            all.push_back(static_cast<uint8_t>(i));
        ASSERT_TRUE(r.Send(all));
        EXPECT_EQ(pty.ReadExactly(all.size()), all) << rate;
        pty.Write(all);
        ASSERT_TRUE(WaitUntil([&] { return r.All().size() >= all.size(); }));
        EXPECT_EQ(r.All(), all) << rate;
        EXPECT_EQ(r.pieces[0].size(), 2048u);
        EXPECT_TRUE(pty.ReadFor(20).empty()) << rate; // nothing echoed
        EXPECT_TRUE(r.errors.empty());
        r.comm.ClosePort();
    }
}

TEST_F(CommPty, ChangesWhileOpenReapplyLineSettings) {
    r.comm.OpenPort();
    const int fd = pty.MasterFd();
    r.comm.setParityCheck(true); // input parity checking only when asked for
    EXPECT_TRUE(Settings(fd).c_iflag & INPCK);
    r.comm.setParityCheck(false);
    EXPECT_FALSE(Settings(fd).c_iflag & INPCK);
    // A rate with its own constant, at open and changed while open.
    EXPECT_EQ(serial::detail::ReadRate(fd), 9600u);
    r.comm.setBaudRate(19200);
    EXPECT_EQ(serial::detail::ReadRate(fd), 19200u);
    // A rate the terminal layer has no constant for goes through the arbitrary-rate path.
    r.comm.setBaudRate(250000);
    EXPECT_EQ(serial::detail::ReadRate(fd), 250000u);
    for (const uint32_t refused : {0u, 0xFFFFFFF0u}) { // 0 and "below 0": the rate stays
        r.comm.setBaudRate(refused);
        EXPECT_EQ(serial::detail::ReadRate(fd), 250000u);
    }
}

// Blocks sent back to back arrive whole and in order, and the empty queue is announced once
// after the last, whether the sender wrote them itself (small ones, an idle writer) or the
// driver's queue filled and the writer took over.
TYPED_TEST(CommLine, BlocksBackToBackArriveInOrderAndAreAnnouncedOnce) {
    auto& pty = this->pty;
    auto& r = this->r;
    for (const std::size_t big : {8u, 30000u}) { // a pseudo-terminal takes about 12 KB
        r.sent = 0;
        r.comm.OpenPort();
        ASSERT_TRUE(WaitUntil([&] { return r.sent == 1; })); // the writer's notice at start
        pty.ReadFor(10); // a connection is made first: blocks sent meanwhile wait for it
        std::vector<uint8_t> all;
        for (const std::size_t size : {std::size_t{8}, big, big}) {
            const std::vector<uint8_t> block(size, static_cast<uint8_t>(all.size() + big));
            ASSERT_TRUE(r.Send(block));
            all.insert(all.end(), block.begin(), block.end());
        }
        EXPECT_EQ(pty.ReadExactly(all.size()), all) << big;
        Pump(50);
        EXPECT_EQ(r.sent, 2) << big;
        r.comm.ClosePort();
    }
}

// Opening and closing leave none of the port's own descriptors behind (its wake-ups and
// stops are eventfds; the test's far end holds sockets and terminals only).
TYPED_TEST(CommLine, OpenAndCloseLeaveNoEventBehind) {
    const auto events = [] {
        int n = 0;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            n += std::filesystem::read_symlink(fd.path(), ec).string() == "anon_inode:[eventfd]";
        }
        return n;
    };
    const int before = events();
    for (int i = 0; i < 3; ++i) {
        this->r.comm.OpenPort();
        this->pty.ReadFor(10);
        this->r.comm.ClosePort();
    }
    EXPECT_EQ(events(), before);
}

TYPED_TEST(CommLine, ClosePortWithStalledWriteIsPrompt) {
    auto& pty = this->pty;
    auto& r = this->r;
    r.comm.OpenPort();
    pty.ReadFor(1); // the far end takes the connection, then reads nothing: buffers fill
    const std::vector<uint8_t> chunk(60000, 0x55);
    for (int i = 0; i < this->kStallBlocks; ++i)
        ASSERT_TRUE(r.Send(chunk));
    Pump(100);
    QElapsedTimer t;
    t.start();
    r.comm.ClosePort();
    EXPECT_LT(t.elapsed(), 2000); // generous; the benchmark measures the real figure
    EXPECT_LT(pty.ReadFor(200).size(), chunk.size() * this->kStallBlocks); // the rest dropped
}

// An unplugged device (a connection the server ends): what came before is delivered, then
// one hangup, and nothing more can be sent. Reported by the reader, or by the writer when a
// read that returned at once with nothing has ended the reader quietly.
TYPED_TEST(CommLine, UnpluggedDeliversWhatCameThenHangsUpOnce) {
    for (const uint32_t interval : {400u, 0xFFFFFFFFu}) {
        TypeParam pty;
        Recorder r{pty.SlavePath()};
        r.comm.setReadIntervalTimeout(interval); // 400: still gathering when the end goes
        std::size_t piecesAtHangup = 0;
        r.comm.OnRequestHangup = [&](QObject*) { ++r.hangups, piecesAtHangup = r.pieces.size(); };
        r.comm.OpenPort();
        Pump(50);
        pty.Write({7, 8});
        Pump(100);
        ASSERT_TRUE(r.pieces.empty());
        pty.CloseMaster(); // reader and writer both find the device gone
        ASSERT_TRUE(WaitUntil([&] { return r.hangups == 1; }));
        ASSERT_TRUE(WaitUntil([&] { return !r.Send({1}); }));
        Pump(100);
        EXPECT_EQ(r.hangups, 1);
        EXPECT_EQ(piecesAtHangup, r.pieces.size());
        EXPECT_EQ(r.All().size(), interval == 400u ? 2u : 0u);
    }
}

// The port layer's read time-outs, on bytes that are there before the read starts; and a
// stop wins over a read that completed before the reader looked.
TYPED_TEST(CommLine, ReadTimeoutModesAndStop) {
    auto& pty = this->pty;
    serial::OpenFailure failure;
    const auto port = serial::DefaultPortFactory()->Open(pty.SlavePath(), failure);
    ASSERT_TRUE(port);
    pty.Write({}); // the far end takes the connection, and the port has it
    EXPECT_EQ(port->AwaitConnection().systemError, 0);
    constexpr uint32_t M = 0xFFFFFFFFu;
    const std::tuple<serial::CommTimeouts, int, int> cases[] = {
        {{M, 0, 0, 0, 0}, 0, 100},       // at once with what is there
        {{M, M, 5000, 0, 0}, 0, 2500},   // the first byte completes
        {{0, 0, 250, 0, 0}, 240, 1000},  // the total only
        {{0, 20, 100, 0, 0}, 410, 1000}, // the total: 20 ms per byte asked for, plus 100
        {{300, 0, 0, 0, 0}, 290, 580},   // the interval after the last byte
    };
    const int stop = ::eventfd(0, EFD_CLOEXEC);
    uint8_t buffer[16];
    for (const auto& [timeouts, atLeastMs, belowMs] : cases) {
        pty.Write({1, 2});
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        port->SetCommTimeouts(timeouts);
        QElapsedTimer t;
        t.start();
        const std::clock_t cpu = std::clock();
        serial::IoResult result = port->StartRead(buffer, sizeof buffer);
        if (result.status == serial::IoStatus::Pending) {
            ASSERT_EQ(port->WaitReader(stop), serial::WaitResult::Read);
            result = port->ReadResult();
        }
        EXPECT_EQ(result.count, 2u) << atLeastMs;
        EXPECT_GE(t.elapsed(), atLeastMs);
        EXPECT_LT(t.elapsed(), belowMs);
        // The wait sleeps until its deadline: a wait that spun would take the whole time.
        EXPECT_LT(double(std::clock() - cpu) / CLOCKS_PER_SEC * 1000, 0.5 * t.elapsed() + 10)
            << atLeastMs;
    }
    port->SetCommTimeouts({0, 0, 1, 0, 0}); // the read completes 1 ms after it starts
    ASSERT_EQ(port->StartRead(buffer, sizeof buffer).status, serial::IoStatus::Pending);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::eventfd_write(stop, 1);
    EXPECT_EQ(port->WaitReader(stop), serial::WaitResult::Stop);
    ::close(stop);
}

// A write the far end does not take ends at its total time-out with what went out.
TYPED_TEST(CommLine, WriteTimeOutCompletesWithWhatWentOut) {
    auto& pty = this->pty;
    serial::OpenFailure failure;
    const auto port = serial::DefaultPortFactory()->Open(pty.SlavePath(), failure);
    ASSERT_TRUE(port);
    pty.Write({});
    EXPECT_EQ(port->AwaitConnection().systemError, 0);
    port->SetCommTimeouts({0, 0, 0, 0, 200});
    const std::vector<uint8_t> data(std::size_t(this->kStallBlocks) * 120000, 0x55);
    const int stop = ::eventfd(0, EFD_CLOEXEC);
    QElapsedTimer t;
    t.start();
    const serial::IoResult r = port->Write(data.data(), uint32_t(data.size()), stop);
    EXPECT_EQ(r.status, serial::IoStatus::Done);
    EXPECT_LT(r.count, data.size());
    EXPECT_GE(t.elapsed(), 190);
    EXPECT_LT(t.elapsed(), 2000);
    ::close(stop);
}

// A loopback port nothing listens on (refused), and one whose queue a waiting connection
// fills, so that the next is never taken (it stalls until the connect time-out).
std::pair<int, std::string> Listener(int backlog, const char* what) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    if (backlog >= 0) {
        ::listen(fd, backlog);
        ::connect(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), // closed at exit
                  reinterpret_cast<sockaddr*>(&a), len);
    }
    return {fd, std::string("tcp://127.0.0.1:") + std::to_string(ntohs(a.sin_port)) + what};
}

// A connection that cannot be made is one hangup, or with no one handling hang-ups the
// error report, with the reason left for the report; sending meanwhile is no error; or, for
// a program that waits for it, the open's failure. A close while it is being made is prompt.
TEST(CommTcp, ConnectionNeverMadeIsOneHangupWithItsReason) {
    const auto [refusing, refused] = Listener(-1, "");
    ::close(refusing); // its port is free again: nothing listens there
    const auto [full, stalled] = Listener(0, "");
    std::vector<std::string> reports;
    SetApplicationExceptionHandler([&](const std::exception& e) { reports.push_back(e.what()); });
    for (const auto& [name, reason, handled] : {std::tuple{refused, ECONNREFUSED, true},
                                                {refused, ECONNREFUSED, false},
                                                {stalled, ETIMEDOUT, true}}) {
        Recorder r{name};
        r.comm.SetPortFactory(serial::TcpPortFactory(std::chrono::milliseconds(300)));
        if (!handled)
            r.comm.OnRequestHangup = nullptr;
        const std::size_t before = reports.size();
        EXPECT_EQ(OpenError(r.comm), "");
        r.Send({1, 2, 3}); // held for the connection
        ASSERT_TRUE(WaitUntil([&] { return r.hangups + reports.size() > before; })) << name;
        Pump(100);
        EXPECT_EQ(r.hangups, handled ? 1 : 0) << name;
        EXPECT_EQ(reports.size(), before + (handled ? 0 : 1)) << name;
        const auto lost = LostPortError(QString::fromStdString(name));
        ASSERT_TRUE(lost) << name;
        EXPECT_STREQ(lost->what(), "Error opening serial port");
        EXPECT_EQ(lost->Path(), name);
        EXPECT_EQ(lost->SystemError(), reason) << name;
        EXPECT_FALSE(r.Send({1}));
    }
    // Where nothing is to be kept responsive (democomm-cli), the open waits and fails.
    TComm::SetOpenWaitsForConnection(true);
    Recorder waiting{refused};
    int err = 0;
    EXPECT_EQ(OpenError(waiting.comm, &err), "Error opening serial port");
    EXPECT_EQ(err, ECONNREFUSED);
    TComm::SetOpenWaitsForConnection(false);
    Recorder r{stalled};
    r.comm.OpenPort();
    Pump(20);
    QElapsedTimer t;
    t.start();
    r.comm.ClosePort();
    EXPECT_LT(t.elapsed(), 1000);
    EXPECT_EQ(r.hangups, 0);
    EXPECT_EQ(reports, std::vector<std::string>{"Error opening serial port"});
    SetApplicationExceptionHandler({});
    ::close(full);
}

} // namespace
