#include "sim/framer.h"

#include "modbus/codec.h"

#include <algorithm>

namespace sim {

std::chrono::microseconds SilenceFor(int baud) {
    const long long b = std::max(baud, 1);
    // 3.5 characters x 11 bits = 38.5 bit times, rounded up so the silence is never short.
    const long long us = (38'500'000LL + b - 1) / b;
    return std::chrono::microseconds(std::max(us, 1750LL));
}

namespace {

enum class Need { Length, More, Unknown };

struct Implied {
    Need need;
    std::size_t length = 0;
};

// How long a request must be, judged from the bytes seen so far.
Implied ImpliedLength(const std::vector<uint8_t>& b) {
    if (b.size() < 2)
        return {Need::More};
    const uint8_t fn = b[1];
    if (fn >= 0x01 && fn <= 0x06)
        return {Need::Length, 8};
    if (fn == 0x0F || fn == 0x10) {
        if (b.size() < 7)
            return {Need::More};
        return {Need::Length, 9u + b[6]};
    }
    return {Need::Unknown};
}

bool CrcOk(const std::vector<uint8_t>& b, std::size_t length) {
    if (length < 4 || length > kMaxFrame || length > b.size())
        return false;
    const uint16_t crc = modbus::CRC16(b.data(), static_cast<uint8_t>(length - 2));
    return b[length - 2] == (crc & 0xFF) && b[length - 1] == (crc >> 8);
}

} // namespace

void FrameFinder::FlushGarbage(std::vector<FoundBytes>& out) {
    if (garbage_.empty())
        return;
    out.push_back({FoundBytes::Kind::Garbage, std::move(garbage_)});
    garbage_.clear();
}

void FrameFinder::Extract(bool final, std::vector<FoundBytes>& out) {
    auto dropOne = [&] {
        garbage_.push_back(buffer_.front());
        buffer_.erase(buffer_.begin());
        if (garbage_.size() >= kMaxFrame)
            FlushGarbage(out); // endless noise: report it in pieces, hold no more than a frame
    };
    auto takeFrame = [&](std::size_t length) {
        FlushGarbage(out);
        out.push_back({FoundBytes::Kind::Frame, {buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length)}});
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
    };

    while (!buffer_.empty()) {
        const Implied im = ImpliedLength(buffer_);
        if (im.need == Need::Length) {
            if (im.length > kMaxFrame) {
                dropOne();
            } else if (buffer_.size() >= im.length && CrcOk(buffer_, im.length)) {
                takeFrame(im.length);
            } else if (!final && buffer_.size() < kMaxFrame) {
                // Too short yet, or a bad CRC: wait for the silence. What ends then may be
                // whole after all (another slave's reply on a shared line is longer than the
                // request its function implies), or noise with a frame behind it.
                break;
            } else if (final && CrcOk(buffer_, buffer_.size())) {
                takeFrame(buffer_.size());
            } else {
                dropOne(); // look for a frame one byte later
            }
            continue;
        }
        if (!final) {
            // A function whose length we cannot know ends only with the silence; a run longer
            // than any frame cannot be one.
            if (buffer_.size() >= kMaxFrame)
                dropOne();
            else
                break;
            continue;
        }
        if (CrcOk(buffer_, buffer_.size()))
            takeFrame(buffer_.size());
        else
            dropOne();
    }
    // Dropped bytes are reported when a frame follows them or the line falls silent, so that
    // one burst of noise is one report.
    if (final)
        FlushGarbage(out);
}

std::vector<FoundBytes> FrameFinder::Feed(std::span<const uint8_t> bytes, Clock::time_point now) {
    std::vector<FoundBytes> out;
    if (Pending() > 0 && now - lastByte_ >= silence_)
        Extract(true, out);
    if (bytes.empty())
        return out;
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    lastByte_ = now;
    Extract(false, out);
    return out;
}

std::vector<FoundBytes> FrameFinder::Idle(Clock::time_point now) {
    std::vector<FoundBytes> out;
    if (Pending() > 0 && now - lastByte_ >= silence_)
        Extract(true, out);
    return out;
}

std::optional<Clock::time_point> FrameFinder::Deadline() const {
    if (Pending() == 0)
        return std::nullopt;
    return lastByte_ + silence_;
}

} // namespace sim
