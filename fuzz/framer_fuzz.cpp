// The simulator's frame finder on any sequence of reads and silences. Whatever arrives, every
// byte comes out exactly once and in line order (as a frame or as garbage, or still pending),
// every frame it reports is a whole frame with a good CRC, and it never holds more than a
// frame and a frame's worth of noise.
#include "modbus/codec.h"
#include "sim/framer.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

void Collect(const std::vector<sim::FoundBytes>& found, std::vector<uint8_t>& out) {
    for (const auto& f : found) {
        if (f.bytes.empty())
            std::abort();
        if (f.kind == sim::FoundBytes::Kind::Frame) {
            if (f.bytes.size() < 4 || f.bytes.size() > sim::kMaxFrame ||
                !modbus::CrcTestPasses(f.bytes))
                std::abort();
        } else if (f.bytes.size() > sim::kMaxFrame) {
            std::abort();
        }
        out.insert(out.end(), f.bytes.begin(), f.bytes.end());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int baud = in.PickValueInArray({1200, 9600, 19200, 115200});
    sim::FrameFinder finder(sim::SilenceFor(baud));
    sim::Clock::time_point now{};
    std::vector<uint8_t> sent;
    std::vector<uint8_t> reported;
    while (in.remaining_bytes() > 0) {
        now += std::chrono::microseconds(in.ConsumeIntegralInRange<int>(0, 20000));
        const int op = in.ConsumeIntegralInRange<int>(0, 2);
        if (op == 0) {
            Collect(finder.Idle(now), reported);
            continue;
        }
        std::vector<uint8_t> bytes =
            in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 300));
        if (op == 2 && bytes.size() >= 3) {
            // Make the read end in a good CRC, so that whole frames are found often.
            const auto count = static_cast<uint8_t>((bytes.size() - 2) & 0xFF);
            const uint16_t crc = modbus::CRC16(bytes.data(), count);
            bytes[bytes.size() - 2] = static_cast<uint8_t>(crc & 0xFF);
            bytes[bytes.size() - 1] = static_cast<uint8_t>(crc >> 8);
        }
        sent.insert(sent.end(), bytes.begin(), bytes.end());
        Collect(finder.Feed(bytes, now), reported);
        if (finder.Pending() > 2 * sim::kMaxFrame)
            std::abort();
    }
    // After a long silence nothing is left, and everything came out in order.
    now += std::chrono::seconds(1);
    Collect(finder.Idle(now), reported);
    if (finder.Pending() != 0 || finder.Deadline().has_value() || reported != sent)
        std::abort();
    return 0;
}
