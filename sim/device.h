#pragma once
// The simulated quasi-synchronisation device: its data as a Modbus RTU slave serves it, and
// the answers it gives to requests.
//
// Data (addresses as the master sends them):
//   holding registers 0000..0004  working data, read-only: system voltage (0.1 V), unit
//                                 voltage (0.1 V), system frequency (0.01 Hz), unit frequency
//                                 (0.01 Hz), paralleling number; all in sign-and-magnitude form
//   holding registers 0100..0107  set-points, read/write (06, 10 hex): lead time (ms), closing
//                                 time (ms), allowed voltage difference (0.1 V), allowed
//                                 frequency difference (0.01 Hz), voltage equalising period (ms)
//                                 and pulse width (ms), frequency equalising period (ms) and
//                                 pulse width (ms); stored as written (sign and magnitude;
//                                 negative values count as 0 for the cycle)
//   discrete inputs 0300..030B    advance action, phase / frequency / voltage permitted,
//                                 difference out of tolerance, signal line broken, self-test,
//                                 key input, speed down, speed up, voltage down, voltage up
//
// The working data and the inputs follow a synchronisation cycle of kCycleMs: the unit starts
// below the system's voltage and frequency, is regulated up by pulses, gets its permissions,
// the advance action closes the breaker, and the unit runs paralleled until the cycle
// restarts with the next paralleling number. The set-points steer that cycle.
//
// Pure logic: no I/O, no clock (times are passed in), one thread.

#include "device/map.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sim {

// The device's map (addresses, inputs, scales) is device/map.h's.
using device::kInputCount;
using device::kInputStart;
using device::kSetpointCount;
using device::kSetpointStart;
using device::kWorkingCount;
using device::kWorkingStart;
// Input numbers (offset from 0300 hex).
using Input = device::Input;
using enum device::Input;

inline constexpr int64_t kCycleMs = 60000;

// Lead time 120 ms, closing time 100 ms, allowed voltage difference 3.0 V and frequency
// difference 0.20 Hz, voltage equalising period 2000 ms and pulse width 400 ms, frequency
// equalising period 3000 ms and pulse width 500 ms, each in its register's counts.
inline constexpr std::array<uint16_t, kSetpointCount> kDefaultSetpoints = [] {
    using device::Counts;
    return std::array<uint16_t, kSetpointCount>{
        uint16_t(Counts(120, device::Millisecond)),  uint16_t(Counts(100, device::Millisecond)),
        uint16_t(Counts(3.0, device::Volt)),         uint16_t(Counts(0.20, device::Hertz)),
        uint16_t(Counts(2000, device::Millisecond)), uint16_t(Counts(400, device::Millisecond)),
        uint16_t(Counts(3000, device::Millisecond)), uint16_t(Counts(500, device::Millisecond))};
}();

// Appends the CRC-16 of all bytes so far, low byte first.
void AppendCrc(std::vector<uint8_t>& frame);

// slave, function | 80 hex, code, CRC.
std::vector<uint8_t> ExceptionReply(uint8_t slave, uint8_t function, uint8_t code);

struct Snapshot {
    std::array<uint16_t, kWorkingCount> working{}; // raw register values
    uint16_t inputs = 0;                           // bit i = input 0300 + i
    bool Input(int i) const { return (inputs >> i) & 1; }
};

struct Outcome {
    enum class Kind {
        Reply,    // `reply` is the answer to send
        Silent,   // broadcast: carried out (writes) but never answered
        NotForUs, // another slave's frame
    };
    Kind kind = Kind::Reply;
    std::string request; // what the request was, for the traffic log
    std::vector<uint8_t> reply;
    std::string replyText; // what the reply is, for the traffic log
};

class Device {
public:
    explicit Device(uint8_t slave) : slave_(slave) {}

    uint8_t Slave() const { return slave_; }
    const std::array<uint16_t, kSetpointCount>& Setpoints() const { return setpoints_; }

    // The working data and inputs `ms` milliseconds after the device started.
    Snapshot At(int64_t ms) const;
    // Within each cycle, with the set-points as they are: when the advance action rises, and
    // when the breaker closes (ms from the cycle's start); -1 for both when it does not close
    // (the final slip is outside the allowed frequency difference).
    int64_t AdvanceAtMs() const;
    int64_t CloseAtMs() const;

    // Answers one frame whose CRC has been checked, at `ms` after start.
    Outcome Handle(std::span<const uint8_t> frame, int64_t ms);

private:
    uint8_t slave_;
    std::array<uint16_t, kSetpointCount> setpoints_ = kDefaultSetpoints;
};

} // namespace sim
