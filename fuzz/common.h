#pragma once
// What the fuzz targets share: a read made to end in its good CRC, so that whole frames
// come up often.
#include "modbus/codec.h"

#include <vector>

namespace fuzzsupport {

inline void FixCrc(std::vector<uint8_t>& bytes) {
    if (bytes.size() < 3)
        return;
    const uint16_t crc = modbus::CRC16(bytes.data(), static_cast<uint8_t>(bytes.size() - 2));
    bytes[bytes.size() - 2] = static_cast<uint8_t>(crc & 0xFF);
    bytes[bytes.size() - 1] = static_cast<uint8_t>(crc >> 8);
}

} // namespace fuzzsupport
