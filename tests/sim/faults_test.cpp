// Fault injection: each fault does what it says, and a seed repeats a run.
#include "sim/device.h"
#include "sim/faults.h"

#include "modbus/codec.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {

const Bytes kRequest = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};
const Bytes kReply = {0x01, 0x03, 0x02, 0x03, 0xE8, 0xB8, 0xFA};

std::vector<sim::Transmission> PlanWith(sim::FaultRates rates, std::vector<std::string>* notes = nullptr) {
    sim::FaultInjector f(rates, 1, 4ms);
    std::vector<std::string> n;
    auto plan = f.Plan(kRequest, kReply, "registers 1000", n);
    if (notes)
        *notes = n;
    return plan;
}

TEST(Faults, NoneByDefaultAndEachFaultAlone) {
    {
        const auto plan = PlanWith({});
        ASSERT_EQ(plan.size(), 1u);
        EXPECT_EQ(plan[0].bytes, kReply);
        EXPECT_EQ(plan[0].at, 0ms);
    }
    {
        std::vector<std::string> notes;
        EXPECT_TRUE(PlanWith({.drop = 1}, &notes).empty());
        EXPECT_EQ(notes.size(), 1u);
    }
    {
        const auto plan = PlanWith({.badCrc = 1});
        ASSERT_EQ(plan.size(), 1u);
        EXPECT_FALSE(modbus::CrcTestPasses(plan[0].bytes));
        EXPECT_EQ(Bytes(plan[0].bytes.begin(), plan[0].bytes.end() - 1), Bytes(kReply.begin(), kReply.end() - 1));
    }
    {
        const auto plan = PlanWith({.split = 1, .splitGapMs = 1500});
        ASSERT_EQ(plan.size(), 2u);
        EXPECT_FALSE(plan[0].bytes.empty());
        EXPECT_FALSE(plan[1].bytes.empty());
        EXPECT_EQ(plan[1].at - plan[0].at, 1500ms);
        Bytes joined = plan[0].bytes;
        joined.insert(joined.end(), plan[1].bytes.begin(), plan[1].bytes.end());
        EXPECT_EQ(joined, kReply);
        EXPECT_EQ(plan[1].what, "registers 1000 (fault: split, second part 1500 ms later)");
    }
    {
        const auto plan = PlanWith({.badCrc = 1, .delay = 1, .delayMs = 5});
        ASSERT_EQ(plan.size(), 1u);
        EXPECT_EQ(plan[0].what, "registers 1000 (fault: CRC damaged, delayed 5 ms)");
    }
    {
        const auto plan = PlanWith({.delay = 1, .delayMs = 700});
        ASSERT_EQ(plan.size(), 1u);
        EXPECT_EQ(plan[0].at, 700ms);
        EXPECT_EQ(plan[0].bytes, kReply);
    }
    {
        const auto plan = PlanWith({.exception = 1});
        ASSERT_EQ(plan.size(), 1u);
        EXPECT_EQ(plan[0].bytes, sim::ExceptionReply(1, 3, 4));
        EXPECT_EQ(plan[0].what, "exception 04 (slave device failure) instead of registers 1000 (fault: exception)");
    }
    {
        const auto plan = PlanWith({.noise = 1});
        ASSERT_EQ(plan.size(), 2u);
        EXPECT_GE(plan[0].bytes.size(), 1u);
        EXPECT_LE(plan[0].bytes.size(), 4u);
        EXPECT_GT(plan[1].at, 4ms) << "a silence between noise and reply";
        EXPECT_EQ(plan[1].bytes, kReply);
    }
    {
        const auto plan = PlanWith({.echo = 1});
        ASSERT_EQ(plan.size(), 2u);
        EXPECT_EQ(plan[0].bytes, kRequest);
        EXPECT_EQ(plan[1].bytes, kReply);
    }
}

TEST(Faults, SeedRepeatsARunAndRatesAreRoughlyKept) {
    const sim::FaultRates rates{.drop = 0.2, .badCrc = 0.2, .split = 0.2, .delay = 0.2, .exception = 0.2, .noise = 0.2, .echo = 0.2};
    auto run = [&](uint64_t seed) { // the summary and every plan's bytes, plans apart
        sim::FaultInjector f(rates, seed, 4ms);
        std::vector<Bytes> sent;
        for (int i = 0; i < 1000; ++i, sent.emplace_back()) {
            std::vector<std::string> notes;
            for (const sim::Transmission& t : f.Plan(kRequest, kReply, "r", notes))
                sent.push_back(t.bytes);
        }
        return std::pair(f.Summary(), sent);
    };
    const auto a = run(42), b = run(42), c = run(43);
    EXPECT_EQ(a.first, b.first);
    EXPECT_TRUE(a.second == b.second);
    EXPECT_NE(a.first, c.first);

    sim::FaultInjector f(rates, 7, 4ms);
    for (int i = 0; i < 2000; ++i) {
        std::vector<std::string> notes;
        f.Plan(kRequest, kReply, "r", notes);
    }
    // 20 % of 2000 is 400; the others only count when the reply was not dropped (80 %).
    EXPECT_NEAR(f.Counts().drop, 400, 80);
    EXPECT_NEAR(f.Counts().echo, 320, 80);
}

} // namespace
