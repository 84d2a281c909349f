#include "analysis/report.h"

#include <cmath>
#include <cstdio>

namespace analysis {

using namespace device;

namespace {

std::string Format(const char* format, double v) {
    char b[64];
    std::snprintf(b, sizeof b, format, v);
    return b;
}

std::string Seconds(double s) {
    return Format("%.3f s", s);
}

std::string Quantity(int counts, const Scale& scale) {
    char b[48];
    std::snprintf(b, sizeof b, "%.*f %s", scale.decimals, InUnit(counts, scale), scale.unit);
    return b;
}

std::string Number(int counts, const Scale& scale) {
    char b[48];
    std::snprintf(b, sizeof b, "%.*f", scale.decimals, InUnit(counts, scale));
    return b;
}

std::string When(const TimeText& time, double t) {
    return time ? time(t) + " (" + Seconds(t) + ")" : Seconds(t);
}

const char* PulseLabel(int k) {
    return SwitchFields()[kPulseInputs[k]].label;
}
const char* PulseKey(int k) {
    return SwitchFields()[kPulseInputs[k]].key;
}

std::string SetpointText(const SetpointReading& r) {
    std::string out;
    for (int i = 0; i < kSetpointCount; ++i)
        out += std::string(i ? ", " : "") + SetpointFields()[i].label + " " +
               Quantity(r.values[i], SetpointFields()[i].scale);
    return out;
}

std::string JsonTime(const TimeText& time, double t) {
    return time ? JsonString(time(t)) : "null";
}

} // namespace

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (char ch : s) {
        if (ch == '"' || ch == '\\')
            out += '\\';
        if (static_cast<unsigned char>(ch) < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", ch);
            out += b;
            continue;
        }
        out += ch;
    }
    return out + "\"";
}

Summary Summarise(const std::vector<Attempt>& attempts) {
    Summary s;
    for (const Attempt& a : attempts) {
        ++s.attempts;
        switch (a.verdict) {
        case Verdict::Passed:
            ++s.passed;
            break;
        case Verdict::Finding:
            ++s.findings;
            break;
        case Verdict::Unsure:
            ++s.unsure;
            break;
        case Verdict::Incomplete:
            ++s.incomplete;
            break;
        case Verdict::Open:
            ++s.open;
            break;
        }
    }
    return s;
}

