// The reader's 0xFF mark decoding on any byte stream, cut into reads at any places: in one
// read and in pieces it must give the same data and findings (a mark may straddle two reads),
// and no read may write past the n + 1 bytes the caller provides (each buffer is a heap block
// of exactly that size, so that AddressSanitizer sees any byte beyond it).
#include "serial/linemarks.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <tuple>
#include <vector>

namespace {

// Data, findings and open mark after `stream` went in reads of these sizes, then the rest.
auto DecodeInReads(const std::vector<uint8_t>& stream, std::vector<std::size_t> reads,
                   const serial::MarkOptions& options) {
    serial::MarkDecoder decoder;
    serial::MarkFindings findings;
    std::vector<uint8_t> bytes;
    std::size_t at = 0;
    reads.push_back(stream.size());
    for (std::size_t n : reads) {
        n = std::min(n, stream.size() - at);
        auto in = std::make_unique<uint8_t[]>(std::max<std::size_t>(n, 1)); // exactly n
        std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(at), n, in.get());
        auto out = std::make_unique<uint8_t[]>(n + 1);
        const std::size_t produced = decoder.Decode(in.get(), n, out.get(), options, findings);
        if (produced > n + 1)
            std::abort();
        bytes.insert(bytes.end(), out.get(), out.get() + produced);
        at += n;
    }
    return std::tuple(bytes, findings.breakSeen, findings.errorSeen, decoder.InMark());
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
    const auto whole = DecodeInReads(stream, {}, options);
    const std::vector<uint8_t>& bytes = std::get<0>(whole);
    // Marks only shrink the stream but for the one byte a held 0xFF may add; without marks
    // (and without nulls to drop) it passes unchanged.
    const bool plain =
        std::find(stream.begin(), stream.end(), 0xFF) == stream.end() && !options.ignoreNull;
    if (whole != DecodeInReads(stream, reads, options) || bytes.size() > stream.size() ||
        (plain && bytes != stream))
        std::abort();
    return 0;
}
