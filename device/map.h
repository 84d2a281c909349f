#pragma once
// The quasi-synchronisation device's map, in one place: every working value, set-point and
// switch state with its address, the label the windows show, its JSON/CSV key, its set-point
// name, its decoding and its unit and scale. The command line, the monitor, the analysis and
// the simulator take their knowledge of the device from here. (The test windows keep their
// own literals: their frames are fixed.)
//
// Decoding: every register is sign and magnitude (bit 15 the sign, bits 14..0 the magnitude;
// modbus::FromSignMagnitude). A register holds a whole number of its unit's steps: a voltage
// counts 0.1 V, a frequency 0.01 Hz, a time 1 ms. Changing a scale is one edit below (Volt,
// Hertz, Millisecond).
//
// Pure data and plain functions: no Qt, any thread.

#include <cstdint>
#include <vector>

namespace device {

// A unit and the size of one count of a register in it.
struct Scale {
    const char* unit; // "V", "Hz", "ms"; "" for a plain number
    double step;      // one count in `unit`: 0.1 for a voltage in 0.1 V
    int decimals;     // the decimals a value shows in `unit` (1 for 0.1 V)
};
inline constexpr Scale Volt{"V", 0.1, 1};
inline constexpr Scale Hertz{"Hz", 0.01, 2};
inline constexpr Scale Millisecond{"ms", 1.0, 0};
inline constexpr Scale Number{"", 1.0, 0};

// One named value of the device.
struct Field {
    uint16_t address;    // register or input address
    const char* label;   // the windows' label, "系统电压"
    const char* key;     // JSON / CSV key, "system_voltage"
    const char* setName; // set-points: the name `write setpoint` takes; else nullptr
    Scale scale;         // registers: the unit of one count; inputs: Number
};

// The three blocks, as a master reads them: holding registers 0000..0004 (working data,
// read-only), 0100..0107 (set-points, read/write), discrete inputs 0300..030B (switch states).
inline constexpr uint16_t kWorkingStart = 0x0000;
inline constexpr uint16_t kWorkingCount = 5;
inline constexpr uint16_t kSetpointStart = 0x0100;
inline constexpr uint16_t kSetpointCount = 8;
inline constexpr uint16_t kInputStart = 0x0300;
inline constexpr uint16_t kInputCount = 12;

// Working values, as offsets from kWorkingStart (index into WorkingFields()).
enum Working : int {
    kSystemVoltage = 0,
    kUnitVoltage,
    kSystemFrequency,
    kUnitFrequency,
    kParallelingNumber,
};

// Set-points, as offsets from kSetpointStart (index into SetpointFields()).
enum Setpoint : int {
    kLeadTime = 0,
    kClosingTime,
    kAllowedVoltageDifference,
    kAllowedFrequencyDifference,
    kVoltageEqualisingPeriod,
    kVoltagePulseWidth,
    kFrequencyEqualisingPeriod,
    kFrequencyPulseWidth,
};

// Switch states, as offsets from kInputStart (index into SwitchFields(); bit k of a state
// word).
enum Input : int {
    kAdvanceAction = 0,
    kPhasePermitted,
    kFrequencyPermitted,
    kVoltagePermitted,
    kOutOfTolerance,
    kSignalBroken,
    kSelfTest,
    kKeyInput,
    kSpeedDown,
    kSpeedUp,
    kVoltageDown,
    kVoltageUp,
};

const std::vector<Field>& WorkingFields();  // kWorkingCount entries, in address order
const std::vector<Field>& SetpointFields(); // kSetpointCount entries
const std::vector<Field>& SwitchFields();   // kInputCount entries

// The unit minus the system, as the monitor plots them and the analysis judges them.
const Field& VoltageDifference();   // "压差", 0.1 V
const Field& FrequencyDifference(); // "频差", 0.01 Hz

// A register's raw word as the device means it (sign and magnitude), and back.
int Decode(uint16_t raw);
uint16_t Encode(int value);

// Counts of `scale` in its unit (12 counts of 0.1 V are 1.2 V), and a quantity in the unit as
// the nearest whole number of counts.
constexpr double InUnit(int counts, const Scale& scale) {
    return counts * scale.step;
}
constexpr int Counts(double inUnit, const Scale& scale) {
    const double n = inUnit / scale.step;
    return static_cast<int>(n < 0 ? n - 0.5 : n + 0.5);
}

} // namespace device
