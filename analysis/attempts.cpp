#include "analysis/attempts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace analysis {

using namespace device;

namespace {

constexpr uint16_t Bit(Input k) {
    return uint16_t(1u << k);
}
constexpr uint16_t kRegulation =
    Bit(kOutOfTolerance) | Bit(kSpeedDown) | Bit(kSpeedUp) | Bit(kVoltageDown) | Bit(kVoltageUp);
constexpr uint16_t kPermissions =
    Bit(kVoltagePermitted) | Bit(kFrequencyPermitted) | Bit(kPhasePermitted);

int VoltageDiff(const Sample& s) {
    return int(s.values[kUnitVoltage]) - s.values[kSystemVoltage];
}
int FrequencyDiff(const Sample& s) {
    return int(s.values[kUnitFrequency]) - s.values[kSystemFrequency];
}

std::string Label(Input k) {
    return std::string("「") + SwitchFields()[k].label + "」";
}

// "3.0 V", "0.04 Hz", "120 ms".
std::string Quantity(int counts, const Scale& scale) {
    char b[48];
    std::snprintf(b, sizeof b, "%.*f %s", scale.decimals, InUnit(counts, scale), scale.unit);
    return b;
}

std::string Ms(double seconds) {
    char b[32];
    std::snprintf(b, sizeof b, "%.0f ms", seconds * 1000);
    return b;
}

} // namespace

const char* VerdictKey(Verdict v) {
    switch (v) {
    case Verdict::Open:
        return "open";
    case Verdict::Passed:
        return "passed";
    case Verdict::Finding:
        return "finding";
    case Verdict::Incomplete:
        return "incomplete";
    case Verdict::Unsure:
        return "unsure";
    }
    return "";
}

const char* VerdictText(Verdict v) {
    switch (v) {
    case Verdict::Open:
        return "进行中";
    case Verdict::Passed:
        return "合格";
    case Verdict::Finding:
        return "有问题";
    case Verdict::Incomplete:
        return "不完整";
    case Verdict::Unsure:
        return "无法判定";
    }
    return "";
}

double Analyser::LinkLostAfter() const {
    return std::max(kLinkLostSeconds, 3 * spacing_);
}

void Analyser::Open(double start, bool seen) {
    Attempt a;
    a.start = a.end = start;
    a.startSeen = seen;
    attempts_.push_back(std::move(a));
}

void Analyser::Cut(const char* why) {
    Attempt& a = attempts_.back();
    a.verdict = Verdict::Incomplete;
    a.cut = why;
    a.end = std::max(a.start, prev_.t);
    for (int k = 0; k < 4; ++k)
        if (State(prev_, kPulseInputs[k]))
            a.pulses[k].width += a.end - pulseRise_[k];
    Judge(a);
    quietValid_ = false;
}

void Analyser::TakeAfterValues(const Sample& s) {
    Attempt& a = attempts_[pendingValues_];
    pendingValues_ = -1;
    Closing& c = *a.closing;
    c.haveAfter = true;
    c.valuesAfter = s.t;
    c.voltageAfter = VoltageDiff(s);
    c.frequencyAfter = FrequencyDiff(s);
    if (!c.haveSlip) {
        c.haveSlip = true;
        c.slipHz = InUnit(c.frequencyAfter, Hertz);
    }
    Judge(a);
}

void Analyser::CloseAt(const Sample& s) {
    Attempt& a = attempts_.back();
    Closing c;
    c.before = prev_.t;
    c.after = s.t;
    if (haveValues_) {
        c.haveBefore = c.haveSlip = true;
        c.valuesBefore = lastValues_.t;
        c.voltageBefore = VoltageDiff(lastValues_);
        c.frequencyBefore = FrequencyDiff(lastValues_);
        c.slipHz = InUnit(c.frequencyBefore, Hertz);
    }
    for (int k = 0; k < 3; ++k) {
        if (State(prev_, kPermissionInputs[k]))
            c.permissionFor[k] = prev_.t - permissionRise_[k];
        c.riseSeen[k] = permissionRiseSeen_[k];
        c.permissionAfter[k] = State(s, kPermissionInputs[k]);
    }
    // A pulse still on at the closing counts up to it.
    for (int k = 0; k < 4; ++k)
        if (State(s, kPulseInputs[k]))
            a.pulses[k].width += s.t - pulseRise_[k];
    a.closing = c;
    a.end = s.t;
    a.verdict = Verdict::Passed; // Judge decides
    const long long index = static_cast<long long>(attempts_.size()) - 1;
    pendingAdvance_ = index;
    pendingValues_ = index;
    if (s.have & HaveValues)
        TakeAfterValues(s);
    Judge(a);
    quietValid_ = false;
}

