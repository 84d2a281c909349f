#pragma once
// The attempts and verdicts of an analysis as text (the windows' labels, for people) and as
// JSON (English keys, for scripts): what `democomm-cli analyse` prints and what a report
// shows. Pure C++, no Qt; any thread.

#include "analysis/attempts.h"

#include <functional>
#include <string>

namespace analysis {

// A time on the samples' clock as text. Without one, times show as seconds on that clock.
using TimeText = std::function<std::string(double t)>;

struct Summary {
    int attempts = 0, passed = 0, findings = 0, unsure = 0, incomplete = 0, open = 0;
    // No finding, and no closing that may have been missed.
    bool Clean() const { return findings == 0 && unsure == 0; }
};
Summary Summarise(const std::vector<Attempt>& attempts);

// One block per attempt, then the set-points read and a summary line. Values in their units
// (V, Hz, ms, s, degrees).
std::string Text(const Analyser& analyser, const TimeText& time = {});
// {"setpoints": [...], "attempts": [...], "summary": {...}} and a newline. Times as `time`
// gives them (strings), plus seconds on the samples' clock ("t" keys); differences in V and
// Hz; absent figures null. An unsure attempt gives the two samples between which the
// permissions vanished ("missed_between_t").
std::string Json(const Analyser& analyser, const TimeText& time = {});

// A JSON string literal of UTF-8 text.
std::string JsonString(const std::string& s);

} // namespace analysis
