#include "samples.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace monitor {

int32_t ChannelValue(const Sample& s, int channel) {
    switch (channel) {
    case 0:
        return s.values[0];
    case 1:
        return s.values[1];
    case 2:
        return int32_t(s.values[1]) - s.values[0];
    case 3:
        return s.values[2];
    case 4:
        return s.values[3];
    default:
        return int32_t(s.values[3]) - s.values[2];
    }
}

SampleStore::SampleStore(std::size_t capacity)
    : capacity_(std::max<std::size_t>(capacity, Block)) {}

void SampleStore::Append(const Sample& s) {
    samples_.push_back(s);
    if (samples_.size() > 1 && samples_.back().t < samples_[samples_.size() - 2].t)
        samples_.back().t = samples_[samples_.size() - 2].t; // keeps the binary search valid
    if (samples_.size() % Block == 0)
        Summarise(samples_.size() - Block);
    // Whole blocks go, so that the front stays aligned with the summaries.
    if (samples_.size() >= capacity_ + Block) {
        samples_.erase(samples_.begin(), samples_.begin() + Block);
        summaries_.pop_front();
    }
}

void SampleStore::Clear() {
    samples_.clear();
    summaries_.clear();
    samples_.shrink_to_fit();
    summaries_.shrink_to_fit();
}

std::size_t SampleStore::MemoryBytes() const {
    return samples_.size() * sizeof(Sample) + summaries_.size() * sizeof(Summary) + 4096;
}

void SampleStore::Summarise(std::size_t first) {
    Summary m;
    m.low.fill(std::numeric_limits<int32_t>::max());
    m.high.fill(std::numeric_limits<int32_t>::min());
    for (std::size_t k = first; k < first + Block; ++k) {
        const Sample& s = samples_[k];
        m.whole =
            m.whole && (s.have & (HaveValues | HaveStates | RunStart)) == (HaveValues | HaveStates);
        if (s.have & HaveValues)
            for (int c = 0; c < AnalogChannels; ++c) {
                m.low[c] = std::min(m.low[c], ChannelValue(s, c));
                m.high[c] = std::max(m.high[c], ChannelValue(s, c));
            }
        if (s.have & HaveStates) {
            m.statesOr |= s.states;
            m.statesAnd &= s.states;
        }
    }
    summaries_.push_back(m);
}

