#pragma once
// The monitor's history: samples in time order, bounded, with block summaries so that a day
// in view is thinned for drawing without visiting every sample. No widgets; any one thread.

#include "analysis/sample.h"

#include <QList>
#include <QPointF>

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>

namespace monitor {

// One poll of the working data and the switch states: the analysis's sample, so that the
// history hands its samples to the analysis as they are.
using analysis::HaveStates;
using analysis::HaveValues;
using analysis::RunStart;
using analysis::Sample;

// The six plotted channels: system voltage, unit voltage, their difference (unit - system),
// system frequency, unit frequency, their difference.
constexpr int AnalogChannels = 6;
constexpr int StateChannels = 12;
int32_t ChannelValue(const Sample& s, int channel);

// What to draw for a time range: per analog channel at most two points per bucket (least and
// largest), per state at most four per bucket (its steps), in time order. A gap in the samples
// (a sample without values, or without states, and the start of a run) is a point whose y is
// NaN, which Qt Charts draws as a break in the line.
struct Drawing {
    std::array<QList<QPointF>, AnalogChannels> analog;
    std::array<QList<QPointF>, StateChannels> states;
};

class SampleStore {
public:
    // Keeps at most `capacity` samples (plus less than one block); older ones are dropped.
    explicit SampleStore(std::size_t capacity = 864000);

    void Append(const Sample& s); // s.t not below the last sample's
    void Clear();
    std::size_t Size() const { return samples_.size(); }
    const Sample& operator[](std::size_t i) const { return samples_[i]; }
    bool Empty() const { return samples_.empty(); }
    // Bytes held, containers' own blocks included (an estimate from the element sizes).
    std::size_t MemoryBytes() const;

    // Thins the samples with t in [t0, t1] into `buckets` (>= 1) equal time slices. State k
    // is drawn as a step between base(k) and base(k) + 1, base(k) = (11 - k) * 1.5. No line
    // runs across a gap: a run start breaks every curve and trace, a sample without values
    // the curves, one without states the traces.
    Drawing Thin(double t0, double t1, int buckets) const;

private:
    static constexpr std::size_t Block = 64;
    struct Summary {
        std::array<int32_t, AnalogChannels> low, high;
        uint16_t statesOr = 0, statesAnd = 0xFFFF;
        bool whole = true; // every sample has both parts and none starts a run
    };
    void Summarise(std::size_t firstIndex);

    std::size_t capacity_;
    std::deque<Sample> samples_;
    std::deque<Summary> summaries_; // one per full block of samples_, from its front
};

} // namespace monitor
