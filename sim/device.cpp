#include "sim/device.h"

#include "modbus/codec.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace sim {

using modbus::FromSignMagnitude;
using modbus::ToSignMagnitude;
using enum device::Setpoint;

void AppendCrc(std::vector<uint8_t>& frame) {
    // Frames here never exceed 256 bytes, so the 8-bit count of the codec covers them.
    const uint16_t crc = modbus::CRC16(frame.data(), static_cast<uint8_t>(frame.size()));
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
}

std::vector<uint8_t> ExceptionReply(uint8_t slave, uint8_t function, uint8_t code) {
    std::vector<uint8_t> f{slave, static_cast<uint8_t>(function | 0x80), code};
    AppendCrc(f);
    return f;
}

namespace {

constexpr int64_t kCloseAtMs = 40000;      // phase coincidence within a cycle
constexpr int64_t kPhaseWindowMs = 4000;   // phase permitted before coincidence
constexpr int64_t kAdvanceHoldMs = 3000;   // advance action still shown after closing
constexpr int64_t kSelfTestMs = 3000;      // self-test after the device starts
constexpr int64_t kVoltageRampMs = 24000;  // unit voltage reaches the system's
constexpr int64_t kFrequencyRampMs = 25000;
// The device's quantities in its registers' counts (device/map.h has the scales).
constexpr int Volts(double v) { return device::Counts(v, device::Volt); }
constexpr int Hertz(double f) { return device::Counts(f, device::Hertz); }
constexpr int kFinalSlip = Hertz(0.04);     // the unit ends slightly fast

int Wave(int64_t ms, double amplitude, double periodMs) {
    return static_cast<int>(std::lround(amplitude * std::sin(2 * std::numbers::pi * static_cast<double>(ms) / periodMs)));
}

// A set-point as a non-negative magnitude: a negative value written by a master counts as 0.
int64_t Positive(uint16_t raw) { return std::max(FromSignMagnitude(raw), 0); }

// A time set-point in milliseconds.
int64_t Ms(uint16_t raw) {
    return std::llround(device::InUnit(static_cast<int>(Positive(raw)), device::Millisecond));
}

bool Pulse(int64_t t, int64_t period, int64_t width) { return period > 0 && t % period < width; }

std::string Hex4(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04X", v & 0xFFFF);
    return b;
}

std::string Hex2(unsigned v) {
    char b[4];
    std::snprintf(b, sizeof b, "%02X", v & 0xFF);
    return b;
}

const char* ExceptionName(uint8_t code) {
    switch (code) {
    case 1: return "illegal function";
    case 2: return "illegal data address";
    case 3: return "illegal data value";
    case 4: return "slave device failure";
    default: return "exception";
    }
}

unsigned Word(std::span<const uint8_t> f, std::size_t at) { return (unsigned{f[at]} << 8) | f[at + 1]; }

bool Within(unsigned start, unsigned count, unsigned first, unsigned n) {
    return start >= first && start + count <= first + n;
}

} // namespace

int64_t Device::AdvanceAtMs() const {
    // The breaker closes at coincidence only when the differences are then within tolerance:
    // the voltage ramp has ended by then, so it is the frequency slip that decides.
    if (kFinalSlip > Positive(setpoints_[kAllowedFrequencyDifference]))
        return -1;
    // The advance action goes out the lead time before coincidence.
    return kCloseAtMs - std::min<int64_t>(Ms(setpoints_[kLeadTime]), kCloseAtMs);
}

int64_t Device::CloseAtMs() const {
    // The closing time after the advance action (so at coincidence when the two agree).
    const int64_t advanceAt = AdvanceAtMs();
    return advanceAt < 0 ? -1 : std::min<int64_t>(advanceAt + Ms(setpoints_[kClosingTime]), kCycleMs - 1);
}

