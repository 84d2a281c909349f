#pragma once
// The synchronisation attempts in a stream of samples, and a verdict on each closing.
//
// One Analyser serves live use and whole records alike: feed it samples (Add) and set-point
// readings (AddSetpoints) in time order, one at a time, as they are taken or read from a file;
// Attempts() is always up to date. At the end of a record call Finish(). Pure C++, no Qt; one
// thread at a time. Each call costs O(1) (AddSetpoints: O(attempts) when readings arrive after
// closings they judge), so that a day of samples at 10 per second takes milliseconds.
//
// The rules (all times in seconds on the samples' clock):
// - An attempt begins with the first sample showing a regulating pulse (speed up/down,
//   voltage up/down) or the difference out of tolerance, after the previous attempt ended, or
//   after the start of the data. Not while the advance action of a closing is still shown.
//   When a closing is seen and no attempt had begun (the data started, or resumed, in the
//   middle of one), the attempt is taken to begin at the first sample after the previous
//   attempt or the break, and `startSeen` is false.
// - The closing is the advance action's rising edge: a sample with states that shows it set,
//   right after a sample of the same run that showed it clear. The edge lies between those two
//   samples (`before`, `after`); the analysis does not place it closer. An advance action
//   already set in the first sample after a break has no edge in the data: no closing.
// - A short advance pulse can fall between two samples. The analysis never invents the
//   closing then; it reports an attempt as Unsure when all three permissions, present in one
//   sample, are all gone in the next with no advance action seen — on the device that happens
//   when the breaker has closed — and names what supports it (the unit's voltage and frequency
//   then equal to the system's). An advance pulse seen in one sample only is a closing, with
//   the note that it was shorter than about two sample spacings.
// - An attempt is cut, and reported Incomplete, never as a closing, when polling stopped (the
//   next sample is marked RunStart: Stop, or the port went away) or the link was lost (no
//   states for more than LinkLostAfter(): kLinkLostSeconds, or three sample spacings when
//   sampling is slower), and when the data ends (Finish).
// - The verdict of a closing: all three permissions (voltage, frequency, phase) present in the
//   last sample before the edge, and the voltage and frequency differences (unit minus system)
//   of the samples on both sides of the edge within the allowed differences (set-points 0102,
//   0103) in force at the closing (the last reading at or before it, else the first after).
//   Anything else is a finding, in words. Without any set-point reading the differences are
//   not judged, and the notes say so.

#include "analysis/sample.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace analysis {

// States missing longer than this (from the last sample that had them), or than three of the
// last spacings between samples when that is more, count as a lost link.
inline constexpr double kLinkLostSeconds = 1.0;

enum class Verdict {
    Open,       // still going on (live), or waiting for its closing
    Passed,     // closed with the permissions present and inside the set-points
    Finding,    // closed, with at least one finding
    Incomplete, // cut by a stop, a lost link or the end of the data: no closing
    Unsure,     // a closing probably happened but the advance action was not seen
};
const char* VerdictKey(Verdict v); // "open", "passed", "finding", "incomplete", "unsure"
const char* VerdictText(Verdict v); // "进行中", "合格", "有问题", "不完整", "无法判定"

struct Finding {
    enum class Kind {
        PermissionAbsent,    // a permission not present before the edge
        PermissionOnlyAfter, // present only in the sample after the edge
        VoltageDifference,   // |ΔU| above the allowed voltage difference
        FrequencyDifference, // |Δf| above the allowed frequency difference
        AdvanceNotSeen,      // Unsure: permissions vanished without the advance action
    };
    Kind kind;
    std::string key;  // "phase_permission_absent", "voltage_difference", ...
    std::string text; // in words, for the user
};

// The regulating pulses of an attempt, per kind.
enum PulseKind : int { kSpeedUpPulses = 0, kSpeedDownPulses, kVoltageUpPulses, kVoltageDownPulses };
inline constexpr device::Input kPulseInputs[4] = {device::kSpeedUp, device::kSpeedDown,
                                                  device::kVoltageUp, device::kVoltageDown};
struct Pulses {
    int count = 0;    // rising edges seen
    double width = 0; // seconds: from the first sample showing each pulse to the first that
                      // no longer does, summed (each within about one sample spacing)
};

// The permissions, in the order the report names them.
enum PermissionKind : int { kVoltagePermission = 0, kFrequencyPermission, kPhasePermission };
inline constexpr device::Input kPermissionInputs[3] = {
    device::kVoltagePermitted, device::kFrequencyPermitted, device::kPhasePermitted};

struct Closing {
    double before = 0; // the last sample showing the advance action clear
    double after = 0;  // the first showing it set: the edge lies in (before, after]
    double Spacing() const { return after - before; }
    bool singleSample = false; // the advance action was set in this sample only

