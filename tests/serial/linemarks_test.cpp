// The decoder of the terminal's in-band error marks, including marks split between reads.
#include "serial/linemarks.h"

#include <gtest/gtest.h>

using serial::MarkOptions;

TEST(LineMarks, DecodeWholeAndByteByByte) {
    const MarkOptions plain{}, noNull{true, false, 0}, replace{false, true, '?', true},
        framing{false, true, '?', false};
    const struct {
        std::vector<uint8_t> raw, data;
        bool breakSeen, errorSeen;
        MarkOptions options;
    } cases[] = {
        {{1, 2, 0, 3}, {1, 2, 0, 3}, false, false, plain},
        {{0xFF, 0xFF, 0x41, 0xFF, 0xFF}, {0xFF, 0x41, 0xFF}, false, false, plain}, // real 0xFF
        {{1, 0xFF, 0, 0, 2}, {1, 2}, true, false, plain},                          // a break
        {{0xFF, 0, 0x55, 7}, {0x55, 7}, false, true, plain},
        {{0xFF, 0, 0x55, 7}, {'?', 7}, false, true, replace},  // parity error replaced
        {{0xFF, 0, 0x55, 7}, {0x55, 7}, false, true, framing}, // framing error kept
        {{0xFF, 0, 0xFF}, {0xFF}, false, true, plain},
        {{0, 1, 0, 0xFF, 0xFF, 0}, {1, 0xFF}, false, false, noNull},
        {{0xFF, 0x41}, {0xFF, 0x41}, false, false, plain}, // a stray 0xFF
        {{1, 0xFF}, {1}, false, false, plain},             // a trailing 0xFF is held
    };
    for (const auto& c : cases) {
        for (const bool split : {false, true}) { // a split must not change the outcome
            serial::MarkDecoder d;
            serial::MarkFindings f;
            std::vector<uint8_t> out(c.raw.size() + 2);
            std::size_t n = 0;
            for (std::size_t i = 0; i < c.raw.size(); i += split ? 1 : c.raw.size())
                n += d.Decode(&c.raw[i], split ? 1 : c.raw.size(), &out[n], c.options, f);
            out.resize(n);
            EXPECT_EQ(out, c.data) << ::testing::PrintToString(c.raw) << split;
            EXPECT_EQ(f.breakSeen, c.breakSeen) << ::testing::PrintToString(c.raw);
            EXPECT_EQ(f.errorSeen, c.errorSeen) << ::testing::PrintToString(c.raw);
        }
    }
}