Drawing SampleStore::Thin(double t0, double t1, int buckets) const {
    Drawing d;
    if (samples_.empty() || !(t1 > t0))
        return d;
    buckets = std::max(buckets, 1);
    const double width = (t1 - t0) / buckets;
    const auto before = [](const Sample& s, double t) { return s.t < t; };
    std::size_t i =
        std::lower_bound(samples_.begin(), samples_.end(), t0, before) - samples_.begin();
    std::size_t end = std::upper_bound(samples_.begin(), samples_.end(), t1,
                                       [](double t, const Sample& s) { return t < s.t; }) -
                      samples_.begin();
    // One sample beyond each edge, so that lines run to the edges of the view.
    i -= i > 0 ? 1 : 0;
    end += end < samples_.size() ? 1 : 0;
    const auto bucketOf = [&](double t) {
        return static_cast<int64_t>(std::floor((t - t0) / width));
    };
    constexpr double Gap = std::numeric_limits<double>::quiet_NaN();
    const auto base = [](int k) { return (StateChannels - 1 - k) * 1.5; };

    // The curves and the traces of one slice, up to the next gap in their own part.
    struct Values {
        int count = 0; // a whole block counts 2
        double first = 0, last = 0;
        std::array<int32_t, AnalogChannels> low, high;
    } v;
    struct States {
        int count = 0;
        double first = 0;
        uint16_t any = 0, all = 0xFFFF, last = 0;
    } st;
    std::array<int, StateChannels> level; // -1: no trace since the last gap
    level.fill(-1);
    double lastStateT = 0;
    const auto resetValues = [&] {
        v = Values{};
        v.low.fill(std::numeric_limits<int32_t>::max());
        v.high.fill(std::numeric_limits<int32_t>::min());
    };
    const auto flushValues = [&] {
        if (v.count == 1)
            for (int c = 0; c < AnalogChannels; ++c)
                d.analog[c].append({v.first, double(v.low[c])});
        else if (v.count > 1)
            for (int c = 0; c < AnalogChannels; ++c)
                d.analog[c].append({{v.first, double(v.low[c])}, {v.last, double(v.high[c])}});
        resetValues();
    };
    const auto flushStates = [&] {
        for (int k = 0; k < StateChannels && st.count > 0; ++k) {
            const int any = (st.any >> k) & 1, all = (st.all >> k) & 1;
            const int final = (st.last >> k) & 1;
            QList<QPointF>& p = d.states[k];
            if (level[k] < 0) {
                level[k] = any == all ? any : 1 - final;
                p.append({st.first, base(k) + level[k]});
            }
            if (any != all) { // changed within the slice: a bar across both levels
                p.append({{st.first, base(k) + level[k]}, {st.first, base(k) + 1 - level[k]}});
                if (final == level[k])
                    p.append({st.first, base(k) + final});
                level[k] = final;
            } else if (any != level[k]) {
                p.append({{st.first, base(k) + level[k]}, {st.first, base(k) + any}});
                level[k] = any;
            }
        }
        st = States{};
    };
    const auto gapInValues = [&](double t) {
        flushValues();
        for (QList<QPointF>& p : d.analog)
            if (!p.isEmpty() && !std::isnan(p.back().y()))
                p.append({t, Gap});
    };
    const auto endTraces = [&] { // each trace runs to its last sample
        for (int k = 0; k < StateChannels; ++k)
            if (level[k] >= 0)
                d.states[k].append({lastStateT, base(k) + level[k]});
    };
    const auto gapInStates = [&](double t) {
        flushStates();
        endTraces();
        for (int k = 0; k < StateChannels; ++k)
            if (level[k] >= 0)
                d.states[k].append({t, Gap});
        level.fill(-1);
    };

    resetValues();
    int64_t current = std::numeric_limits<int64_t>::min();
    while (i < end) {
        const Sample& s = samples_[i];
        const int64_t b = bucketOf(s.t);
        if (b != current) {
            flushValues();
            flushStates();
            current = b;
        }
        if (s.have & RunStart) {
            gapInValues(s.t);
            gapInStates(s.t);
        }
        // A block that crosses into the next slice still counts whole for this one when it
        // spans less than half a slice: it shifts what is drawn by less than a pixel.
        const bool wholeBlock = i % Block == 0 && i / Block < summaries_.size() &&
                                summaries_[i / Block].whole && i + Block <= end &&
                                (bucketOf(samples_[i + Block - 1].t) == b ||
                                 samples_[i + Block - 1].t - s.t < width / 2);
        const std::size_t n = wholeBlock ? Block : 1;
        const Sample& tail = samples_[i + n - 1];
        if (wholeBlock) {
            const Summary& m = summaries_[i / Block];
            if (v.count == 0)
                v.first = s.t;
            v.count += 2;
            v.last = tail.t;
            for (int c = 0; c < AnalogChannels; ++c) {
                v.low[c] = std::min(v.low[c], m.low[c]);
                v.high[c] = std::max(v.high[c], m.high[c]);
            }
            if (st.count++ == 0)
                st.first = s.t;
            st.any |= m.statesOr;
            st.all &= m.statesAnd;
            st.last = tail.states;
            lastStateT = tail.t;
        } else {
            if (s.have & HaveValues) {
                if (v.count++ == 0)
                    v.first = s.t;
                v.last = s.t;
                for (int c = 0; c < AnalogChannels; ++c) {
                    v.low[c] = std::min(v.low[c], ChannelValue(s, c));
                    v.high[c] = std::max(v.high[c], ChannelValue(s, c));
                }
            } else {
                gapInValues(s.t);
            }
            if (s.have & HaveStates) {
                if (st.count++ == 0)
                    st.first = s.t;
                st.any |= s.states;
                st.all &= s.states;
                st.last = s.states;
                lastStateT = s.t;
            } else {
                gapInStates(s.t);
            }
        }
        i += n;
    }
    flushValues();
    flushStates();
    endTraces();
    // A level line needs only its ends: drop points inside a run of equal values (a gap's NaN
    // equals nothing, so the ends beside a gap stay).
    for (QList<QPointF>& p : d.analog) {
        qsizetype kept = 0;
        for (qsizetype j = 0; j < p.size(); ++j)
            if (j == 0 || j + 1 == p.size() || p[j].y() != p[j - 1].y() || p[j].y() != p[j + 1].y())
                p[kept++] = p[j];
        p.resize(kept);
    }
    return d;
}

} // namespace monitor
