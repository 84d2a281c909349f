#pragma once
// Fault injection on the replies of the simulated device, reproducible from a seed.
//
// Every reply draws the same seven random numbers in a fixed order, one per fault, so a run
// with the same seed, rates and requests injects the same faults. Faults combine: for
// instance a reply may get a bad CRC and also be split.
//
// Pure logic: no I/O, no clock; one thread.

#include <chrono>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace sim {

struct FaultRates {
    double drop = 0;      // send no reply
    double badCrc = 0;    // damage the reply's CRC
    double split = 0;     // send the reply in two parts with a gap of splitGapMs between
    double delay = 0;     // send the reply delayMs late
    double exception = 0; // answer with exception 04 (slave device failure) instead
    double noise = 0;     // put random bytes on the line before the reply, a silence apart
    double echo = 0;      // send the request back first, as an RS-485 adapter without echo
                          // suppression does
    int splitGapMs = 1500; // longer than the windows' 1000 ms interval time-out
    int delayMs = 1000;
};

struct FaultCounts {
    int drop = 0, badCrc = 0, split = 0, delay = 0, exception = 0, noise = 0, echo = 0;
};

// One write to the line, `at` after the request was found.
struct Transmission {
    std::chrono::milliseconds at{0};
    std::vector<uint8_t> bytes;
    std::string what;
    bool echo = false; // the request heard back: on the line with the request itself
};

class FaultInjector {
public:
    // `silence` is the line's 3.5-character time; noise is kept that far from the reply.
    FaultInjector(const FaultRates& rates, uint64_t seed, std::chrono::microseconds silence);

    // Plans how `reply` (the answer to `request`, described by `replyText`) goes out.
    // Returns the writes in time order, each described for the traffic log with the faults
    // applied to it; empty when the reply is dropped. `notes` receives a word on each fault.
    std::vector<Transmission> Plan(std::span<const uint8_t> request, std::vector<uint8_t> reply,
                                   const std::string& replyText, std::vector<std::string>& notes);

    const FaultCounts& Counts() const { return counts_; }

    // "drop=0 bad-crc=1 split=0 delay=0 exception=0 noise=0 echo=0"
    std::string Summary() const;

private:
    double Draw(); // uniform in [0, 1), the same on every platform

    FaultRates rates_;
    std::mt19937_64 rng_;
    std::chrono::microseconds silence_;
    FaultCounts counts_;
};

} // namespace sim
