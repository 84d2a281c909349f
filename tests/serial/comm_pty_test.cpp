// TComm on real pseudo-terminals: the test holds the master end, where a device would sit.
#include "serial/co.h"

#include "support/pty.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testsupport::PtyPair;
using testsupport::WaitUntil;

namespace {

struct Piece {
    std::vector<uint8_t> bytes;
    uint8_t after = 0xAA; // the byte after the last one
};

// A component wired to record every event.
struct Recorder {
    TComm comm;
    std::vector<Piece> pieces;
    std::vector<uint32_t> errors;
    std::vector<uint32_t> modem;
    int hangups = 0;
    int sent = 0;
    int lineBreaks = 0;

    explicit Recorder(const std::string& path, uint32_t interval = 20) {
        comm.setCommName(QString::fromStdString(path));
        comm.setReadIntervalTimeout(interval);
        comm.OnReceiveData = [this](QObject* sender, const void* buf, uint16_t n) {
            EXPECT_EQ(sender, &comm);
            const auto* p = static_cast<const uint8_t*>(buf);
            pieces.push_back({std::vector<uint8_t>(p, p + n), p[n]});
        };
        comm.OnReceiveError = [this](QObject*, uint32_t e) { errors.push_back(e); };
        comm.OnModemStateChange = [this](QObject*, uint32_t m) { modem.push_back(m); };
        comm.OnRequestHangup = [this](QObject*) { ++hangups; };
        comm.OnSendDataEmpty = [this](QObject*) { ++sent; };
        comm.OnLineBreak = [this](QObject*) { ++lineBreaks; };
    }
    std::vector<uint8_t> All() const {
        std::vector<uint8_t> all;
        for (const auto& p : pieces)
            all.insert(all.end(), p.bytes.begin(), p.bytes.end());
        return all;
    }
};

TEST(CommPty, SendsFrameAndReceivesReply) {
    PtyPair pty;
    Recorder r(pty.SlavePath());
    r.comm.OpenPort();
    ASSERT_TRUE(r.comm.IsOpen());
    const std::vector<uint8_t> frame{0x01, 0x03, 0x00, 0x00, 0x00, 0x05, 0x85, 0xC9};
    ASSERT_TRUE(r.comm.SendData(frame.data(), static_cast<uint16_t>(frame.size())));
    EXPECT_EQ(pty.ReadExactly(frame.size()), frame);
    pty.Write({1, 3, 10, 0, 1, 0, 2});
    ASSERT_TRUE(WaitUntil([&] { return !r.pieces.empty(); }));
    EXPECT_EQ(r.pieces[0].bytes, (std::vector<uint8_t>{1, 3, 10, 0, 1, 0, 2}));
    EXPECT_EQ(r.pieces[0].after, 0);
    r.comm.ClosePort();
    EXPECT_FALSE(r.comm.IsOpen());
}

TEST(CommPty, LineBreakOnceAfterSilence) {
    PtyPair pty;
    Recorder r(pty.SlavePath());
    r.comm.setLineBreakTime(60);
    r.comm.OpenPort();
    const uint8_t b = 7;
    ASSERT_TRUE(r.comm.SendData(&b, 1));
    ASSERT_TRUE(WaitUntil([&] { return r.lineBreaks == 1; }));
    testsupport::Pump(150);
    EXPECT_EQ(r.lineBreaks, 1);
    EXPECT_GE(r.sent, 1);
    r.comm.ClosePort();
}

} // namespace
