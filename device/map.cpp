#include "device/map.h"

#include "modbus/codec.h"

namespace device {

const std::vector<Field>& WorkingFields() {
    static const std::vector<Field> f{
        {0x0000, "系统电压", "system_voltage", nullptr, Volt},
        {0x0001, "机组电压", "unit_voltage", nullptr, Volt},
        {0x0002, "系统频率", "system_frequency", nullptr, Hertz},
        {0x0003, "机组频率", "unit_frequency", nullptr, Hertz},
        {0x0004, "并机号", "paralleling_number", nullptr, Number},
    };
    return f;
}

const std::vector<Field>& SetpointFields() {
    static const std::vector<Field> f{
        {0x0100, "越前时间", "lead_time", "lead-time", Millisecond},
        {0x0101, "合闸时间", "closing_time", "closing-time", Millisecond},
        {0x0102, "允许压差", "allowed_voltage_difference", "allowed-voltage-difference", Volt},
        {0x0103, "允许频差", "allowed_frequency_difference", "allowed-frequency-difference", Hertz},
        {0x0104, "均压周期", "voltage_equalising_period", "voltage-equalising-period", Millisecond},
        {0x0105, "均压脉冲宽度", "voltage_pulse_width", "voltage-pulse-width", Millisecond},
        {0x0106, "均频周期", "frequency_equalising_period", "frequency-equalising-period",
         Millisecond},
        {0x0107, "均频脉冲宽度", "frequency_pulse_width", "frequency-pulse-width", Millisecond},
    };
    return f;
}

const std::vector<Field>& SwitchFields() {
    static const std::vector<Field> f{
        {0x0300, "跃前动作", "advance_action", nullptr, Number},
        {0x0301, "相位允许", "phase_permitted", nullptr, Number},
        {0x0302, "频率允许", "frequency_permitted", nullptr, Number},
        {0x0303, "电压允许", "voltage_permitted", nullptr, Number},
        {0x0304, "压(频)差超差", "difference_out_of_tolerance", nullptr, Number},
        {0x0305, "信号断线", "signal_line_broken", nullptr, Number},
        {0x0306, "自检状态", "self_test", nullptr, Number},
        {0x0307, "键入状态", "key_input", nullptr, Number},
        {0x0308, "减速调控", "speed_down", nullptr, Number},
        {0x0309, "增速调控", "speed_up", nullptr, Number},
        {0x030A, "降压调控", "voltage_down", nullptr, Number},
        {0x030B, "升压调控", "voltage_up", nullptr, Number},
    };
    return f;
}

const Field& VoltageDifference() {
    static const Field f{0x0001, "压差", "voltage_difference", nullptr, Volt};
    return f;
}

const Field& FrequencyDifference() {
    static const Field f{0x0003, "频差", "frequency_difference", nullptr, Hertz};
    return f;
}

int Decode(uint16_t raw) {
    return modbus::FromSignMagnitude(raw);
}

uint16_t Encode(int value) {
    return modbus::ToSignMagnitude(value);
}

} // namespace device
