#pragma once
// Modbus RTU frame codec shared by the three test windows and the simulator.
//
// Pure computations on bytes and text, no state, no Qt: callable from any thread.
// A frame is a byte sequence exactly as on the wire: slave address first, 16-bit fields
// high byte first, the CRC-16 last with its low byte first.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace modbus {

// The value 0..15 of one hexadecimal digit character ("0".."9", "A".."F"; upper case only:
// callers upper-case first). Any other character gives 0, so that text the user typed or
// pasted always converts to a defined number and a stray character counts as a zero digit.
int HexCharToInt(char c);

// The value of a hexadecimal number typed by the user. Never fails:
// - characters with codes below 33 are trimmed from both ends, a..z folded to A..Z;
// - a "-" is a sign only when it is the very first character of the untrimmed text;
// - only the last eight digits count (the weight wraps to 0), arithmetic wraps at 32 bits.
// Empty text, blanks only or a lone "-" give 0.
int32_t HexStrToInt(std::string_view s);

// Modbus CRC-16 (reflected polynomial 0xA001, initial 0xFFFF, no final XOR) of the first
// `count` bytes of `data`. The count is 8 bits wide, as on the wire: at most 255 bytes are
// covered. A count of 0 gives the initial value 0xFFFF. Table driven.
uint16_t CRC16(const uint8_t* data, uint8_t count);

// The log text of a frame: every byte as unsigned decimal followed by one blank
// ("1 3 0 0 0 5 133 201 "). Empty for an empty frame.
std::string FrameLine(std::span<const uint8_t> frame);

// The 8-byte request shared by functions 02, 03 and 06: slave address (bits 7..0 of
// `slave`), function, a 16-bit first field, a 16-bit second field (both bits 15..0 of
// the values given, high byte first), CRC-16 of bytes 0..5 low byte first.
std::array<uint8_t, 8> BuildRequest(int32_t slave, uint8_t function, int32_t field1,
                                    int32_t field2);

// The function 10 hex request (write multiple registers): slave, 10, address, quantity
// (= values.size()), byte count (2 x quantity, bits 7..0), the values high byte first, then
// the CRC-16 of everything before it, low byte first. The caller keeps the quantity within
// what fits one frame (at most 123 values).
std::vector<uint8_t> BuildWriteMultipleRequest(int32_t slave, int32_t address,
                                               std::span<const uint16_t> values);

// CRC-16 of a byte sequence of any length (the same CRC as CRC16, without the 8-bit count).
uint16_t Crc16(std::span<const uint8_t> bytes);

// True when the last two bytes of `frame` are the CRC-16 of the others, low byte first.
// False for fewer than 3 bytes.
bool FrameCrcValid(std::span<const uint8_t> frame);

// --- Reply checks, applied by the windows to each delivery of received bytes ------------
// They read only the delivered bytes.

// CRC test: CRC16 over the first (L - 2) bytes, the count reduced to 8 bits, equals
// byte L-1 * 256 + byte L-2. Deliveries of fewer than 3 bytes carry no frame and fail.
// Longer deliveries keep the 8-bit count: any real Modbus RTU frame (at most 256 bytes)
// is covered whole, and a 258-byte or longer run of bytes is not a frame anyway.
bool CrcTestPasses(std::span<const uint8_t> delivery);

// Length test: complete when byte 2 (the byte count N) + 5 <= L. Needs L >= 3 (it is only
// applied after the CRC test passed); shorter deliveries count as short.
bool LengthTestComplete(std::span<const uint8_t> delivery);

// Refusal test: byte 2 is 0x81 or 0x82. False for deliveries shorter than 3 bytes.
bool RefusalTestRefused(std::span<const uint8_t> delivery);

// Register text of a function 03 value: sign and magnitude, bit 15 the sign, bits 14..0
// the magnitude in decimal ("-5", "32767", "-0").
std::string RegisterText(uint8_t high, uint8_t low);

// The same register as a number (0x8005 is -5; 8000 hex, the device's minus zero, is 0), and
// back: the magnitude clamped to 32767, and 0 never sent as minus zero.
int FromSignMagnitude(uint16_t raw);
uint16_t ToSignMagnitude(int value);

// The standard name of an exception code in an exception reply ("illegal function" for 01,
// "slave device failure" for 04, ...); nullptr for a code without one.
const char* ExceptionName(uint8_t code);

} // namespace modbus
