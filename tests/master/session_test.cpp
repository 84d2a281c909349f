// master::Session against democomm-sim: each fault of the simulator ends in the outcome and
// counter it belongs to, and the counters add up to the requests sent.
#include "master/session.h"

#include "../sim/process.h"
#include "support/wait.h"

#include <gtest/gtest.h>

namespace {

using master::Outcome;
using master::Request;
using master::Statistics;

struct FaultCase {
    const char* name;
    std::vector<std::string> simFlags;
    bool write; // 06 of one set-point, else 03 of the working data
    Outcome outcome;
    uint64_t Statistics::*counter; // == requests for every row
    bool late = false;             // replies arrive after the time-out and are counted late
};

class SessionFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(SessionFaults, OutcomeAndCountersMatchTheFault) {
    const FaultCase& c = GetParam();
    testsim::Background sim(testsim::FaultSimulator(DEMOCOMM_SIM_PATH, c.simFlags));
    const std::string port = sim.Field("port");
    ASSERT_FALSE(port.empty());

    master::Session session;
    session.setResponseTimeout(testsim::FaultTableTimeoutMs);
    session.Open(QString::fromStdString(port), 9600);
    constexpr int kRequests = 3;
    std::vector<master::Result> results;
    for (int i = 0; i < kRequests; ++i) {
        const Request rq = c.write ? Request::WriteSingleRegister(1, 0x0100, uint16_t(150 + i))
                                   : Request::ReadHoldingRegisters(1, 0x0000, 5);
        ASSERT_TRUE(session.Submit(rq, [&](const master::Result& r) { results.push_back(r); }));
    }
    ASSERT_TRUE(testsupport::WaitUntil([&] { return results.size() == kRequests; }, 10000));
    if (c.late) // the last request's late reply comes after its time-out
        testsupport::WaitUntil([&] { return session.Stats().lateReplies == kRequests; }, 1000);

    for (int i = 0; i < kRequests; ++i) {
        const master::Result& r = results[i];
        EXPECT_EQ(r.outcome, c.outcome) << i << ": " << master::OutcomeName(r.outcome);
        if (c.outcome == Outcome::Ok) {
            EXPECT_EQ(r.words.size(), c.write ? 1u : 5u);
            if (c.write) {
                EXPECT_EQ(r.words.at(0), 150 + i);
            }
        }
        EXPECT_EQ(r.exceptionCode, c.outcome == Outcome::Exception ? 4 : 0);
    }
    const Statistics s = session.Stats();
    EXPECT_EQ(s.requestsSent, uint64_t(kRequests));
    EXPECT_EQ(s.Ended(), s.requestsSent);
    EXPECT_EQ(s.*c.counter, uint64_t(kRequests));
    EXPECT_EQ(s.lateReplies, c.late ? uint64_t(kRequests) : 0u);
    EXPECT_EQ(s.timedReplies, s.repliesAccepted + s.exceptionReplies);
    if (s.repliesAccepted > 0) {
        EXPECT_GT(s.maxReplyTime.count(), 0);
        EXPECT_LE(s.meanReplyTime, s.maxReplyTime);
        EXPECT_LE(s.p95ReplyTime, s.maxReplyTime);
        EXPECT_NE(s.lastAcceptedAt, master::Clock::time_point{});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SessionFaults,
    ::testing::Values(
        FaultCase{"Clean", {}, false, Outcome::Ok, &Statistics::repliesAccepted},
        FaultCase{"Echo", {"--echo", "1"}, false, Outcome::Ok, &Statistics::echoesSkipped},
        // 06: echo and reply are the same bytes; two copies are echo and reply.
        FaultCase{"EchoOfWrite", {"--echo", "1"}, true, Outcome::Ok, &Statistics::echoesSkipped},
        // ... also when the reply comes a little after the echo, within the settle time.
        FaultCase{"EchoThenLateWrite",
                  {"--echo", "1", "--delay", "1", "--delay-ms", "8"},
                  true,
                  Outcome::Ok,
                  &Statistics::echoesSkipped},
        FaultCase{"Write", {}, true, Outcome::Ok, &Statistics::repliesAccepted},
        FaultCase{"Noise", {"--noise", "1"}, false, Outcome::Ok, &Statistics::repliesAccepted},
        FaultCase{"Drop", {"--drop", "1"}, false, Outcome::Timeout, &Statistics::timeouts},
        FaultCase{
            "BadCrc", {"--bad-crc", "1"}, false, Outcome::CrcFailure, &Statistics::crcFailures},
        FaultCase{"Exception",
                  {"--exception", "1"},
                  false,
                  Outcome::Exception,
                  &Statistics::exceptionReplies},
        // A late reply is never taken for the next request's: every request times out.
        FaultCase{"Delay", {"--delay", "1"}, false, Outcome::Timeout, &Statistics::timeouts, true},
        FaultCase{"Split",
                  {"--split", "1"},
                  false,
                  Outcome::ShortReply,
                  &Statistics::shortReplies,
                  true}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
