#pragma once
// What the libmodbus slave (democomm-modbus-slave) holds, raw register values in sign and
// magnitude; the end-to-end tests expect the same.
#include <cstdint>

namespace e2e {
inline constexpr uint16_t kSlaveWorking[5] = {1000, 990, 5000, 4990, 2};
inline constexpr uint16_t kSlaveSetpoints[8] = {120,  100, 30,   0x8014,
                                                2000, 400, 3000, 500}; // 0103: -20
inline constexpr uint16_t kInputStart = 0x0300;
inline constexpr uint16_t kSlaveInputs = 0x0A85; // inputs 0300..030B, bit i = 0300 + i
} // namespace e2e