void Analyser::Judge(Attempt& a) const {
    a.findings.clear();
    a.notes.clear();
    if (!a.startSeen)
        a.notes.push_back(
            "开始时刻未见：数据开始（或恢复）时这次同期已在进行，开始取其后第一次采样");
    if (a.parallelingNumbers.size() > 1) {
        std::string list;
        for (int n : a.parallelingNumbers)
            list += (list.empty() ? "" : " → ") + std::to_string(n);
        a.notes.push_back("并机号在这次同期中变化：" + list);
    }
    if (a.verdict == Verdict::Incomplete) {
        a.notes.push_back("被中断（" + a.cut + "），未见合闸");
        return;
    }
    if (a.verdict == Verdict::Unsure) {
        a.findings.push_back({Finding::Kind::AdvanceNotSeen, "advance_action_not_seen",
                              Label(kVoltagePermitted) + Label(kFrequencyPermitted) +
                                  Label(kPhasePermitted) + "在相隔 " +
                                  Ms(a.missedAfter - a.missedBefore) +
                                  " 的两次采样之间同时消失，而未见" + Label(kAdvanceAction) +
                                  "：可能有短于采样间隔的跃前脉冲（合闸）未被采到"});
        return;
    }
    if (!a.closing)
        return;
    const Closing& c = *a.closing;
    a.notes.push_back(Label(kAdvanceAction) + "的上升沿落在相隔 " + Ms(c.Spacing()) +
                      " 的两次采样之间；合闸时刻、时长与此同样不确定");
    if (c.singleSample)
        a.notes.push_back(Label(kAdvanceAction) + "只在一次采样中出现：脉冲短于约两个采样间隔");
    if (c.haveBefore && c.haveAfter)
        a.notes.push_back("合闸时的压差、频差取自合闸前后相隔 " + Ms(c.ValuesSpacing()) +
                          " 的两次采样");
    else
        a.notes.push_back(std::string("合闸") + (c.haveBefore ? "后" : "前") +
                          "没有工作数据：压差、频差只有一侧");
    for (int k = 0; k < 3; ++k) {
        const Input in = kPermissionInputs[k];
        if (c.permissionFor[k] >= 0) {
            if (!c.riseSeen[k])
                a.notes.push_back(Label(in) + "在数据开始时已存在：其持续时间至少为所示值");
            continue;
        }
        if (c.permissionAfter[k])
            a.findings.push_back({Finding::Kind::PermissionOnlyAfter,
                                  std::string(SwitchFields()[in].key) + "_only_after",
                                  Label(in) + "在合闸前的采样中不在，只在其后的采样中出现："
                                              "无法确认合闸命令发出时它已存在"});
        else
            a.findings.push_back({Finding::Kind::PermissionAbsent,
                                  std::string(SwitchFields()[in].key) + "_absent",
                                  "合闸时" + Label(in) + "不在"});
    }
    // The reading in force at the closing, else the first one after it.
    const SetpointReading* r = nullptr;
    for (const SetpointReading& x : setpoints_) {
        if (x.t <= c.after || !r)
            r = &x;
        if (x.t > c.after)
            break;
    }
    Closing& mc = *a.closing;
    mc.phaseAdvanceDegrees.reset();
    a.setpoints.reset();
    if (!r) {
        a.notes.push_back("没有读到设定值：压差和频差未按允许值判定，超前相角未算");
    } else {
        a.setpoints = *r;
        if (r->t > c.after)
            a.notes.push_back("合闸之前没有读到设定值：用的是合闸之后读到的");
        // One finding per quantity, naming the side(s) of the edge outside the limit.
        const auto judge = [&](int before, int after, Setpoint limit, const Field& what,
                               Finding::Kind kind, const char* key) {
            const int allowed = r->values[limit];
            const bool outBefore = c.haveBefore && std::abs(before) > allowed;
            const bool outAfter = c.haveAfter && std::abs(after) > allowed;
            if (!outBefore && !outAfter)
                return;
            std::string text = "合闸时" + std::string(what.label);
            if (outBefore)
                text += "（前）" + Quantity(before, what.scale);
            if (outAfter)
                text += std::string(outBefore ? "、" : "") + "（后）" + Quantity(after, what.scale);
            a.findings.push_back({kind, key,
                                  text + " 超出" + SetpointFields()[limit].label + " " +
                                      Quantity(allowed, what.scale)});
        };
        judge(c.voltageBefore, c.voltageAfter, kAllowedVoltageDifference, VoltageDifference(),
              Finding::Kind::VoltageDifference, "voltage_difference");
        judge(c.frequencyBefore, c.frequencyAfter, kAllowedFrequencyDifference,
              FrequencyDifference(), Finding::Kind::FrequencyDifference, "frequency_difference");
        if (c.haveSlip)
            mc.phaseAdvanceDegrees = 360.0 * std::abs(c.slipHz) *
                                     InUnit(std::max(r->values[kLeadTime], 0), Millisecond) /
                                     1000.0;
    }
    a.verdict = a.findings.empty() ? Verdict::Passed : Verdict::Finding;
}

