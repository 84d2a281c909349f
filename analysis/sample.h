#pragma once
// What the analysis takes in: the device's samples and its set-points as they were read. The
// monitor's history stores these samples as they are (monitor::Sample is this type), so that
// it hands them over without converting them. No Qt; any thread.

#include "device/map.h"

#include <array>
#include <cstdint>

namespace analysis {

// One poll of the working data (03, 0000, 5 registers) and the switch states (02, 0300, 12).
struct Sample {
    double t = 0;                    // seconds since the session's time origin
    std::array<int16_t, 5> values{}; // 0000..0004 as sign and magnitude decode them
    uint16_t states = 0;             // bit k: input 0300 + k (device::Input)
    uint8_t have = 0;                // HaveValues | HaveStates | RunStart
};
// Which parts the device gave.
constexpr uint8_t HaveValues = 1, HaveStates = 2;
// The first sample after polling had stopped (Start, a port back after it went away): it is
// not joined to the sample before it.
constexpr uint8_t RunStart = 4;

inline bool State(const Sample& s, device::Input k) {
    return (s.states >> k) & 1;
}

// The eight set-points 0100..0107 (device::Setpoint order) as decoded, read at `t` (seconds on
// the samples' clock).
struct SetpointReading {
    double t = 0;
    std::array<int, device::kSetpointCount> values{};
};

} // namespace analysis