Snapshot Device::At(int64_t ms) const {
    ms = std::max<int64_t>(ms, 0);
    const int64_t t = ms % kCycleMs;
    const int64_t cycle = ms / kCycleMs;

    const int sysV = Volts(100.0) + Wave(ms, Volts(0.6), 41000);
    const int sysF = Hertz(50.00) + Wave(ms, Hertz(0.04), 53000);

    // The unit starts 12.0 V and 0.50 Hz low and is brought up; it ends slightly fast
    // (+0.04 Hz), which makes the phase slip towards coincidence.
    const int dv0 = static_cast<int>(std::lround(Volts(-12.0) * std::max(0.0, 1.0 - static_cast<double>(t) / kVoltageRampMs)));
    const int df0 = static_cast<int>(std::lround(Hertz(-0.50) + (Hertz(0.50) + kFinalSlip) * std::min(1.0, static_cast<double>(t) / kFrequencyRampMs)));

    const int64_t allowedV = Positive(setpoints_[kAllowedVoltageDifference]);
    const int64_t allowedF = Positive(setpoints_[kAllowedFrequencyDifference]);
    const bool vOk = std::abs(dv0) <= allowedV;
    const bool fOk = std::abs(df0) <= allowedF;
    const bool closes = CloseAtMs() >= 0;
    const int64_t advanceAt = AdvanceAtMs();
    const int64_t closeAt = CloseAtMs();
    const bool closed = closes && t >= closeAt;

    const int dv = closed ? 0 : dv0;
    const int df = closed ? 0 : df0;

    Snapshot s;
    s.working = {ToSignMagnitude(sysV), ToSignMagnitude(sysV + dv), ToSignMagnitude(sysF),
                 ToSignMagnitude(sysF + df), ToSignMagnitude(static_cast<int>(cycle % 4) + 1)};

    auto set = [&](int input, bool on) {
        if (on)
            s.inputs = static_cast<uint16_t>(s.inputs | (1u << input));
    };
    set(kAdvanceAction, closes && t >= advanceAt && t < closeAt + kAdvanceHoldMs);
    set(kPhasePermitted, !closed && vOk && fOk && t >= kCloseAtMs - kPhaseWindowMs && t < kCloseAtMs);
    set(kFrequencyPermitted, !closed && fOk);
    set(kVoltagePermitted, !closed && vOk);
    set(kOutOfTolerance, !closed && !(vOk && fOk));
    set(kSelfTest, ms < kSelfTestMs);
    if (!closed) {
        const int64_t vPeriod = Ms(setpoints_[kVoltageEqualisingPeriod]),
                      vWidth = Ms(setpoints_[kVoltagePulseWidth]);
        const int64_t fPeriod = Ms(setpoints_[kFrequencyEqualisingPeriod]),
                      fWidth = Ms(setpoints_[kFrequencyPulseWidth]);
        set(kSpeedDown, df > allowedF && Pulse(t, fPeriod, fWidth));
        set(kSpeedUp, df < -allowedF && Pulse(t, fPeriod, fWidth));
        set(kVoltageDown, dv > allowedV && Pulse(t, vPeriod, vWidth));
        set(kVoltageUp, dv < -allowedV && Pulse(t, vPeriod, vWidth));
    }
    return s;
}

