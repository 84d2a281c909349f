#pragma once
// Finds Modbus RTU request frames in the byte stream a slave receives.
//
// A frame ends as soon as the length its function implies has arrived (functions 01..06:
// 8 bytes; 0F and 10 hex: 9 + the byte count in byte 6) with its CRC-16 right, which also
// separates requests that arrive joined. Otherwise it ends when the line has been silent for
// 3.5 character times: the bytes since the last silence are a frame if their CRC is right
// (functions without an implied length; another slave's reply on a shared line). Bytes that
// cannot start a valid frame (noise, a bad CRC, a frame cut by a gap) are handed back as
// garbage, so the caller can log them, and the search resumes one byte later, which finds a
// frame that follows noise without a gap.
//
// Pure logic on bytes and caller-supplied times: no I/O, no clock of its own, one thread.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sim {

using Clock = std::chrono::steady_clock;

// The silence that ends a frame at `baud`: 3.5 characters of 11 bits, at least 1750 us
// (the fixed value Modbus uses above 19200 baud). Baud rates below 1 count as 1.
std::chrono::microseconds SilenceFor(int baud);

struct FoundBytes {
    enum class Kind { Frame, Garbage };
    Kind kind;
    std::vector<uint8_t> bytes;
    bool operator==(const FoundBytes&) const = default;
};

class FrameFinder {
public:
    explicit FrameFinder(std::chrono::microseconds silence) : silence_(silence) {}

    // Bytes read from the line at `now`. If the line was silent for the silence time
    // before them, what was pending is closed first. Returns what could be decided, in
    // line order.
    std::vector<FoundBytes> Feed(std::span<const uint8_t> bytes, Clock::time_point now);

    // Closes what is pending when the silence has run out at `now`; nothing otherwise.
    std::vector<FoundBytes> Idle(Clock::time_point now);

    // When Idle() should be called next; empty when nothing is pending.
    std::optional<Clock::time_point> Deadline() const;

    // Bytes received but not yet reported, as a frame or as garbage.
    std::size_t Pending() const { return buffer_.size() + garbage_.size(); }

private:
    void Extract(bool final, std::vector<FoundBytes>& out);
    void FlushGarbage(std::vector<FoundBytes>& out);

    std::chrono::microseconds silence_;
    std::vector<uint8_t> buffer_;
    std::vector<uint8_t> garbage_;
    Clock::time_point lastByte_{};
};

// Longest frame Modbus RTU allows; a longer run without a frame in it is garbage.
inline constexpr std::size_t kMaxFrame = 256;

} // namespace sim
