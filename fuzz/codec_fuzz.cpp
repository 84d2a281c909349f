// Any text through the hexadecimal conversion and any delivery through the reply checks:
// neither may read outside its input, and the conversion must agree with a plain reference.
#include "modbus/codec.h"

#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view t(reinterpret_cast<const char*>(data), size);
    const uint32_t value = static_cast<uint32_t>(modbus::HexStrToInt(t));
    // Reference: the last eight digits of the trimmed text, less a leading "-" (first byte).
    const bool negative = !t.empty() && t.front() == '-';
    while (!t.empty() && static_cast<unsigned char>(t.front()) < 33)
        t.remove_prefix(1);
    while (!t.empty() && static_cast<unsigned char>(t.back()) < 33)
        t.remove_suffix(1);
    if (negative && !t.empty())
        t.remove_prefix(1);
    uint32_t expect = 0;
    for (char c : t.substr(t.size() > 8 ? t.size() - 8 : 0))
        expect =
            expect * 16u + uint32_t(modbus::HexCharToInt(c >= 'a' && c <= 'z' ? char(c - 32) : c));
    if (value != (negative ? 0u - expect : expect))
        std::abort();

    const std::span<const uint8_t> delivery(data, size);
    const int passed = modbus::CrcTestPasses(delivery) + modbus::LengthTestComplete(delivery) +
                       modbus::RefusalTestRefused(delivery); // all three run, on any input
    if (size < 3 && passed > 0)
        std::abort();
    if (size >= 2)
        (void)modbus::RegisterText(data[0], data[1]);
    (void)modbus::FrameLine(delivery);
    return 0;
}