std::string Text(const Analyser& analyser, const TimeText& time) {
    std::string out;
    const auto& attempts = analyser.Attempts();
    for (std::size_t i = 0; i < attempts.size(); ++i) {
        const Attempt& a = attempts[i];
        out += "同期 " + std::to_string(i + 1) + ": " + VerdictText(a.verdict) + "\n";
        out += "  开始: " + When(time, a.start) + (a.startSeen ? "" : "（未见开始）") + "\n";
        out += "  结束: " + When(time, a.end) + (a.cut.empty() ? "" : "（" + a.cut + "）") + "\n";
        out += std::string("  ") + WorkingFields()[kParallelingNumber].label + ": " +
               (a.haveParallelingNumber ? std::to_string(a.parallelingNumber) : "-") + "\n";
        if (a.closing) {
            const Closing& c = *a.closing;
            out += "  合闸（跃前动作上升沿）: " + When(time, c.before) + " 与 " +
                   When(time, c.after) + " 之间，相隔 " + Format("%.0f ms", c.Spacing() * 1000) +
                   "\n";
            const auto pair = [&](const Field& f, bool hb, int b, bool ha, int af) {
                return std::string("  合闸时") + f.label + ": 前 " +
                       (hb ? Quantity(b, f.scale) : "-") + ", 后 " +
                       (ha ? Quantity(af, f.scale) : "-") + "\n";
            };
            out += pair(VoltageDifference(), c.haveBefore, c.voltageBefore, c.haveAfter,
                        c.voltageAfter);
            out += pair(FrequencyDifference(), c.haveBefore, c.frequencyBefore, c.haveAfter,
                        c.frequencyAfter);
            if (c.haveBefore && c.haveAfter)
                out += "  （两次采样相隔 " + Format("%.0f ms", c.ValuesSpacing() * 1000) + "）\n";
            out += "  滑差: " + (c.haveSlip ? Format("%.2f Hz", c.slipHz) : "-");
            if (c.phaseAdvanceDegrees && a.setpoints)
                out += "; " + std::string(SetpointFields()[kLeadTime].label) + " " +
                       Quantity(a.setpoints->values[kLeadTime], Millisecond) + " 对应超前相角 " +
                       Format("%.1f°", *c.phaseAdvanceDegrees) + "（" +
                       SetpointFields()[kClosingTime].label + " " +
                       Quantity(a.setpoints->values[kClosingTime], Millisecond) + "）";
            out += "\n  开始到合闸: " + Format("%.3f s", a.TimeToClose()) + "\n";
            out += "  合闸前允许已持续:";
            for (int k = 0; k < 3; ++k)
                out += std::string(k ? "," : "") + " " +
                       SwitchFields()[kPermissionInputs[k]].label + " " +
                       (c.permissionFor[k] < 0
                            ? std::string("不在")
                            : (c.riseSeen[k] ? "" : "≥") + Format("%.3f s", c.permissionFor[k]));
            out += "\n";
        } else if (a.verdict == Verdict::Unsure) {
            out += "  允许在 " + When(time, a.missedBefore) + " 与 " + When(time, a.missedAfter) +
                   " 之间同时消失\n";
        }
        out += "  脉冲:";
        for (int k = 0; k < 4; ++k)
            out += std::string(k ? "," : "") + " " + PulseLabel(k) + " " +
                   std::to_string(a.pulses[k].count) + " 次 " + Format("%.3f s", a.pulses[k].width);
        out += "\n";
        for (const Finding& f : a.findings)
            out += "  发现: " + f.text + "\n";
        for (const std::string& n : a.notes)
            out += "  说明: " + n + "\n";
    }
    if (analyser.Setpoints().empty())
        out += "设定值: 未读到（压差、频差未按允许值判定）\n";
    for (const SetpointReading& r : analyser.Setpoints())
        out += "设定值 " + When(time, r.t) + ": " + SetpointText(r) + "\n";
    const Summary s = Summarise(attempts);
    out += "共 " + std::to_string(s.attempts) + " 次同期: 合格 " + std::to_string(s.passed) +
           ", 有问题 " + std::to_string(s.findings) + ", 无法判定 " + std::to_string(s.unsure) +
           ", 不完整 " + std::to_string(s.incomplete) + ", 进行中 " + std::to_string(s.open) + "\n";
    return out;
}

