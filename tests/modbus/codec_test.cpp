#include "modbus/codec.h"
#include "tests/support/frames.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace modbus;

namespace {

// The CRC the way the wire protocol defines it, bit by bit, as the reference for the table.
uint16_t BitwiseCrc(const uint8_t* data, unsigned count) {
    uint16_t reg = 0xFFFF;
    for (unsigned i = 0; i < count; ++i) {
        reg ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool lsb = reg & 1;
            reg >>= 1;
            if (lsb)
                reg ^= 0xA001;
        }
    }
    return reg;
}

using testsupport::WithCrc;

} // namespace

struct HexCase {
    const char* text;
    int32_t value;
};

class HexStrToIntTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexStrToIntTest, Converts) { EXPECT_EQ(HexStrToInt(GetParam().text), GetParam().value); }

INSTANTIATE_TEST_SUITE_P(
    Inputs, HexStrToIntTest,
    ::testing::Values(HexCase{"", 0}, HexCase{"-", 0}, HexCase{"   ", 0}, HexCase{"0000", 0},
                      HexCase{"5", 5}, HexCase{"2b", 43}, HexCase{" 1A ", 26},
                      HexCase{"\t1a\r\n", 26}, HexCase{"-10", -16},
                      HexCase{"FFFFFFFF", -1}, HexCase{"7FFFFFFF", 0x7FFFFFFF},
                      HexCase{"80000000", INT32_MIN}, HexCase{"-80000000", INT32_MIN},
                      HexCase{"100000000", 0}, HexCase{"123456789", 0x23456789},
                      HexCase{"ABCDEF0123456789", 0x23456789},
                      // A "-" after leading blanks is no sign: it is a stray character.
                      HexCase{" -10", 0x010}, HexCase{"- 10", -16},
                      // Characters outside the digit table count as zero digits.
                      HexCase{"G", 0}, HexCase{"1G", 0x10}, HexCase{"1 2", 0x102},
                      HexCase{"1-2", 0x102}, HexCase{"\xB0\xA1", 0}));

TEST(HexCharToInt, DigitsAndStrayCharacters) {
    const std::string digits = "0123456789ABCDEF";
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(HexCharToInt(digits[i]), i);
    for (char c : std::string("abcdefGZ -\0\x7F\xFF", 13))
        EXPECT_EQ(HexCharToInt(c), 0) << int(c);
}

TEST(CRC16, KnownAnswers) {
    const uint8_t req[] = {0x11, 0x03, 0x00, 0x6B, 0x00, 0x03};
    const uint16_t c = CRC16(req, 6);
    EXPECT_EQ(c & 0xFF, 0x76); // sent first
    EXPECT_EQ(c >> 8, 0x87);
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(CRC16(digits, 9), 0x4B37);
    EXPECT_EQ(CRC16(digits, 0), 0xFFFF);
}

TEST(CRC16, TableEqualsBitwiseForEverySingleByteAndRandomBuffers) {
    for (unsigned b = 0; b < 256; ++b) {
        const uint8_t byte = static_cast<uint8_t>(b);
        ASSERT_EQ(CRC16(&byte, 1), BitwiseCrc(&byte, 1)) << b;
    }
    std::mt19937 rng(12345);
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint8_t> buf(rng() % 301);
        for (auto& x : buf)
            x = static_cast<uint8_t>(rng());
        // The count is 8 bits wide: only (size mod 256) bytes are covered.
        const auto count = static_cast<uint8_t>(buf.size() & 0xFF);
        ASSERT_EQ(CRC16(buf.data(), count), BitwiseCrc(buf.data(), count)) << buf.size();
    }
}

struct FrameCase {
    int32_t slave;
    uint8_t function;
    int32_t start;
    int32_t quantity;
    std::vector<uint8_t> frame;
    const char* line;
};

class RequestTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(RequestTest, LayoutAndFrameLine) {
    const auto& c = GetParam();
    const auto f = BuildRequest(c.slave, c.function, c.start, c.quantity);
    EXPECT_EQ(std::vector<uint8_t>(f.begin(), f.end()), c.frame);
    if (c.line) {
        EXPECT_EQ(FrameLine(f), c.line);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, RequestTest,
    ::testing::Values(
        FrameCase{1, 3, 0, 5, {0x01, 0x03, 0x00, 0x00, 0x00, 0x05, 0x85, 0xC9},
                  "1 3 0 0 0 5 133 201 "},
        FrameCase{1, 3, 0x100, 8, {0x01, 0x03, 0x01, 0x00, 0x00, 0x08, 0x45, 0xF0},
                  "1 3 1 0 0 8 69 240 "},
        FrameCase{1, 2, 0x300, 12, {0x01, 0x02, 0x03, 0x00, 0x00, 0x0C, 0x78, 0x4B},
                  "1 2 3 0 0 12 120 75 "},
        FrameCase{1, 6, 0x100, 0x1F4, {0x01, 0x06, 0x01, 0x00, 0x01, 0xF4, 0x88, 0x21},
                  "1 6 1 0 1 244 136 33 "}));

TEST(BuildRequest, FieldsAreCutToTheirWidth) {
    EXPECT_EQ(BuildRequest(257, 3, 0, 5)[0], 0x01);
    EXPECT_EQ(BuildRequest(-1, 3, 0, 5)[0], 0xFF);
    const auto f = BuildRequest(1, 3, 0x12345, 1);
    EXPECT_EQ(f[2], 0x23);
    EXPECT_EQ(f[3], 0x45);
    const auto g = BuildRequest(1, 6, 0x10000, -1);
    EXPECT_EQ(g[2], 0x00);
    EXPECT_EQ(g[3], 0x00);
    EXPECT_EQ(g[4], 0xFF);
    EXPECT_EQ(g[5], 0xFF);
}

TEST(FrameLine, EmptyAndExtremes) {
    EXPECT_EQ(FrameLine({}), "");
    const uint8_t b[] = {0, 255, 10};
    EXPECT_EQ(FrameLine(b), "0 255 10 ");
}

TEST(ReplyChecks, WorkingDataReplyPassesAll) {
    const auto reply = WithCrc({1, 3, 10, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5});
    EXPECT_TRUE(CrcTestPasses(reply));
    EXPECT_TRUE(LengthTestComplete(reply));
    EXPECT_FALSE(RefusalTestRefused(reply));
}

TEST(ReplyChecks, AlteredLastByteFailsCrc) {
    auto reply = WithCrc({1, 3, 2, 0, 5});
    reply.back() ^= 1;
    EXPECT_FALSE(CrcTestPasses(reply));
}

TEST(ReplyChecks, ExceptionReplyPassesCrcAndIsShort) {
    for (uint8_t code = 1; code < 12; ++code) {
        const auto reply = WithCrc({1, 0x83, code});
        EXPECT_TRUE(CrcTestPasses(reply));
        EXPECT_FALSE(LengthTestComplete(reply)) << int(code);
    }
}

TEST(ReplyChecks, ByteCount130IsCompleteButRefused) {
    std::vector<uint8_t> body = {1, 3, 130};
    body.resize(133, 0x11);
    const auto reply = WithCrc(body);
    ASSERT_EQ(reply.size(), 135u);
    EXPECT_TRUE(CrcTestPasses(reply));
    EXPECT_TRUE(LengthTestComplete(reply));
    EXPECT_TRUE(RefusalTestRefused(reply));
}

TEST(ReplyChecks, TinyDeliveriesFailWithoutReadingOutside) {
    // A 2-byte FF FF would match the CRC of no bytes; it is no frame and must fail.
    const std::vector<std::vector<uint8_t>> tiny = {{}, {0x01}, {0xFF, 0xFF}, {0x00, 0x00}};
    for (const auto& d : tiny) {
        EXPECT_FALSE(CrcTestPasses(d));
        EXPECT_FALSE(LengthTestComplete(d));
        EXPECT_FALSE(RefusalTestRefused(d));
    }
}

TEST(ReplyChecks, LongDeliveriesKeepTheEightBitCount) {
    // 300 bytes: the CRC covers (300 - 2) mod 256 = 42 bytes.
    std::vector<uint8_t> d(300, 0x5A);
    const uint16_t c = CRC16(d.data(), 42);
    d[298] = c & 0xFF;
    d[299] = c >> 8;
    EXPECT_TRUE(CrcTestPasses(d));
}

TEST(RegisterText, SignAndMagnitude) {
    EXPECT_EQ(RegisterText(0x00, 0x05), "5");
    EXPECT_EQ(RegisterText(0x80, 0x05), "-5");
    EXPECT_EQ(RegisterText(0x7F, 0xFF), "32767");
    EXPECT_EQ(RegisterText(0x80, 0x00), "-0");
    EXPECT_EQ(RegisterText(0xFF, 0xFF), "-32767");
    EXPECT_EQ(RegisterText(0x00, 0x00), "0");
}