Outcome Device::Handle(std::span<const uint8_t> f, int64_t ms) {
    Outcome o;
    if (f.size() < 4) {
        o.kind = Outcome::Kind::NotForUs;
        o.request = "too short for a frame";
        return o;
    }
    const uint8_t address = f[0];
    const uint8_t fn = f[1];
    const bool broadcast = address == 0;
    if (!broadcast && address != slave_) {
        o.kind = Outcome::Kind::NotForUs;
        o.request = "function " + Hex2(fn) + " for slave " + std::to_string(address) + ", not this one";
        return o;
    }

    auto refuse = [&](uint8_t code) {
        o.reply = ExceptionReply(slave_, fn, code);
        o.replyText = "exception " + Hex2(code) + " (" + ExceptionName(code) + ")";
    };
    switch (fn) {
    case 0x03: {
        const unsigned start = f.size() >= 6 ? Word(f, 2) : 0, count = f.size() >= 6 ? Word(f, 4) : 0;
        o.request = "read " + std::to_string(count) + " holding registers from " + Hex4(start);
        if (f.size() != 8 || count < 1 || count > 125) {
            refuse(3);
            break;
        }
        const bool working = Within(start, count, kWorkingStart, kWorkingCount);
        const bool setpoints = Within(start, count, kSetpointStart, kSetpointCount);
        if (!working && !setpoints) {
            refuse(2);
            break;
        }
        const Snapshot s = At(ms);
        o.reply = {slave_, fn, static_cast<uint8_t>(2 * count)};
        std::string values;
        for (unsigned i = 0; i < count; ++i) {
            const uint16_t v = working ? s.working[start + i - kWorkingStart] : setpoints_[start + i - kSetpointStart];
            o.reply.push_back(static_cast<uint8_t>(v >> 8));
            o.reply.push_back(static_cast<uint8_t>(v & 0xFF));
            values += (i ? " " : "") + std::to_string(FromSignMagnitude(v));
        }
        AppendCrc(o.reply);
        o.replyText = "registers " + values;
        break;
    }
    case 0x02: {
        const unsigned start = f.size() >= 6 ? Word(f, 2) : 0, count = f.size() >= 6 ? Word(f, 4) : 0;
        o.request = "read " + std::to_string(count) + " discrete inputs from " + Hex4(start);
        if (f.size() != 8 || count < 1 || count > 2000) {
            refuse(3);
            break;
        }
        if (!Within(start, count, kInputStart, kInputCount)) {
            refuse(2);
            break;
        }
        const Snapshot s = At(ms);
        const unsigned bytes = (count + 7) / 8;
        o.reply = {slave_, fn, static_cast<uint8_t>(bytes)};
        o.reply.resize(3 + bytes, 0);
        std::string bits;
        for (unsigned i = 0; i < count; ++i) {
            const bool on = s.Input(static_cast<int>(start - kInputStart + i));
            if (on)
                o.reply[3 + i / 8] = static_cast<uint8_t>(o.reply[3 + i / 8] | (1u << (i % 8)));
            bits += on ? '1' : '0';
        }
        AppendCrc(o.reply);
        o.replyText = "inputs " + bits;
        break;
    }
    case 0x06: {
        const unsigned reg = f.size() >= 6 ? Word(f, 2) : 0, value = f.size() >= 6 ? Word(f, 4) : 0;
        o.request = "write " + Hex4(value) + " to register " + Hex4(reg);
        if (f.size() != 8) {
            refuse(3);
            break;
        }
        if (!Within(reg, 1, kSetpointStart, kSetpointCount)) {
            refuse(2);
            break;
        }
        setpoints_[reg - kSetpointStart] = static_cast<uint16_t>(value);
        o.reply.assign(f.begin(), f.end()); // the answer to 06 is the request itself
        o.replyText = "written";
        break;
    }
    case 0x10: {
        const unsigned start = f.size() >= 7 ? Word(f, 2) : 0, count = f.size() >= 7 ? Word(f, 4) : 0;
        const unsigned byteCount = f.size() >= 7 ? f[6] : 0;
        o.request = "write " + std::to_string(count) + " registers from " + Hex4(start);
        if (f.size() < 9 || count < 1 || count > 123 || byteCount != 2 * count || f.size() != 9 + byteCount) {
            refuse(3);
            break;
        }
        if (!Within(start, count, kSetpointStart, kSetpointCount)) {
            refuse(2);
            break;
        }
        std::string values;
        for (unsigned i = 0; i < count; ++i) {
            setpoints_[start + i - kSetpointStart] = static_cast<uint16_t>(Word(f, 7 + 2 * i));
            values += (i ? " " : "") + Hex4(Word(f, 7 + 2 * i));
        }
        o.request += ": " + values;
        o.reply.assign(f.begin(), f.begin() + 6);
        AppendCrc(o.reply);
        o.replyText = "written";
        break;
    }
    default:
        o.request = "function " + Hex2(fn) + ", not supported";
        refuse(1);
        break;
    }

    if (broadcast) {
        // Broadcasts are carried out (writes) but never answered.
        o.kind = Outcome::Kind::Silent;
        o.request += " (broadcast)";
        o.reply.clear();
        o.replyText.clear();
    }
    return o;
}

} // namespace sim
