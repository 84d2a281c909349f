// The simulated device: answers, exceptions, writes read back, and its synchronisation cycle.
#include "sim/device.h"

#include "modbus/codec.h"

#include <gtest/gtest.h>

using Bytes = std::vector<uint8_t>;
using sim::Outcome;

namespace {

Bytes Req(Bytes b) {
    sim::AppendCrc(b);
    return b;
}

Bytes Read(uint8_t slave, uint8_t fn, uint16_t start, uint16_t count) {
    const auto r = modbus::BuildRequest(slave, fn, start, count);
    return {r.begin(), r.end()};
}

TEST(Device, SignMagnitude) {
    EXPECT_EQ(sim::ToSignMagnitude(5), 0x0005);
    EXPECT_EQ(sim::ToSignMagnitude(-5), 0x8005);
    EXPECT_EQ(sim::ToSignMagnitude(40000), 0x7FFF);
    EXPECT_EQ(sim::ToSignMagnitude(-40000), 0xFFFF);
    for (int v : {0, 1, -1, 32767, -32767, 1234})
        EXPECT_EQ(sim::FromSignMagnitude(sim::ToSignMagnitude(v)), v);
    EXPECT_EQ(modbus::RegisterText(0x80, 0x05), "-5") << "the windows read it back the same way";
}

TEST(Device, WorkingDataReplyMatchesTheModel) {
    sim::Device d(1);
    const Outcome o = d.Handle(Read(1, 3, 0, 5), 12345);
    ASSERT_EQ(o.kind, Outcome::Kind::Reply);
    ASSERT_EQ(o.reply.size(), 15u);
    EXPECT_TRUE(modbus::CrcTestPasses(o.reply));
    EXPECT_TRUE(modbus::LengthTestComplete(o.reply));
    EXPECT_EQ(o.reply[2], 10);
    const sim::Snapshot s = d.At(12345);
    for (int k = 0; k < 5; ++k)
        EXPECT_EQ((o.reply[3 + 2 * k] << 8) | o.reply[4 + 2 * k], s.working[k]) << k;
}

TEST(Device, WritesAreReadBack) {
    sim::Device d(1);
    // 06 answers with its own request.
    const Bytes w06 = Req({1, 6, 0x01, 0x00, 0x01, 0xF4});
    EXPECT_EQ(d.Handle(w06, 0).reply, w06);
    // 10 hex answers with address and quantity.
    const Bytes w10 = Req({1, 0x10, 0x01, 0x06, 0x00, 0x02, 0x04, 0x80, 0x05, 0x04, 0xB0});
    EXPECT_EQ(d.Handle(w10, 0).reply, Req({1, 0x10, 0x01, 0x06, 0x00, 0x02}));
    const Outcome r = d.Handle(Read(1, 3, 0x100, 8), 0); // the untouched ones keep their defaults
    EXPECT_EQ(r.reply, Req({1, 3, 16, 0x01, 0xF4, 0, 100, 0, 30, 0, 20, 0x07, 0xD0, 0x01, 0x90, 0x80, 0x05, 0x04, 0xB0}));
    EXPECT_EQ(d.Setpoints()[6], 0x8005) << "stored as written, negative included";
}

struct ExceptionCase {
    const char* name;
    Bytes request;
    uint8_t code;
};

class Exceptions : public ::testing::TestWithParam<ExceptionCase> {};

TEST_P(Exceptions, StandardExceptionReply) {
    sim::Device d(1);
    const auto before = d.Setpoints();
    const Outcome o = d.Handle(GetParam().request, 0);
    ASSERT_EQ(o.kind, Outcome::Kind::Reply);
    EXPECT_EQ(o.reply, Req({1, static_cast<uint8_t>(GetParam().request[1] | 0x80), GetParam().code}));
    EXPECT_EQ(d.Setpoints(), before) << "a refused write changes nothing";
}

INSTANTIATE_TEST_SUITE_P(
    Table, Exceptions,
    ::testing::Values(
        ExceptionCase{"coils_not_supported", Read(1, 1, 0, 1), 1},
        ExceptionCase{"input_registers_not_supported", Read(1, 4, 0, 1), 1},
        ExceptionCase{"unknown_function", Req({1, 0x2B, 0x0E, 0x01, 0x00}), 1},
        ExceptionCase{"read_past_working_data", Read(1, 3, 0, 6), 2},
        ExceptionCase{"read_across_the_gap", Read(1, 3, 3, 3), 2},
        ExceptionCase{"read_past_setpoints", Read(1, 3, 0x107, 2), 2},
        ExceptionCase{"read_unmapped", Read(1, 3, 0x200, 1), 2},
        ExceptionCase{"zero_registers", Read(1, 3, 0, 0), 3},
        ExceptionCase{"126_registers", Read(1, 3, 0, 126), 3},
        ExceptionCase{"inputs_past_the_end", Read(1, 2, 0x300, 13), 2},
        ExceptionCase{"inputs_before_the_start", Read(1, 2, 0x2FF, 2), 2},
        ExceptionCase{"zero_inputs", Read(1, 2, 0x300, 0), 3},
        ExceptionCase{"2001_inputs", Read(1, 2, 0x300, 2001), 3},
        ExceptionCase{"write_working_data", Req({1, 6, 0, 0, 0, 1}), 2},
        ExceptionCase{"write_past_setpoints", Req({1, 6, 0x01, 0x08, 0, 1}), 2},
        ExceptionCase{"write10_byte_count_wrong", Req({1, 0x10, 0x01, 0x00, 0x00, 0x02, 0x02, 0, 1}), 3},
        ExceptionCase{"write10_zero_registers", Req({1, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00}), 3},
        ExceptionCase{"write10_past_setpoints", Req({1, 0x10, 0x01, 0x07, 0x00, 0x02, 0x04, 0, 1, 0, 2}), 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Device, OtherSlavesAreIgnoredAndBroadcastsNotAnswered) {
    sim::Device d(1);
    EXPECT_EQ(d.Handle(Read(2, 3, 0, 5), 0).kind, Outcome::Kind::NotForUs);
    const Outcome read = d.Handle(Read(0, 3, 0, 5), 0);
    EXPECT_EQ(read.kind, Outcome::Kind::Silent);
    EXPECT_TRUE(read.reply.empty());
    // A broadcast write is carried out, as Modbus slaves do, but not answered.
    const Outcome write = d.Handle(Req({0, 6, 0x01, 0x01, 0x00, 0x2A}), 0);
    EXPECT_EQ(write.kind, Outcome::Kind::Silent);
    EXPECT_TRUE(write.reply.empty());
    EXPECT_EQ(d.Setpoints()[1], 0x2A);
}

TEST(Device, DiscreteInputsPackedLowBitFirst) {
    sim::Device d(1);
    for (int64_t ms : {1000, 15000, 37000, 39000, 41000, 50000}) {
        const Outcome o = d.Handle(Read(1, 2, 0x300, 12), ms);
        ASSERT_EQ(o.reply.size(), 7u);
        EXPECT_EQ(o.reply[2], 2);
        EXPECT_EQ(o.reply[3] | ((o.reply[4] & 0x0F) << 8), d.At(ms).inputs) << ms;
        EXPECT_EQ(o.reply[4] & 0xF0, 0) << "no bits beyond the twelfth";
    }
    // A read from the middle shifts the bits down.
    const Outcome o = d.Handle(Read(1, 2, 0x308, 4), 1000);
    EXPECT_EQ(o.reply[3], (d.At(1000).inputs >> 8) & 0x0F);
}

// The synchronisation cycle stays plausible at every moment: no closing command without all
// three permissions, no regulating pulse while the matching difference is within tolerance,
// no contradictory pulses, and working data that moves but stays near rated values.
TEST(Device, CycleIsPlausible) {
    sim::Device d(1);
    bool sawAdvance = false, sawSpeedUp = false, sawVoltageUp = false, sawPhase = false;
    int minUnitF = 99999, maxUnitF = 0;
    for (int64_t ms = 0; ms < 2 * sim::kCycleMs; ms += 50) {
        const sim::Snapshot s = d.At(ms);
        using namespace sim;
        if (s.Input(kPhasePermitted)) {
            sawPhase = true;
            EXPECT_TRUE(s.Input(kFrequencyPermitted) && s.Input(kVoltagePermitted)) << ms;
        }
        EXPECT_FALSE(s.Input(kSpeedUp) && s.Input(kSpeedDown)) << ms;
        EXPECT_FALSE(s.Input(kVoltageUp) && s.Input(kVoltageDown)) << ms;
        EXPECT_FALSE(s.Input(kSpeedUp) && s.Input(kFrequencyPermitted)) << ms;
        EXPECT_FALSE(s.Input(kVoltageUp) && s.Input(kVoltagePermitted)) << ms;
        EXPECT_FALSE(s.Input(kOutOfTolerance) && s.Input(kFrequencyPermitted) && s.Input(kVoltagePermitted)) << ms;
        sawAdvance |= s.Input(kAdvanceAction);
        sawSpeedUp |= s.Input(kSpeedUp);
        sawVoltageUp |= s.Input(kVoltageUp);
        const int sysV = FromSignMagnitude(s.working[0]), unitV = FromSignMagnitude(s.working[1]);
        const int sysF = FromSignMagnitude(s.working[2]), unitF = FromSignMagnitude(s.working[3]);
        EXPECT_NEAR(sysV, 1000, 10);
        EXPECT_NEAR(unitV, 1000, 130);
        EXPECT_NEAR(sysF, 5000, 5);
        EXPECT_NEAR(unitF, 5000, 60);
        minUnitF = std::min(minUnitF, unitF);
        maxUnitF = std::max(maxUnitF, unitF);
        EXPECT_GE(FromSignMagnitude(s.working[4]), 1);
        EXPECT_LE(FromSignMagnitude(s.working[4]), 4);
    }
    EXPECT_TRUE(sawAdvance && sawSpeedUp && sawVoltageUp && sawPhase);
    EXPECT_GT(maxUnitF - minUnitF, 20) << "the unit frequency visibly changes";
    EXPECT_NE(d.At(0).working[4], d.At(sim::kCycleMs).working[4]) << "next cycle, next paralleling number";
    EXPECT_TRUE(d.At(0).Input(sim::kSelfTest));
    EXPECT_FALSE(d.At(10000).Input(sim::kSelfTest));
}

TEST(Device, SetpointsSteerTheCycle) {
    sim::Device d(1);
    // Allowed frequency difference 0: the unit never gets permission, never closes.
    d.Handle(Req({1, 6, 0x01, 0x03, 0x00, 0x00}), 0);
    // Pulse periods of 0 must not divide by zero; no pulses then.
    d.Handle(Req({1, 6, 0x01, 0x06, 0x00, 0x00}), 0);
    for (int64_t ms = 0; ms < sim::kCycleMs; ms += 100) {
        const sim::Snapshot s = d.At(ms);
        EXPECT_FALSE(s.Input(sim::kAdvanceAction)) << ms;
        EXPECT_FALSE(s.Input(sim::kFrequencyPermitted) && ms > 26000) << ms;
        EXPECT_FALSE(s.Input(sim::kSpeedUp)) << ms;
    }
}

// The advance action goes out the lead time before coincidence (40 s into the cycle), and
// the breaker closes the closing time after it: the unit then runs at the system's values.
TEST(Device, LeadAndClosingTimeSetTheClosing) {
    sim::Device d(1);
    d.Handle(Req({1, 0x10, 0x01, 0x00, 0x00, 0x02, 0x04, 0x03, 0xE8, 0x07, 0xD0}), 0); // 1000 ms, 2000 ms
    EXPECT_FALSE(d.At(38990).Input(sim::kAdvanceAction));
    EXPECT_TRUE(d.At(39000).Input(sim::kAdvanceAction));
    EXPECT_NE(d.At(40990).working[3], d.At(40990).working[2]) << "not closed yet: the unit still slips";
    const sim::Snapshot closed = d.At(41000);
    EXPECT_EQ(closed.working[1], closed.working[0]);
    EXPECT_EQ(closed.working[3], closed.working[2]);
    EXPECT_FALSE(closed.Input(sim::kPhasePermitted));
    EXPECT_TRUE(d.At(43990).Input(sim::kAdvanceAction));
    EXPECT_FALSE(d.At(44000).Input(sim::kAdvanceAction));
}

} // namespace
