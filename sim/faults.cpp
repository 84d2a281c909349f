#include "sim/faults.h"

#include "sim/device.h"

namespace sim {

FaultInjector::FaultInjector(const FaultRates& rates, uint64_t seed, std::chrono::microseconds silence)
    : rates_(rates), rng_(seed), silence_(silence) {}

double FaultInjector::Draw() {
    // 53 random bits as a double: unlike the standard distributions, the same sequence
    // everywhere, so a seed reproduces a run on any machine.
    return static_cast<double>(rng_() >> 11) * 0x1.0p-53;
}

std::string FaultInjector::Summary() const {
    const FaultCounts& c = counts_;
    return "drop=" + std::to_string(c.drop) + " bad-crc=" + std::to_string(c.badCrc) +
           " split=" + std::to_string(c.split) + " delay=" + std::to_string(c.delay) +
           " exception=" + std::to_string(c.exception) + " noise=" + std::to_string(c.noise) +
           " echo=" + std::to_string(c.echo);
}

std::vector<Transmission> FaultInjector::Plan(std::span<const uint8_t> request, std::vector<uint8_t> reply,
                                              const std::string& replyText, std::vector<std::string>& notes) {
    // Draw all seven first, so that each reply uses up the same amount of randomness.
    const bool drop = Draw() < rates_.drop;
    const bool exception = Draw() < rates_.exception;
    const bool badCrc = Draw() < rates_.badCrc;
    const bool echo = Draw() < rates_.echo;
    const bool noise = Draw() < rates_.noise;
    const bool delay = Draw() < rates_.delay;
    const bool split = Draw() < rates_.split;
    const uint64_t extra = rng_(); // noise bytes, the CRC damage and the split point

    std::vector<Transmission> out;
    if (drop || reply.empty()) {
        if (drop) {
            ++counts_.drop;
            notes.push_back("fault: reply dropped");
        }
        return out;
    }
    std::string what = replyText;
    if (exception && reply.size() >= 2) {
        ++counts_.exception;
        reply = ExceptionReply(reply[0], static_cast<uint8_t>(reply[1] & 0x7F), 4);
        notes.push_back("fault: exception 04 instead of the answer");
        what = "exception 04 (slave device failure) instead of " + replyText;
    }
    if (badCrc) {
        ++counts_.badCrc;
        reply.back() = static_cast<uint8_t>(reply.back() ^ (1 + (extra & 0xFF) % 255)); // never XOR 0
        notes.push_back("fault: CRC damaged");
    }
    std::string faults;
    auto fault = [&](const std::string& text) { faults += (faults.empty() ? " (fault: " : ", ") + text; };
    if (exception)
        fault("exception");
    if (badCrc)
        fault("CRC damaged");

    std::chrono::milliseconds at{0};
    if (delay) {
        ++counts_.delay;
        at += std::chrono::milliseconds(rates_.delayMs);
        notes.push_back("fault: reply delayed " + std::to_string(rates_.delayMs) + " ms");
        fault("delayed " + std::to_string(rates_.delayMs) + " ms");
    }
    if (echo) {
        ++counts_.echo;
        // An adapter's echo comes back while the request is still being sent, before any reply.
        out.push_back({std::chrono::milliseconds{0}, {request.begin(), request.end()}, "echo of the request (fault)", true});
    }
    if (noise) {
        ++counts_.noise;
        std::vector<uint8_t> junk(1 + (extra >> 8) % 4);
        for (std::size_t i = 0; i < junk.size(); ++i)
            junk[i] = static_cast<uint8_t>(extra >> (16 + 8 * i));
        if (echo) {
            // With an echo, the noise is what an adapter makes as it turns its driver around:
            // a glitch just ahead of the echo.
            out.back().bytes.insert(out.back().bytes.begin(), junk.begin(), junk.end());
            out.back().what = "noise, then echo of the request (fault)";
        } else {
            out.push_back({at, std::move(junk), "noise (fault)"});
            // Keep a silence between noise and reply, so that it lies between frames.
            at += std::chrono::duration_cast<std::chrono::milliseconds>(silence_) + std::chrono::milliseconds(2);
        }
    }
    if (noise)
        notes.push_back("fault: noise before the reply");
    if (echo)
        notes.push_back("fault: request echoed");
    if (split && reply.size() >= 2) {
        ++counts_.split;
        notes.push_back("fault: reply split");
        const std::string lead = faults.empty() ? " (fault: " : faults + ", ";
        const std::size_t cut = 1 + (extra >> 48) % (reply.size() - 1);
        out.push_back({at, {reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(cut)},
                       what + lead + "split, first part)"});
        out.push_back({at + std::chrono::milliseconds(rates_.splitGapMs),
                       {reply.begin() + static_cast<std::ptrdiff_t>(cut), reply.end()},
                       what + lead + "split, second part " + std::to_string(rates_.splitGapMs) + " ms later)"});
        return out;
    }
    out.push_back({at, std::move(reply), what + (faults.empty() ? "" : faults + ")")});
    return out;
}

} // namespace sim
