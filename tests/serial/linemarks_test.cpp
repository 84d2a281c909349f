// The decoder of the terminal's in-band error marks, including marks split between reads.
#include "serial/linemarks.h"

#include <gtest/gtest.h>

#include <ostream>

#include <vector>

using serial::MarkDecoder;
using serial::MarkFindings;
using serial::MarkOptions;

namespace {

struct MarkCase {
    const char* name;
    std::vector<uint8_t> raw;
    std::vector<uint8_t> data;
    bool breakSeen;
    bool errorSeen;
    MarkOptions options;
};
void PrintTo(const MarkCase& c, std::ostream* os) {
    *os << c.name;
}

class Marks : public ::testing::TestWithParam<MarkCase> {};

// Every case is also fed one byte at a time: a split must not change the outcome.
TEST_P(Marks, DecodeWholeAndByteByByte) {
    const MarkCase& c = GetParam();
    for (const bool split : {false, true}) {
        MarkDecoder d;
        MarkFindings f;
        std::vector<uint8_t> out;
        std::vector<uint8_t> buf(c.raw.size() + 1);
        if (!split) {
            out.assign(buf.begin(), buf.begin() + d.Decode(c.raw.data(), c.raw.size(), buf.data(),
                                                           c.options, f));
        } else {
            for (uint8_t b : c.raw) {
                uint8_t one[2];
                const std::size_t n = d.Decode(&b, 1, one, c.options, f);
                out.insert(out.end(), one, one + n);
            }
        }
        EXPECT_EQ(out, c.data) << (split ? "byte by byte" : "whole");
        EXPECT_EQ(f.breakSeen, c.breakSeen);
        EXPECT_EQ(f.errorSeen, c.errorSeen);
    }
}

const MarkOptions kPlain{};
const MarkOptions kNoNull{true, false, 0};
const MarkOptions kReplace{false, true, '?', true};
const MarkOptions kFramingNotReplaced{false, true, '?', false};

INSTANTIATE_TEST_SUITE_P(
    LineMarks, Marks,
    ::testing::Values(
        MarkCase{"Plain", {1, 2, 0, 3}, {1, 2, 0, 3}, false, false, kPlain},
        MarkCase{
            "RealFF", {0xFF, 0xFF, 0x41, 0xFF, 0xFF}, {0xFF, 0x41, 0xFF}, false, false, kPlain},
        MarkCase{"Break", {1, 0xFF, 0, 0, 2}, {1, 2}, true, false, kPlain},
        MarkCase{"ErrorByte", {0xFF, 0, 0x55, 7}, {0x55, 7}, false, true, kPlain},
        MarkCase{"ErrorByteReplaced", {0xFF, 0, 0x55, 7}, {'?', 7}, false, true, kReplace},
        MarkCase{
            "FramingErrorKept", {0xFF, 0, 0x55, 7}, {0x55, 7}, false, true, kFramingNotReplaced},
        MarkCase{"ErrorOnFF", {0xFF, 0, 0xFF}, {0xFF}, false, true, kPlain},
        MarkCase{"NullsDropped", {0, 1, 0, 0xFF, 0xFF, 0}, {1, 0xFF}, false, false, kNoNull},
        MarkCase{"StrayFF", {0xFF, 0x41}, {0xFF, 0x41}, false, false, kPlain},
        MarkCase{"TrailingFFHeld", {1, 0xFF}, {1}, false, false, kPlain}),
    [](const auto& info) { return std::string(info.param.name); });

// Completing a held mark in the next call is covered by the byte-by-byte runs above.
TEST(LineMarks, ResetForgetsAHeldMark) {
    MarkDecoder d;
    MarkFindings f;
    uint8_t out[4];
    const uint8_t ff[] = {0xFF, 0xFF};
    d.Decode(ff, 1, out, kPlain, f);
    EXPECT_TRUE(d.InMark());
    d.Reset();
    EXPECT_EQ(d.Decode(ff, 2, out, kPlain, f), 1u);
    EXPECT_EQ(out[0], 0xFF);
}

} // namespace
