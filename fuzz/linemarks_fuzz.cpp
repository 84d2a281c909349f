// The reader's in-band mark decoding on any byte stream, cut into reads at any places.
// Decoding the stream in one read and in pieces must give the same data bytes and the same
// findings (a mark may straddle two reads), and no read may write past the n + 1 bytes the
// contract asks the caller to provide: each output buffer is allocated at exactly that size
// so that AddressSanitizer sees any byte beyond it.
#include "serial/linemarks.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

struct Decoded {
    std::vector<uint8_t> bytes;
    serial::MarkFindings findings;
    bool inMark = false;
};

// Feeds `stream` to a fresh decoder in reads of the given sizes (the rest in one last read).
Decoded DecodeInReads(const std::vector<uint8_t>& stream, const std::vector<std::size_t>& reads,
                      const serial::MarkOptions& options) {
    serial::MarkDecoder decoder;
    Decoded result;
    std::size_t at = 0;
    auto decodeRead = [&](std::size_t n) {
        // Exactly the room the contract asks for, on the heap so overruns are caught.
        auto in = std::make_unique<uint8_t[]>(n == 0 ? 1 : n);
        std::copy(stream.begin() + static_cast<std::ptrdiff_t>(at),
                  stream.begin() + static_cast<std::ptrdiff_t>(at + n), in.get());
        auto out = std::make_unique<uint8_t[]>(n + 1);
        const std::size_t produced =
            decoder.Decode(in.get(), n, out.get(), options, result.findings);
        if (produced > n + 1)
            std::abort();
        result.bytes.insert(result.bytes.end(), out.get(), out.get() + produced);
        at += n;
    };
    for (std::size_t n : reads) {
        if (n > stream.size() - at)
            n = stream.size() - at;
        decodeRead(n);
    }
    decodeRead(stream.size() - at);
    result.inMark = decoder.InMark();
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    serial::MarkOptions options;
    options.ignoreNull = in.ConsumeBool();
    options.replaceErrorByte = in.ConsumeBool();
    options.errorByte = in.ConsumeIntegral<uint8_t>();
    std::vector<std::size_t> reads(in.ConsumeIntegralInRange<std::size_t>(0, 16));
    for (auto& n : reads)
        n = in.ConsumeIntegralInRange<std::size_t>(0, 64);
    const std::vector<uint8_t> stream = in.ConsumeRemainingBytes<uint8_t>();

    const Decoded whole = DecodeInReads(stream, {}, options);
    const Decoded pieces = DecodeInReads(stream, reads, options);
    if (whole.bytes != pieces.bytes || whole.inMark != pieces.inMark ||
        whole.findings.breakSeen != pieces.findings.breakSeen ||
        whole.findings.errorSeen != pieces.findings.errorSeen)
        std::abort();
    // Marks only ever shrink the stream, except the one byte a held 0xFF may add.
    if (whole.bytes.size() > stream.size())
        std::abort();
    // Without marks in it, a stream passes through unchanged (less its nulls when asked).
    bool hasFF = false;
    for (uint8_t c : stream)
        hasFF = hasFF || c == 0xFF;
    if (!hasFF && !options.ignoreNull && whole.bytes != stream)
        std::abort();
    return 0;
}