    // The differences (unit minus system, in register counts: 0.1 V, 0.01 Hz) from the nearest
    // samples with values on both sides of the edge, and when those were taken.
    bool haveBefore = false, haveAfter = false;
    double valuesBefore = 0, valuesAfter = 0;
    int voltageBefore = 0, voltageAfter = 0;
    int frequencyBefore = 0, frequencyAfter = 0;
    double ValuesSpacing() const { return valuesAfter - valuesBefore; }

    // The slip: the frequency difference before the edge (after it when none before), in Hz.
    double slipHz = 0;
    bool haveSlip = false;
    // 360° x |slip| x lead time: how far before phase coincidence the lead time puts the
    // command at that slip. Empty without a lead time read.
    std::optional<double> phaseAdvanceDegrees;

    // Per PermissionKind: seconds it had been present continuously up to `before` (measured
    // from the first sample that showed it), or -1 when absent there. `riseSeen` false: it was
    // already present when the data (or the run) began, so it had been present at least that.
    std::array<double, 3> permissionFor{-1, -1, -1};
    std::array<bool, 3> permissionAfter{}; // present in the sample after the edge
    std::array<bool, 3> riseSeen{};
};

struct Attempt {
    double start = 0;          // the first sample showing regulation (see startSeen)
    bool startSeen = true;     // false: the data began, or resumed, during the attempt
    double end = 0;            // closing: `closing.after`; cut: the last sample with states;
                               // open: the latest sample
    int parallelingNumber = 0; // 0004 at the closing, else the latest seen
    bool haveParallelingNumber = false;
    std::vector<int> parallelingNumbers; // every value seen during the attempt, in order

    Verdict verdict = Verdict::Open;
    std::string cut; // Incomplete: why ("轮询停止", "链路中断", "数据结束")

    std::optional<Closing> closing; // with Passed and Finding
    // Unsure: the permissions were all present at `before`, all gone at `after`.
    double missedBefore = 0, missedAfter = 0;
    std::array<Pulses, 4> pulses{}; // per PulseKind, from the start up to the closing (or end)

    std::optional<SetpointReading> setpoints; // the reading the verdict used
    std::vector<Finding> findings;
    std::vector<std::string> notes; // how sure the figures are, and what could not be judged

    // Seconds from the start to the first sample showing the advance action.
    double TimeToClose() const { return closing ? closing->after - start : 0; }
};

class Analyser {
public:
    // Adds the next sample (t not below the last one's). Returns true when an attempt began,
    // ended or changed its verdict; the open attempt's figures (end, pulses) change with every
    // sample anyway.
    bool Add(const Sample& s);
    // Adds a reading of the set-points (t in the samples' time order). Closings judged without
    // set-points so far are judged again. Returns true when a verdict changed.
    bool AddSetpoints(const SetpointReading& r);
    // The data ends: an open attempt is cut (Incomplete, "数据结束"). Add may go on afterwards
    // as after a break.
    void Finish();
    // Forgets everything (the monitor's Clear).
    void Clear() { *this = Analyser(); }

    // Every attempt so far, in time order; the last may be Open.
    const std::vector<Attempt>& Attempts() const { return attempts_; }
    const std::vector<SetpointReading>& Setpoints() const { return setpoints_; }
    // Samples taken in, and those that had states.
    long long SampleCount() const { return samples_; }
    // How long the states may be missing before the link counts as lost, at the current pace.
    double LinkLostAfter() const;

private:
    void Open(double start, bool seen);
    void Cut(const char* why);
    void CloseAt(const Sample& s);
    void Judge(Attempt& a) const;
    void TakeAfterValues(const Sample& s);
    Attempt* Current() {
        return !attempts_.empty() && attempts_.back().verdict == Verdict::Open ? &attempts_.back()
                                                                               : nullptr;
    }

    std::vector<Attempt> attempts_;
    std::vector<SetpointReading> setpoints_;
    long long samples_ = 0;

    bool prevValid_ = false; // prev_ is a states sample of the current run
    Sample prev_;            // the last sample with states
    bool haveValues_ = false;
    Sample lastValues_;     // the last sample with values, in this run
    double quietSince_ = 0; // the first states sample after the last attempt or break
    bool quietValid_ = false;
    std::array<double, 3> permissionRise_{};
    std::array<bool, 3> permissionRiseSeen_{};
    std::array<double, 4> pulseRise_{};
    double spacing_ = 0;           // between the last two samples with states, none missed between
    bool missedSincePrev_ = false; // a sample without states came after prev_
    // The attempt whose closing still waits for the sample after the edge with values, or for
    // the advance action to drop (single-sample pulse).
    long long pendingValues_ = -1, pendingAdvance_ = -1;
};

} // namespace analysis
