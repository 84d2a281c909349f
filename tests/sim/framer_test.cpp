// The frame finder: frames by implied length or by silence, with noise, gaps and joins.
#include "sim/device.h"
#include "sim/framer.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using sim::Clock;
using sim::FoundBytes;
using Bytes = std::vector<uint8_t>;

namespace sim {
// Readable failures: kind and bytes in hex.
void PrintTo(const FoundBytes& f, std::ostream* os) {
    *os << (f.kind == FoundBytes::Kind::Frame ? "Frame{" : "Junk{");
    for (uint8_t b : f.bytes)
        *os << ' ' << std::hex << int{b};
    *os << " }";
}
} // namespace sim

namespace {

const Bytes kRead03 = {0x01, 0x03, 0x00, 0x00, 0x00, 0x05, 0x85, 0xC9};
const Bytes kRead02 = {0x01, 0x02, 0x03, 0x00, 0x00, 0x0C, 0x78, 0x4B};
const Bytes kWrite10 = {0x01, 0x10, 0x01, 0x00, 0x00, 0x02, 0x04, 0x01, 0xF4, 0x04, 0xB0, 0xBD, 0x45};

Bytes WithCrc(Bytes b) {
    sim::AppendCrc(b);
    return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

FoundBytes Frame(Bytes b) { return {FoundBytes::Kind::Frame, std::move(b)}; }
FoundBytes Junk(Bytes b) { return {FoundBytes::Kind::Garbage, std::move(b)}; }

// One chunk of input arriving `after` the previous one.
struct Chunk {
    std::chrono::microseconds after;
    Bytes bytes;
};

struct Case {
    const char* name;
    std::vector<Chunk> chunks;
    std::vector<FoundBytes> expected; // after everything, including a final silence
};

class FramerCases : public ::testing::TestWithParam<Case> {};

TEST_P(FramerCases, FindsFramesAndGarbage) {
    const Case& c = GetParam();
    sim::FrameFinder finder(sim::SilenceFor(9600)); // about 4 ms
    Clock::time_point t{};
    std::vector<FoundBytes> got;
    for (const Chunk& ch : c.chunks) {
        t += ch.after;
        for (auto& f : finder.Idle(t))
            got.push_back(f);
        for (auto& f : finder.Feed(ch.bytes, t))
            got.push_back(f);
    }
    t += 1s;
    for (auto& f : finder.Idle(t))
        got.push_back(f);
    EXPECT_EQ(got, c.expected) << c.name;
    EXPECT_EQ(finder.Pending(), 0u);
}

const Bytes kUnknownFn = WithCrc({0x01, 0x2B, 0x0E, 0x01, 0x00}); // no implied length

INSTANTIATE_TEST_SUITE_P(
    Table, FramerCases,
    ::testing::Values(
        Case{"one frame", {{0us, kRead03}}, {Frame(kRead03)}},
        Case{"byte by byte within the silence",
             [] {
                 std::vector<Chunk> v;
                 for (uint8_t b : kRead03)
                     v.push_back({1000us, {b}});
                 return v;
             }(),
             {Frame(kRead03)}},
        Case{"two frames joined", {{0us, Cat({kRead03, kRead02})}}, {Frame(kRead03), Frame(kRead02)}},
        Case{"function 10 by its byte count", {{0us, Cat({kWrite10, kRead03})}}, {Frame(kWrite10), Frame(kRead03)}},
        Case{"noise in front, no gap", {{0us, Cat({{0xFF, 0x00}, kRead03})}}, {Junk({0xFF, 0x00}), Frame(kRead03)}},
        Case{"noise between two frames", {{0us, Cat({kRead03, {0x55}, kRead02})}},
             {Frame(kRead03), Junk({0x55}), Frame(kRead02)}},
        Case{"split by a gap longer than the silence",
             {{0us, {kRead03.begin(), kRead03.begin() + 3}}, {10ms, {kRead03.begin() + 3, kRead03.end()}}},
             {Junk({0x01, 0x03, 0x00}), Junk({0x00, 0x00, 0x05, 0x85, 0xC9})}},
        Case{"a gap ends the junk and the next frame still counts",
             {{0us, {0x01, 0x03, 0x00}}, {10ms, kRead03}},
             {Junk({0x01, 0x03, 0x00}), Frame(kRead03)}},
        Case{"bad CRC", {{0us, {0x01, 0x03, 0x00, 0x00, 0x00, 0x05, 0x85, 0xC8}}},
             {Junk({0x01, 0x03, 0x00, 0x00, 0x00, 0x05, 0x85, 0xC8})}},
        Case{"unknown function ends with the silence", {{0us, kUnknownFn}}, {Frame(kUnknownFn)}},
        Case{"byte count beyond any frame", {{0us, {0x01, 0x10, 0x00, 0x00, 0x00, 0x80, 0xFF}}, {1ms, kRead03}},
             {Junk({0x01, 0x10, 0x00, 0x00, 0x00, 0x80, 0xFF}), Frame(kRead03)}},
        Case{"a lone byte", {{0us, {0x01}}}, {Junk({0x01})}},
        Case{"another slave's reply on a shared line", {{0us, WithCrc({0x02, 0x03, 0x04, 0, 1, 0, 2})}, {10ms, kRead03}},
             {Frame(WithCrc({0x02, 0x03, 0x04, 0, 1, 0, 2})), Frame(kRead03)}}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (char& ch : n)
            if (!std::isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        return n;
    });

TEST(Framer, DeadlineIsSilenceAfterLastByte) {
    sim::FrameFinder finder(4ms);
    Clock::time_point t{};
    EXPECT_FALSE(finder.Deadline());
    finder.Feed(Bytes{0x01, 0x03}, t);
    ASSERT_TRUE(finder.Deadline());
    EXPECT_EQ(*finder.Deadline(), t + 4ms);
    EXPECT_TRUE(finder.Idle(t + 3ms).empty()) << "not silent long enough yet";
    EXPECT_EQ(finder.Idle(t + 4ms).size(), 1u);
    EXPECT_FALSE(finder.Deadline());
}

TEST(Framer, SilenceScalesWithBaud) {
    EXPECT_EQ(sim::SilenceFor(9600), 4011us);
    EXPECT_EQ(sim::SilenceFor(300), 128334us);
    EXPECT_EQ(sim::SilenceFor(115200), 1750us) << "fixed minimum above 19200 baud";
    EXPECT_GT(sim::SilenceFor(0), 1s) << "no division by zero";
}

TEST(Framer, EndlessNoiseNeverGrowsBeyondAFrame) {
    sim::FrameFinder finder(4ms);
    Bytes noise(5000);
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<uint8_t>(0x40 + i % 7); // functions without an implied length
    std::size_t junk = 0;
    for (auto& f : finder.Feed(noise, Clock::time_point{}))
        junk += f.kind == FoundBytes::Kind::Garbage ? f.bytes.size() : 0;
    EXPECT_LT(finder.Pending(), 2 * sim::kMaxFrame);
    EXPECT_EQ(junk + finder.Pending(), noise.size());
    for (auto& f : finder.Idle(Clock::time_point{} + 1s))
        junk += f.kind == FoundBytes::Kind::Garbage ? f.bytes.size() : 0;
    EXPECT_EQ(junk, noise.size());
    EXPECT_EQ(finder.Pending(), 0u);
}

} // namespace