std::string Json(const Analyser& analyser, const TimeText& time) {
    const auto num = [](double v, const char* f = "%.3f") { return Format(f, v); };
    std::string out = "{\"setpoints\": [";
    bool firstReading = true;
    for (const SetpointReading& r : analyser.Setpoints()) {
        out += std::string(firstReading ? "" : ", ") + "{\"time\": " + JsonTime(time, r.t) +
               ", \"t\": " + num(r.t);
        for (int i = 0; i < kSetpointCount; ++i)
            out += std::string(", ") + JsonString(SetpointFields()[i].key) + ": " +
                   Number(r.values[i], SetpointFields()[i].scale);
        out += "}";
        firstReading = false;
    }
    out += "], \"attempts\": [";
    const auto& attempts = analyser.Attempts();
    for (std::size_t i = 0; i < attempts.size(); ++i) {
        const Attempt& a = attempts[i];
        out += std::string(i ? ", " : "") + "{\"verdict\": \"" + VerdictKey(a.verdict) +
               "\", \"start\": " + JsonTime(time, a.start) + ", \"start_t\": " + num(a.start) +
               ", \"start_seen\": " + (a.startSeen ? "true" : "false") +
               ", \"end\": " + JsonTime(time, a.end) + ", \"end_t\": " + num(a.end) +
               ", \"cut\": " + (a.cut.empty() ? "null" : JsonString(a.cut)) +
               ", \"paralleling_number\": " +
               (a.haveParallelingNumber ? std::to_string(a.parallelingNumber) : "null");
        out += ", \"closing\": ";
        if (a.closing) {
            const Closing& c = *a.closing;
            const auto opt = [](bool have, const std::string& v) { return have ? v : "null"; };
            out += "{\"before_t\": " + num(c.before) + ", \"after_t\": " + num(c.after) +
                   ", \"after\": " + JsonTime(time, c.after) +
                   ", \"spacing_s\": " + num(c.Spacing()) +
                   ", \"single_sample\": " + (c.singleSample ? "true" : "false") +
                   ", \"voltage_difference_before_v\": " +
                   opt(c.haveBefore, Number(c.voltageBefore, Volt)) +
                   ", \"voltage_difference_after_v\": " +
                   opt(c.haveAfter, Number(c.voltageAfter, Volt)) +
                   ", \"frequency_difference_before_hz\": " +
                   opt(c.haveBefore, Number(c.frequencyBefore, Hertz)) +
                   ", \"frequency_difference_after_hz\": " +
                   opt(c.haveAfter, Number(c.frequencyAfter, Hertz)) + ", \"values_spacing_s\": " +
                   opt(c.haveBefore && c.haveAfter, num(c.ValuesSpacing())) +
                   ", \"slip_hz\": " + opt(c.haveSlip, num(c.slipHz, "%.2f")) +
                   ", \"phase_advance_degrees\": " +
                   opt(c.phaseAdvanceDegrees.has_value(),
                       num(c.phaseAdvanceDegrees.value_or(0), "%.2f")) +
                   ", \"time_to_close_s\": " + num(a.TimeToClose()) + ", \"permissions\": {";
            for (int k = 0; k < 3; ++k)
                out += std::string(k ? ", " : "") +
                       JsonString(SwitchFields()[kPermissionInputs[k]].key) + ": {\"present_s\": " +
                       opt(c.permissionFor[k] >= 0, num(c.permissionFor[k])) +
                       ", \"rise_seen\": " + (c.riseSeen[k] ? "true" : "false") +
                       ", \"after\": " + (c.permissionAfter[k] ? "true" : "false") + "}";
            out += "}}";
        } else {
            out += "null";
        }
        out += ", \"missed_between_t\": " +
               (a.verdict == Verdict::Unsure
                    ? "[" + num(a.missedBefore) + ", " + num(a.missedAfter) + "]"
                    : std::string("null"));
        out += ", \"pulses\": {";
        for (int k = 0; k < 4; ++k)
            out += std::string(k ? ", " : "") + JsonString(PulseKey(k)) +
                   ": {\"count\": " + std::to_string(a.pulses[k].count) +
                   ", \"width_s\": " + num(a.pulses[k].width) + "}";
        out += "}, \"findings\": [";
        for (std::size_t f = 0; f < a.findings.size(); ++f)
            out += std::string(f ? ", " : "") + "{\"kind\": " + JsonString(a.findings[f].key) +
                   ", \"text\": " + JsonString(a.findings[f].text) + "}";
        out += "], \"notes\": [";
        for (std::size_t n = 0; n < a.notes.size(); ++n)
            out += std::string(n ? ", " : "") + JsonString(a.notes[n]);
        out += "]}";
    }
    const Summary s = Summarise(attempts);
    out += "], \"summary\": {\"attempts\": " + std::to_string(s.attempts) +
           ", \"passed\": " + std::to_string(s.passed) +
           ", \"findings\": " + std::to_string(s.findings) +
           ", \"unsure\": " + std::to_string(s.unsure) +
           ", \"incomplete\": " + std::to_string(s.incomplete) +
           ", \"open\": " + std::to_string(s.open) + "}}\n";
    return out;
}

} // namespace analysis
