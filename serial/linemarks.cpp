#include "linemarks.h"

#include <cstring>

namespace serial {

std::size_t MarkDecoder::Decode(const uint8_t* in, std::size_t n, uint8_t* out,
                                const MarkOptions& options, MarkFindings& findings) {
    std::size_t produced = 0;
    auto emit = [&](uint8_t c) {
        if (c == 0 && options.ignoreNull)
            return;
        out[produced++] = c;
    };
    for (std::size_t i = 0; i < n; ++i) {
        if (state_ == State::Data && !options.ignoreNull) {
            // Between marks the bytes pass unchanged: move the whole run up to the next 0xFF
            // at once instead of byte by byte (most reads hold no mark at all).
            const auto* ff = static_cast<const uint8_t*>(std::memchr(in + i, 0xFF, n - i));
            const std::size_t run = (ff ? static_cast<std::size_t>(ff - in) : n) - i;
            if (out + produced != in + i)
                std::memmove(out + produced, in + i, run);
            produced += run;
            i += run;
            if (i == n)
                break;
        }
        const uint8_t c = in[i];
        switch (state_) {
        case State::Data:
            if (c == 0xFF)
                state_ = State::AfterFF;
            else
                emit(c);
            break;
        case State::AfterFF:
            if (c == 0xFF) {
                emit(0xFF);
                state_ = State::Data;
            } else if (c == 0x00) {
                state_ = State::AfterFF00;
            } else {
                // Not a mark the terminal layer makes; keep both bytes rather than lose one.
                emit(0xFF);
                emit(c);
                state_ = State::Data;
            }
            break;
        case State::AfterFF00:
            if (c == 0x00) {
                findings.breakSeen = true; // a break carries no data byte
            } else {
                findings.errorSeen = true;
                // Only a parity error is replaced: a framing error keeps the byte as it came.
                emit(options.replaceErrorByte && options.marksAreParity ? options.errorByte : c);
            }
            state_ = State::Data;
            break;
        }
    }
    return produced;
}

} // namespace serial
