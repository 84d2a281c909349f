// The exchange's rules on made-up times, where a line cannot place bytes exactly: deliveries
// judged only after several have come (a busy event loop), and a flood of noise.
#include "master/core.h"
#include "modbus/codec.h"

#include <gtest/gtest.h>

namespace {

using namespace master;
using namespace std::chrono_literals;

struct Delivery {
    Micros at; // after the hand-over
    Bytes bytes;
};
struct CoreRow {
    const char* name;
    Request request;
    std::vector<Delivery> deliveries; // all taken before the first judgement
    Micros judgedAt;
    Outcome outcome;
    uint64_t echoesSkipped;
};

class CoreRows : public ::testing::TestWithParam<CoreRow> {};

Bytes WithNoise(std::size_t noise, const Bytes& frame) {
    Bytes b(noise, 0xFF);
    b.insert(b.end(), frame.begin(), frame.end());
    return b;
}

TEST_P(CoreRows, VerdictAndCounts) {
    const CoreRow& row = GetParam();
    Core core; // 9600 baud: a character is 1.146 ms
    const Clock::time_point t0 = Clock::now();
    core.Sent(row.request, row.request.Frame(), t0);
    for (const Delivery& d : row.deliveries)
        core.Received(d.bytes, t0 + d.at);
    std::optional<Verdict> v = core.Judge(t0 + row.judgedAt);
    for (auto t = row.judgedAt; !v && t < 2s; t += 10ms)
        v = core.Judge(t0 + t);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->outcome, row.outcome);
    EXPECT_EQ(core.Stats().echoesSkipped, row.echoesSkipped);
    const Statistics& s = core.Stats();
    EXPECT_EQ(s.requestsSent, s.Ended() + s.inFlight);
}

const Request kWrite = Request::WriteSingleRegister(1, 0x100, 150);
const Request kRead = Request::ReadHoldingRegisters(1, 0, 1);
const Bytes kReadReply = [] {
    Bytes b{1, 3, 2, 0, 7};
    const uint16_t crc = modbus::Crc16(b);
    b.push_back(uint8_t(crc & 0xFF));
    b.push_back(uint8_t(crc >> 8));
    return b;
}();

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, CoreRows, ::testing::Values(
    // The echo complete 10 ms after the hand-over (before any reply could be), the reply 30 ms
    // later: judged together, the first copy is still the echo, by when it was complete.
    CoreRow{"EchoThenReplyJudgedTogether", kWrite,
            {{10ms, kWrite.Frame()}, {40ms, kWrite.Frame()}}, 41ms, Outcome::Ok, 1},
    // More noise than is held: the oldest is let go, the reply after it is found.
    CoreRow{"FloodThenReply", kRead,
            {{12ms, Bytes(3000, 0xFF)}, {20ms, WithNoise(0, kReadReply)}}, 21ms, Outcome::Ok, 0},
    CoreRow{"FloodInPiecesThenReply", kRead,
            {{12ms, Bytes(1500, 0xFF)}, {14ms, Bytes(1500, 0xFF)}, {20ms, WithNoise(3, kReadReply)}},
            21ms, Outcome::Ok, 0}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

} // namespace
