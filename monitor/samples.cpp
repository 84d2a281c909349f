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
        m.have |= s.have;
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

    struct Acc {
        int values = 0, states = 0;
        double first = 0, last = 0, firstValue = 0;
        Summary m;
        uint16_t lastStates = 0;
    } a;
    std::array<int, StateChannels> level;
    level.fill(-1);
    double lastT = 0;
    const auto reset = [&] {
        a = Acc{};
        a.m.low.fill(std::numeric_limits<int32_t>::max());
        a.m.high.fill(std::numeric_limits<int32_t>::min());
    };
    const auto flush = [&] {
        if (a.values == 1)
            for (int c = 0; c < AnalogChannels; ++c)
                d.analog[c].append({a.firstValue, double(a.m.low[c])});
        else if (a.values > 1)
            for (int c = 0; c < AnalogChannels; ++c)
                d.analog[c].append({{a.first, double(a.m.low[c])}, {a.last, double(a.m.high[c])}});
        if (a.states == 0)
            return;
        for (int k = 0; k < StateChannels; ++k) {
            const double base = (StateChannels - 1 - k) * 1.5;
            const int any = (a.m.statesOr >> k) & 1, all = (a.m.statesAnd >> k) & 1;
            const int final = (a.lastStates >> k) & 1;
            QList<QPointF>& p = d.states[k];
            if (level[k] < 0) {
                level[k] = any == all ? any : 1 - final;
                p.append({a.first, base + level[k]});
            }
            if (any != all) { // changed within the slice: a bar across both levels
                p.append({{a.first, base + level[k]}, {a.first, base + 1 - level[k]}});
                if (final == level[k])
                    p.append({a.first, base + final});
                level[k] = final;
            } else if (any != level[k]) {
                p.append({{a.first, base + level[k]}, {a.first, base + any}});
                level[k] = any;
            }
        }
    };
    reset();
    int64_t current = std::numeric_limits<int64_t>::min();
    while (i < end) {
        const Sample& s = samples_[i];
        const int64_t b = bucketOf(s.t);
        if (b != current) {
            flush();
            reset();
            current = b;
            a.first = s.t;
        }
        // A block that crosses into the next slice still counts whole for this one when it
        // spans less than half a slice: it shifts what is drawn by less than a pixel.
        const bool wholeBlock = i % Block == 0 && i / Block < summaries_.size() &&
                                i + Block <= end &&
                                (bucketOf(samples_[i + Block - 1].t) == b ||
                                 samples_[i + Block - 1].t - s.t < width / 2);
        const std::size_t n = wholeBlock ? Block : 1;
        const Sample& tail = samples_[i + n - 1];
        if (wholeBlock) {
            const Summary& m = summaries_[i / Block];
            for (int c = 0; c < AnalogChannels; ++c) {
                a.m.low[c] = std::min(a.m.low[c], m.low[c]);
                a.m.high[c] = std::max(a.m.high[c], m.high[c]);
            }
            a.m.statesOr |= m.statesOr;
            a.m.statesAnd &= m.statesAnd;
            a.values += (m.have & HaveValues) ? 2 : 0;
            a.states += (m.have & HaveStates) ? 1 : 0;
        } else {
            if (s.have & HaveValues) {
                if (a.values++ == 0)
                    a.firstValue = s.t;
                for (int c = 0; c < AnalogChannels; ++c) {
                    a.m.low[c] = std::min(a.m.low[c], ChannelValue(s, c));
                    a.m.high[c] = std::max(a.m.high[c], ChannelValue(s, c));
                }
            }
            if (s.have & HaveStates) {
                ++a.states;
                a.m.statesOr |= s.states;
                a.m.statesAnd &= s.states;
            }
        }
        if (tail.have & HaveStates)
            a.lastStates = tail.states;
        a.last = lastT = tail.t;
        i += n;
    }
    flush();
    for (int k = 0; k < StateChannels; ++k)
        if (level[k] >= 0)
            d.states[k].append({lastT, (StateChannels - 1 - k) * 1.5 + level[k]});
    // A level line needs only its ends: drop points inside a run of equal values.
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
