// The simulator's frame finder on any sequence of reads and silences: every byte comes out
// exactly once and in line order (as a frame or as garbage, or still pending), every frame
// is whole with a good CRC, and it never holds more than a frame and a frame's worth of noise.
#include "fuzz/common.h"
#include "sim/framer.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    sim::FrameFinder finder(sim::SilenceFor(in.PickValueInArray({1200, 9600, 19200, 115200})));
    sim::Clock::time_point now{};
    std::vector<uint8_t> sent, reported;
    const auto collect = [&](const std::vector<sim::FoundBytes>& found) {
        for (const auto& f : found) {
            const bool frame = f.kind == sim::FoundBytes::Kind::Frame;
            if (f.bytes.empty() || f.bytes.size() > sim::kMaxFrame ||
                (frame && (f.bytes.size() < 4 || !modbus::CrcTestPasses(f.bytes))))
                std::abort();
            reported.insert(reported.end(), f.bytes.begin(), f.bytes.end());
        }
    };
    while (in.remaining_bytes() > 0) {
        now += std::chrono::microseconds(in.ConsumeIntegralInRange<int>(0, 20000));
        const int op = in.ConsumeIntegralInRange<int>(0, 2); // silence, read, read ending in a CRC
        if (op == 0) {
            collect(finder.Idle(now));
            continue;
        }
        auto bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 300));
        if (op == 2)
            fuzzsupport::FixCrc(bytes);
        sent.insert(sent.end(), bytes.begin(), bytes.end());
        collect(finder.Feed(bytes, now));
        if (finder.Pending() > 2 * sim::kMaxFrame)
            std::abort();
    }
    collect(finder.Idle(now + std::chrono::seconds(1))); // after a long silence nothing is left
    if (finder.Pending() != 0 || finder.Deadline().has_value() || reported != sent)
        std::abort();
    return 0;
}
