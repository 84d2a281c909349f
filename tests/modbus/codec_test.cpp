#include "modbus/codec.h"
#include "tests/support/frames.h"

#include <gtest/gtest.h>

#include <random>

using namespace modbus;
using testsupport::WithCrc;

TEST(Hex, StringsAndCharacters) {
    // A "-" after leading blanks is a stray character; stray characters count as zeros.
    // clang-format off
    const std::pair<const char*, int32_t> table[] = {
        {"", 0}, {"-", 0}, {"   ", 0}, {"5", 5}, {"2b", 43}, {" 1A ", 26}, {"\t1a\r\n", 26},
        {"-10", -16}, {"FFFFFFFF", -1}, {"7FFFFFFF", 0x7FFFFFFF}, {"80000000", INT32_MIN},
        {"-80000000", INT32_MIN}, {"100000000", 0}, {"ABCDEF0123456789", 0x23456789},
        {" -10", 0x010}, {"- 10", -16}, {"G", 0}, {"1G", 0x10}, {"1 2", 0x102}, {"1-2", 0x102},
        {"\xB0\xA1", 0}};
    // clang-format on
    for (const auto& [text, value] : table)
        EXPECT_EQ(HexStrToInt(text), value) << text;
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(HexCharToInt("0123456789ABCDEF"[i]), i);
    for (char c : std::string("abcdefGZ -\0\x7F\xFF", 13))
        EXPECT_EQ(HexCharToInt(c), 0) << int(c);
}

TEST(CRC16, KnownAnswersAndTheBitwiseDefinition) {
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(CRC16(digits, 9), 0x4B37);
    EXPECT_EQ(CRC16(digits, 0), 0xFFFF);
    std::mt19937 rng(12345);
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint8_t> buf(round < 256 ? 1 : rng() % 301, static_cast<uint8_t>(round));
        for (auto& x : buf)
            x = round < 256 ? x : static_cast<uint8_t>(rng());
        const auto count = static_cast<uint8_t>(buf.size() & 0xFF); // the count is 8 bits wide
        uint16_t reg = 0xFFFF;
        for (unsigned i = 0; i < count; ++i) {
            reg ^= buf[i];
            for (int bit = 0; bit < 8; ++bit)
                reg = (reg & 1) ? (reg >> 1) ^ 0xA001 : reg >> 1;
        }
        ASSERT_EQ(CRC16(buf.data(), count), reg) << buf.size();
    }
}

TEST(BuildRequest, LayoutAndFrameLine) {
    const struct {
        int32_t slave, function, start, quantity;
        std::vector<uint8_t> frame;
        const char* line;
    } cases[] = {
        {1, 3, 0, 5, {1, 3, 0, 0, 0, 5, 0x85, 0xC9}, "1 3 0 0 0 5 133 201 "},
        {1, 3, 0x100, 8, {1, 3, 1, 0, 0, 8, 0x45, 0xF0}, "1 3 1 0 0 8 69 240 "},
        {1, 2, 0x300, 12, {1, 2, 3, 0, 0, 12, 0x78, 0x4B}, "1 2 3 0 0 12 120 75 "},
        {1, 6, 0x100, 0x1F4, {1, 6, 1, 0, 1, 0xF4, 0x88, 0x21}, "1 6 1 0 1 244 136 33 "},
        {0x11, 3, 0x6B, 3, {0x11, 3, 0, 0x6B, 0, 3, 0x76, 0x87}, nullptr}, // CRC low byte first
        {257, 3, 0x12345, 1, WithCrc({1, 3, 0x23, 0x45, 0, 1}), nullptr},  // cut to their width
        {-1, 6, 0x10000, -1, WithCrc({0xFF, 6, 0, 0, 0xFF, 0xFF}), nullptr},
    };
    for (const auto& c : cases) {
        const auto f = BuildRequest(c.slave, static_cast<uint8_t>(c.function), c.start, c.quantity);
        EXPECT_EQ(std::vector<uint8_t>(f.begin(), f.end()), c.frame) << c.slave;
        if (c.line) {
            EXPECT_EQ(FrameLine(f), c.line);
        }
    }
    EXPECT_EQ(FrameLine({}), "");
    // Function 10 hex: every value high byte first, whole (an odd low byte included).
    const std::vector<uint16_t> values{0x1235, 0x00FF};
    EXPECT_EQ(modbus::BuildWriteMultipleRequest(1, 0x0100, values),
              WithCrc({1, 0x10, 1, 0, 0, 2, 4, 0x12, 0x35, 0x00, 0xFF}));
}

TEST(ReplyChecks, CrcLengthAndRefusal) {
    std::vector<uint8_t> long130 = {1, 3, 130};
    long130.resize(133, 0x11);
    auto altered = WithCrc({1, 3, 2, 0, 5});
    altered.back() ^= 1;
    const struct {
        std::vector<uint8_t> reply;
        bool crc, complete, refused;
    } cases[] = {
        {WithCrc({1, 3, 10, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5}), true, true, false},
        {altered, false, true, false},
        {WithCrc({1, 3, 10, 0, 1, 0, 2, 0, 3, 0, 4, 0}), true, false, false}, // one byte short
        {WithCrc({1, 0x83, 2}), true, false, false},                          // an exception reply
        {WithCrc(long130), true, true, true}, // byte count 130: complete but refused
        {{}, false, false, false},            // nothing is read outside a delivery
        {{0x01}, false, false, false},
        {{0xFF, 0xFF}, false, false, false}, // would match the CRC of no bytes
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CrcTestPasses(c.reply), c.crc) << c.reply.size();
        EXPECT_EQ(LengthTestComplete(c.reply), c.complete) << c.reply.size();
        EXPECT_EQ(RefusalTestRefused(c.reply), c.refused) << c.reply.size();
    }
    std::vector<uint8_t> d(300, 0x5A); // the CRC covers (300 - 2) mod 256 = 42 bytes
    const uint16_t c = CRC16(d.data(), 42);
    d[298] = c & 0xFF;
    d[299] = c >> 8;
    EXPECT_TRUE(CrcTestPasses(d));
}

TEST(RegisterText, SignAndMagnitude) {
    const std::tuple<uint8_t, uint8_t, const char*> table[] = {
        {0x00, 0x05, "5"},  {0x80, 0x05, "-5"},     {0x7F, 0xFF, "32767"},
        {0x80, 0x00, "-0"}, {0xFF, 0xFF, "-32767"}, {0x00, 0x00, "0"},
    };
    for (const auto& [high, low, text] : table)
        EXPECT_EQ(RegisterText(high, low), text);
}

// The protocol's exception codes by name; any other code has none (shown as its number).
TEST(ExceptionName, DefinedCodesOnly) {
    const std::pair<uint8_t, const char*> named[] = {{1, "illegal function"},
                                                     {2, "illegal data address"},
                                                     {3, "illegal data value"},
                                                     {4, "slave device failure"},
                                                     {5, "acknowledge"},
                                                     {6, "slave device busy"},
                                                     {8, "memory parity error"},
                                                     {10, "gateway path unavailable"},
                                                     {11, "gateway target device failed to respond"}};
    for (int code = 0; code < 256; ++code) {
        const char* expected = nullptr;
        for (const auto& [c, name] : named)
            expected = c == code ? name : expected;
        const char* got = ExceptionName(uint8_t(code));
        EXPECT_EQ(got ? std::string(got) : "-", expected ? std::string(expected) : "-") << code;
    }
}
