#pragma once
// Building replies in tests: the bytes followed by their CRC-16, low byte first.
// Header-only; needs the modbus library.

#include "modbus/codec.h"

#include <cstdint>
#include <vector>

namespace testsupport {

inline std::vector<uint8_t> WithCrc(std::vector<uint8_t> bytes) {
    const uint16_t crc = modbus::CRC16(bytes.data(), static_cast<uint8_t>(bytes.size()));
    bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
    bytes.push_back(static_cast<uint8_t>(crc >> 8));
    return bytes;
}

} // namespace testsupport
