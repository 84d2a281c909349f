#pragma once
// Decoding of the in-band line-status marks the terminal layer inserts in the received byte
// stream when errors are marked (PARMRK): 0xFF 0xFF is a real 0xFF byte, 0xFF 0x00 0x00 a
// break, 0xFF 0x00 c a byte c received with a framing or parity error. A mark may be split
// across two reads, so the decoder keeps its state between calls. Reader thread only.

#include <cstddef>
#include <cstdint>

namespace serial {

struct MarkFindings {
    bool breakSeen = false;
    bool errorSeen = false; // framing or parity error on some byte
};

struct MarkOptions {
    bool ignoreNull = false;       // drop received 0x00 data bytes
    bool replaceErrorByte = false; // deliver `errorByte` for a byte received with a parity error
    uint8_t errorByte = 0;
    // What a marked byte had: a parity error when set, else a framing error. The mark itself
    // does not say; the caller knows whether the line has a parity bit to check.
    bool marksAreParity = false;
};

class MarkDecoder {
public:
    // Decodes `n` raw bytes into `out` and returns the number of data bytes written. `out`
    // needs room for n + 1 bytes: a 0xFF held over from the previous call and followed by a
    // byte that completes no mark is delivered as data along with that byte. When no mark is
    // held over (!InMark()) the output never runs ahead of the input, at most n bytes come
    // out, and `out` may be `in` itself (decoding in place).
    std::size_t Decode(const uint8_t* in, std::size_t n, uint8_t* out, const MarkOptions& options,
                       MarkFindings& findings);
    // Forgets a partly received mark (after a purge).
    void Reset() { state_ = State::Data; }
    bool InMark() const { return state_ != State::Data; }

private:
    enum class State { Data, AfterFF, AfterFF00 };
    State state_ = State::Data;
};

} // namespace serial
