#include "codec.h"

#include <algorithm>

namespace modbus {

namespace {

constexpr std::string_view DigitTable = "0123456789ABCDEF";

constexpr std::array<uint16_t, 256> MakeCrcTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        uint16_t reg = static_cast<uint16_t>(byte);
        for (int bit = 0; bit < 8; ++bit) {
            const bool lsb = reg & 1u;
            reg = static_cast<uint16_t>(reg >> 1);
            if (lsb)
                reg ^= 0xA001;
        }
        table[byte] = reg;
    }
    return table;
}

constexpr auto CrcTable = MakeCrcTable();

bool IsTrimmed(char c) {
    return static_cast<unsigned char>(c) < 33;
}

} // namespace

int HexCharToInt(char c) {
    const auto pos = DigitTable.find(c);
    return pos == std::string_view::npos ? 0 : static_cast<int>(pos);
}

int32_t HexStrToInt(std::string_view s) {
    const bool negative = !s.empty() && s.front() == '-';

    std::string_view t = s;
    while (!t.empty() && IsTrimmed(t.front()))
        t.remove_prefix(1);
    while (!t.empty() && IsTrimmed(t.back()))
        t.remove_suffix(1);
    if (negative && !t.empty())
        t.remove_prefix(1);

    // Unsigned arithmetic gives the 32-bit two's complement wrap without overflow UB.
    uint32_t value = 0;
    uint32_t weight = 1;
    for (auto it = t.rbegin(); it != t.rend(); ++it) {
        char c = *it;
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        value += static_cast<uint32_t>(HexCharToInt(c)) * weight;
        weight *= 16u;
    }
    if (negative)
        value = 0u - value;
    return static_cast<int32_t>(value);
}

uint16_t CRC16(const uint8_t* data, uint8_t count) {
    return Crc16({data, count});
}

std::string FrameLine(std::span<const uint8_t> frame) {
    std::string line;
    line.reserve(frame.size() * 4);
    for (uint8_t b : frame) {
        line += std::to_string(b);
        line += ' ';
    }
    return line;
}

std::array<uint8_t, 8> BuildRequest(int32_t slave, uint8_t function, int32_t field1,
                                    int32_t field2) {
    std::array<uint8_t, 8> f{};
    f[0] = static_cast<uint8_t>(slave & 0xFF);
    f[1] = function;
    f[2] = static_cast<uint8_t>((field1 >> 8) & 0xFF);
    f[3] = static_cast<uint8_t>(field1 & 0xFF);
    f[4] = static_cast<uint8_t>((field2 >> 8) & 0xFF);
    f[5] = static_cast<uint8_t>(field2 & 0xFF);
    const uint16_t sum = CRC16(f.data(), 6);
    f[6] = static_cast<uint8_t>(sum & 0xFF);
    f[7] = static_cast<uint8_t>(sum >> 8);
    return f;
}

std::vector<uint8_t> BuildWriteMultipleRequest(int32_t slave, int32_t address,
                                               std::span<const uint16_t> values) {
    std::vector<uint8_t> f;
    f.reserve(9 + 2 * values.size());
    const auto quantity = static_cast<uint16_t>(values.size());
    f.push_back(static_cast<uint8_t>(slave & 0xFF));
    f.push_back(0x10);
    f.push_back(static_cast<uint8_t>((address >> 8) & 0xFF));
    f.push_back(static_cast<uint8_t>(address & 0xFF));
    f.push_back(static_cast<uint8_t>(quantity >> 8));
    f.push_back(static_cast<uint8_t>(quantity & 0xFF));
    f.push_back(static_cast<uint8_t>((2 * quantity) & 0xFF));
    for (uint16_t v : values) {
        f.push_back(static_cast<uint8_t>(v >> 8));
        f.push_back(static_cast<uint8_t>(v & 0xFF));
    }
    const uint16_t sum = Crc16(f);
    f.push_back(static_cast<uint8_t>(sum & 0xFF));
    f.push_back(static_cast<uint8_t>(sum >> 8));
    return f;
}

uint16_t Crc16(std::span<const uint8_t> bytes) {
    uint16_t reg = 0xFFFF;
    for (uint8_t b : bytes)
        reg = static_cast<uint16_t>((reg >> 8) ^ CrcTable[(reg ^ b) & 0xFFu]);
    return reg;
}

bool FrameCrcValid(std::span<const uint8_t> frame) {
    const std::size_t len = frame.size();
    if (len < 3)
        return false;
    const uint16_t received = static_cast<uint16_t>(frame[len - 1] << 8 | frame[len - 2]);
    return Crc16(frame.first(len - 2)) == received;
}

bool CrcTestPasses(std::span<const uint8_t> d) {
    const std::size_t len = d.size();
    if (len < 3)
        return false;
    const auto count = static_cast<uint8_t>((len - 2) & 0xFF);
    const uint16_t received = static_cast<uint16_t>(d[len - 1] << 8 | d[len - 2]);
    return CRC16(d.data(), count) == received;
}

bool LengthTestComplete(std::span<const uint8_t> d) {
    return d.size() >= 3 && static_cast<std::size_t>(d[2]) + 5 <= d.size();
}

bool RefusalTestRefused(std::span<const uint8_t> d) {
    return d.size() >= 3 && (d[2] == 0x81 || d[2] == 0x82);
}

std::string RegisterText(uint8_t high, uint8_t low) {
    const unsigned magnitude = (static_cast<unsigned>(high & 0x7F) << 8) | low;
    std::string text = (high & 0x80) ? "-" : "";
    return text + std::to_string(magnitude);
}

int FromSignMagnitude(uint16_t raw) {
    const int magnitude = raw & 0x7FFF;
    return (raw & 0x8000) ? -magnitude : magnitude;
}

uint16_t ToSignMagnitude(int value) {
    const int magnitude = std::min(value < 0 ? -value : value, 0x7FFF);
    return static_cast<uint16_t>((value < 0 ? 0x8000 : 0) | magnitude);
}

const char* ExceptionName(uint8_t code) {
    switch (code) {
    case 0x01:
        return "illegal function";
    case 0x02:
        return "illegal data address";
    case 0x03:
        return "illegal data value";
    case 0x04:
        return "slave device failure";
    case 0x05:
        return "acknowledge";
    case 0x06:
        return "slave device busy";
    case 0x08:
        return "memory parity error";
    case 0x0A:
        return "gateway path unavailable";
    case 0x0B:
        return "gateway target device failed to respond";
    default:
        return nullptr;
    }
}

} // namespace modbus