bool Analyser::AddSetpoints(const SetpointReading& r) {
    setpoints_.push_back(r);
    bool changed = false;
    for (Attempt& a : attempts_)
        if (a.closing && !a.setpoints) {
            const Verdict was = a.verdict;
            Judge(a);
            changed = changed || a.verdict != was;
        }
    return changed;
}

void Analyser::Finish() {
    if (Current())
        Cut("数据结束");
    prevValid_ = haveValues_ = quietValid_ = false;
    pendingValues_ = pendingAdvance_ = -1;
}

bool Analyser::Add(const Sample& s) {
    ++samples_;
    bool changed = false;
    if (s.have & RunStart) {
        if (Current()) {
            Cut("轮询停止");
            changed = true;
        }
        prevValid_ = haveValues_ = quietValid_ = false;
        pendingValues_ = pendingAdvance_ = -1;
    }
    if (prevValid_ && s.t - prev_.t > LinkLostAfter()) {
        if (Current()) {
            Cut("链路中断");
            changed = true;
        }
        prevValid_ = haveValues_ = quietValid_ = false;
        pendingValues_ = pendingAdvance_ = -1;
    }
    Attempt* a = Current();
    if (s.have & HaveValues) {
        if (pendingValues_ >= 0)
            TakeAfterValues(s);
        if (a) {
            const int n = s.values[kParallelingNumber];
            if (a->parallelingNumbers.empty() || a->parallelingNumbers.back() != n)
                a->parallelingNumbers.push_back(n);
            a->parallelingNumber = n;
            a->haveParallelingNumber = true;
        }
    }
    if (!(s.have & HaveStates)) {
        missedSincePrev_ = true;
        if (s.have & HaveValues) {
            lastValues_ = s;
            haveValues_ = true;
        }
        return changed;
    }

    const bool first = !prevValid_;
    if (!first && !missedSincePrev_)
        spacing_ = s.t - prev_.t;
    missedSincePrev_ = false;
    if (!quietValid_ && !a) {
        quietSince_ = s.t;
        quietValid_ = true;
    }
    // The sample after a closing: was its advance pulse seen in that one sample only?
    if (!first && pendingAdvance_ >= 0) {
        Attempt& closed = attempts_[pendingAdvance_];
        pendingAdvance_ = -1;
        if (!State(s, kAdvanceAction)) {
            closed.closing->singleSample = true;
            Judge(closed);
        }
    }
    for (int k = 0; k < 3; ++k) {
        const bool on = State(s, kPermissionInputs[k]);
        if (on && (first || !State(prev_, kPermissionInputs[k]))) {
            permissionRise_[k] = s.t;
            permissionRiseSeen_[k] = !first;
        }
    }

    // Permissions all gone at once, no advance action seen: the breaker probably closed on a
    // pulse between the samples.
    if (a && !first && (prev_.states & kPermissions) == kPermissions &&
        (s.states & kPermissions) == 0 && !State(s, kAdvanceAction)) {
        a->verdict = Verdict::Unsure;
        a->end = s.t;
        a->missedBefore = prev_.t;
        a->missedAfter = s.t;
        for (int k = 0; k < 4; ++k)
            if (State(prev_, kPulseInputs[k]))
                a->pulses[k].width += s.t - pulseRise_[k];
        Judge(*a);
        if ((s.have & HaveValues) && VoltageDiff(s) == 0 && FrequencyDiff(s) == 0)
            a->notes.push_back("其后机组电压、频率与系统相同，如同已并网");
        quietValid_ = false;
        a = nullptr;
        changed = true;
    }

    const bool edge = !first && !State(prev_, kAdvanceAction) && State(s, kAdvanceAction);
    bool opened = false;
    if (!a && !edge && (s.states & kRegulation) && !State(s, kAdvanceAction)) {
        Open(s.t, !first);
        a = &attempts_.back();
        opened = changed = true;
    }
    if (edge && !a) {
        Open(quietValid_ ? quietSince_ : prev_.t, false);
        a = &attempts_.back();
        opened = true;
    }
    if (a) {
        if (opened && (s.have & HaveValues)) {
            a->parallelingNumbers = {s.values[kParallelingNumber]};
            a->parallelingNumber = s.values[kParallelingNumber];
            a->haveParallelingNumber = true;
        }
        for (int k = 0; k < 4; ++k) {
            const bool on = State(s, kPulseInputs[k]);
            const bool was = !first && !opened && State(prev_, kPulseInputs[k]);
            if (on && !was) {
                ++a->pulses[k].count;
                pulseRise_[k] = s.t;
            } else if (!on && was) {
                a->pulses[k].width += s.t - pulseRise_[k];
            }
        }
        a->end = s.t;
        if (edge) {
            CloseAt(s);
            changed = true;
        }
    }
    prev_ = s;
    prevValid_ = true;
    if (s.have & HaveValues) {
        lastValues_ = s;
        haveValues_ = true;
    }
    return changed;
}

} // namespace analysis
