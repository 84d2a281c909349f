// master::Session against democomm-sim keeping line time, on a pseudo-terminal and behind a
// TCP port as a serial device server (the line's time at the rate given, the connection's
// own on top): each fault of the simulator ends in the outcome and counter it belongs to,
// the counters add up to the requests sent, and the simulator counts no request that came
// too soon after its previous frame.
#include "master/session.h"

#include "../sim/process.h"
#include "support/wait.h"

#include <gtest/gtest.h>

namespace {

using master::Outcome;
using master::Request;
using master::Statistics;

enum class Ask { Working, Write, Switches };

struct FaultCase {
    const char* name;
    std::vector<std::string> simFlags;
    Ask ask;
    std::optional<Outcome> outcome;       // of every request; none: varies (see the row)
    uint64_t Statistics::*counter;        // == requests for every row
    int late = 0; // late replies counted: 3 when every reply comes after its time-out; -1: any
    uint64_t Statistics::*atLeastOne = nullptr;
    int baud = 9600;
    int maxSpacingMs = 0; // > 0: each request goes out within this long of the one before
};

// The fault, and whether the simulator is reached over TCP.
class SessionFaults : public ::testing::TestWithParam<std::tuple<FaultCase, bool>> {};

Request RequestFor(Ask ask, int i) {
    switch (ask) {
    case Ask::Write:
        return Request::WriteSingleRegister(1, 0x0100, uint16_t(150 + i));
    case Ask::Switches:
        return Request::ReadDiscreteInputs(1, 0x0300, 12);
    case Ask::Working:
        break;
    }
    return Request::ReadHoldingRegisters(1, 0x0000, 5);
}

TEST_P(SessionFaults, OutcomeAndCountersMatchTheFault) {
    const auto& [c, tcp] = GetParam();
    std::vector<std::string> flags = c.simFlags;
    flags.insert(flags.end(), {"--baud", std::to_string(c.baud)});
    if (tcp)
        flags.insert(flags.end(), {"--tcp", "0"});
    testsim::Background sim(testsim::FaultSimulator(DEMOCOMM_SIM_PATH, flags));
    const std::string port = sim.Field("port");
    ASSERT_FALSE(port.empty());

    master::Session session;
    session.setResponseTimeout(testsim::FaultTableTimeoutMs);
    session.Open(QString::fromStdString(port), c.baud);
    constexpr int kRequests = 3;
    std::vector<master::Result> results;
    for (int i = 0; i < kRequests; ++i)
        ASSERT_TRUE(session.Submit(RequestFor(c.ask, i),
                                   [&](const master::Result& r) { results.push_back(r); }));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return results.size() == kRequests; }, 10000));
    // Replies that come after their time-out are counted late once they are in: every reply
    // the simulator sent is either taken or counted, none is lost from the figures.
    if (c.late > 0 || !c.outcome)
        testsupport::WaitUntil(
            [&] {
                const Statistics s = session.Stats();
                return s.repliesAccepted + s.lateReplies >= kRequests;
            },
            2000);

    for (int i = 1; c.maxSpacingMs > 0 && i < kRequests; ++i)
        EXPECT_LT(results[i].sentAt - results[i - 1].sentAt, std::chrono::milliseconds(c.maxSpacingMs));
    for (int i = 0; c.outcome && i < kRequests; ++i) {
        const master::Result& r = results[i];
        EXPECT_EQ(r.outcome, *c.outcome) << i << ": " << master::OutcomeName(r.outcome);
        if (*c.outcome == Outcome::Ok) {
            const std::size_t values = c.ask == Ask::Write ? 1u : c.ask == Ask::Switches ? 0u : 5u;
            EXPECT_EQ(r.words.size(), values);
            EXPECT_EQ(r.bits.size(), c.ask == Ask::Switches ? 12u : 0u);
            if (c.ask == Ask::Write) {
                EXPECT_EQ(r.words.at(0), 150 + i);
            }
        }
        EXPECT_EQ(r.exceptionCode, *c.outcome == Outcome::Exception ? 4 : 0);
    }
    const Statistics s = session.Stats();
    EXPECT_EQ(s.requestsSent, uint64_t(kRequests));
    EXPECT_EQ(s.Ended() + s.inFlight, s.requestsSent);
    EXPECT_EQ(s.*c.counter, uint64_t(kRequests));
    if (!c.outcome) {
        EXPECT_EQ(s.repliesAccepted + s.lateReplies, uint64_t(kRequests));
    } else if (c.late >= 0) {
        EXPECT_EQ(s.lateReplies, uint64_t(c.late));
    }
    if (c.atLeastOne) {
        EXPECT_GE(s.*c.atLeastOne, 1u);
    }
    EXPECT_EQ(s.timedReplies, s.repliesAccepted + s.exceptionReplies);
    if (s.repliesAccepted > 0) {
        EXPECT_GT(s.maxReplyTime.count(), 0);
        EXPECT_LE(s.meanReplyTime, s.maxReplyTime);
        EXPECT_LE(s.p95ReplyTime, s.maxReplyTime);
        EXPECT_NE(s.lastAcceptedAt, master::Clock::time_point{});
    }
    // Every request left the simulator's previous frame 3.5 characters of silence.
    session.Close();
    EXPECT_EQ(sim.Stop(), 0);
    const auto frames = sim.WaitForLine([](const std::string& l) { return l.rfind("frames:", 0) == 0; });
    ASSERT_TRUE(frames);
    EXPECT_NE(frames->find(" gap-violations=0 "), std::string::npos) << *frames;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SessionFaults,
    ::testing::Combine(::testing::Values(
        FaultCase{"Clean", {}, Ask::Working, Outcome::Ok, &Statistics::repliesAccepted},
        FaultCase{"Echo", {"--echo", "1"}, Ask::Working, Outcome::Ok, &Statistics::echoesSkipped},
        // A glitch byte ahead of the echo of an input read: the echo is still found.
        FaultCase{"StrayByteBeforeEcho",
                  {"--echo", "1", "--noise", "1"},
                  Ask::Switches,
                  Outcome::Ok,
                  &Statistics::echoesSkipped},
        // 06: echo and reply are the same bytes; the echo is known by its time on the line.
        FaultCase{"EchoOfWrite", {"--echo", "1"}, Ask::Write, Outcome::Ok, &Statistics::echoesSkipped},
        FaultCase{"EchoThenLateWrite",
                  {"--echo", "1", "--delay", "1", "--delay-ms", "8"},
                  Ask::Write,
                  Outcome::Ok,
                  &Statistics::echoesSkipped},
        // ... and an echo alone is no reply; nor is an echo before an exception.
        FaultCase{"EchoOfWriteNoReply",
                  {"--echo", "1", "--drop", "1"},
                  Ask::Write,
                  Outcome::Timeout,
                  &Statistics::timeouts},
        FaultCase{"EchoThenException",
                  {"--echo", "1", "--exception", "1", "--delay", "1", "--delay-ms", "40"},
                  Ask::Write,
                  Outcome::Exception,
                  &Statistics::exceptionReplies},
        FaultCase{"Write", {}, Ask::Write, Outcome::Ok, &Statistics::repliesAccepted},
        FaultCase{"Noise", {"--noise", "1"}, Ask::Working, Outcome::Ok, &Statistics::repliesAccepted},
        FaultCase{"Drop", {"--drop", "1"}, Ask::Working, Outcome::Timeout, &Statistics::timeouts},
        // A whole frame with a bad CRC: nothing more is coming, so no guard before the next.
        FaultCase{"BadCrc",
                  {"--bad-crc", "1"},
                  Ask::Working,
                  Outcome::CrcFailure,
                  &Statistics::crcFailures,
                  0,
                  nullptr,
                  9600,
                  testsim::FaultTableTimeoutMs},
        FaultCase{"Exception",
                  {"--exception", "1"},
                  Ask::Working,
                  Outcome::Exception,
                  &Statistics::exceptionReplies},
        // A reply longer on the line than the response time-out (15 bytes at 600 baud, 275 ms
        // against 150, as 125 registers at 4800 baud are against 500) is not cut short.
        FaultCase{"LongReplyAtASlowRate",
                  {},
                  Ask::Working,
                  Outcome::Ok,
                  &Statistics::repliesAccepted,
                  0,
                  nullptr,
                  600},
        // A late reply within the guard is never taken for the next request's.
        FaultCase{
            "Delay", {"--delay", "1"}, Ask::Working, Outcome::Timeout, &Statistics::timeouts, 3},
        FaultCase{"Split",
                  {"--split", "1"},
                  Ask::Working,
                  Outcome::ShortReply,
                  &Statistics::shortReplies,
                  3},
        // Later than time-out and guard together, a reply may be taken for the next request's
        // (RTU has no transaction number); the one it displaces is then counted late.
        FaultCase{"LaterThanTheBound",
                  {"--delay", "1", "--delay-ms", "400"},
                  Ask::Working,
                  std::nullopt,
                  &Statistics::requestsSent},
        // A stray byte every 40 ms never lets the guard's silence come: requests go at the bound.
        FaultCase{"Chatter",
                  {"--drop", "1", "--chatter", "40"},
                  Ask::Working,
                  Outcome::Timeout,
                  &Statistics::timeouts,
                  -1,
                  &Statistics::quietWaitsCut}),
                       ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "Tcp" : "");
    });

} // namespace
