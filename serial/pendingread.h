#pragma once
// The one outstanding read of the port model and its time-outs, shared by the ports: what it
// reads into, what it holds so far, and when it completes (at its size, with its first bytes,
// after the interval of silence, at the total deadline). The port that owns it guards it with
// its own lock; one thread at a time.

#include "serial/port.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <optional>

namespace serial {

// The results both ports hand back, and a wait's time-out for ppoll.
inline IoResult Done(uint32_t n) {
    return {IoStatus::Done, n, 0};
}
inline IoResult Pending() {
    return {IoStatus::Pending, 0, 0};
}
inline IoResult Fail(int err) {
    return {err == EBADF ? IoStatus::InvalidHandle : IoStatus::Failed, 0, err};
}
// A duration as ppoll takes it; a negative one is zero.
inline timespec ToTimespec(std::chrono::steady_clock::duration d) {
    if (d < std::chrono::steady_clock::duration::zero())
        d = std::chrono::steady_clock::duration::zero();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

struct PendingRead {
    using Clock = std::chrono::steady_clock;

    bool active = false;
    bool complete = false;
    uint8_t* buffer = nullptr;
    uint32_t size = 0;
    uint32_t count = 0;
    bool sawByte = false;
    bool firstByteCompletes = false;
    bool hasTotal = false;
    Clock::time_point totalDeadline{};
    bool hasInterval = false;
    Clock::duration interval{};
    Clock::time_point lastByte{};
    IoResult result;

    // Starts a read of up to `size` bytes into `buffer` under the time-outs `t`, at `now`.
    // False when `t` asks for a read that returns at once with what is there (interval
    // MAXDWORD, both totals 0): the caller takes what is there and ends the read.
    bool Start(const CommTimeouts& t, uint8_t* buffer, uint32_t size, Clock::time_point now);
    // The read has what it waits for: `size` bytes, or any in the first-byte mode.
    bool Satisfied() const { return count >= size || (firstByteCompletes && count > 0); }
    // `n` bytes were put into the buffer after the ones before, at `now`.
    void Got(uint32_t n, Clock::time_point now);
    void Complete(IoResult r) {
        complete = true;
        result = r;
    }
    void CompleteWithData() { Complete({IoStatus::Done, count, 0}); }
    // Completes an active read with what it holds once a deadline has passed at `now`.
    void CheckDeadlines(Clock::time_point now);
    // When an active, incomplete read must be looked at again; nullopt: only bytes end it.
    std::optional<Clock::time_point> Deadline() const;
};

} // namespace serial
