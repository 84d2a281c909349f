// Any text through the hexadecimal conversion and any delivery through the reply checks:
// neither may read outside its input nor trip the sanitizers, and the conversion must
// agree with a plain reference evaluation.
#include "modbus/codec.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const int32_t value = modbus::HexStrToInt(text);

    // Reference: the last eight digits of the trimmed, sign-stripped text.
    std::string_view t = text;
    const bool negative = !t.empty() && t.front() == '-';
    while (!t.empty() && static_cast<unsigned char>(t.front()) < 33)
        t.remove_prefix(1);
    while (!t.empty() && static_cast<unsigned char>(t.back()) < 33)
        t.remove_suffix(1);
    if (negative && !t.empty())
        t.remove_prefix(1);
    uint32_t expect = 0;
    const std::size_t from = t.size() > 8 ? t.size() - 8 : 0;
    for (std::size_t i = from; i < t.size(); ++i) {
        char c = t[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
        expect = expect * 16u + static_cast<uint32_t>(modbus::HexCharToInt(c));
    }
    if (negative)
        expect = 0u - expect;
    if (static_cast<uint32_t>(value) != expect)
        std::abort();

    const std::span<const uint8_t> delivery(data, size);
    const bool crc = modbus::CrcTestPasses(delivery);
    const bool complete = modbus::LengthTestComplete(delivery);
    const bool refused = modbus::RefusalTestRefused(delivery);
    if (size < 3 && (crc || complete || refused))
        std::abort();
    if (size >= 2)
        (void)modbus::RegisterText(data[0], data[1]);
    (void)modbus::FrameLine(delivery);
    return 0;
}
