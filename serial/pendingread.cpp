#include "serial/pendingread.h"

namespace serial {

bool PendingRead::Start(const CommTimeouts& t, uint8_t* buf, uint32_t bufSize,
                        Clock::time_point now) {
    *this = {};
    buffer = buf;
    size = bufSize;
    active = true;
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0)
        return false;
    const auto ms = [](uint64_t v) { return std::chrono::milliseconds(v); };
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
        t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < MAXDWORD) {
        firstByteCompletes = true;
        hasTotal = true;
        totalDeadline = now + ms(t.ReadTotalTimeoutConstant);
    } else {
        const uint64_t total =
            uint64_t{t.ReadTotalTimeoutMultiplier} * size + t.ReadTotalTimeoutConstant;
        hasTotal = total > 0;
        if (hasTotal)
            totalDeadline = now + ms(total);
        hasInterval = t.ReadIntervalTimeout > 0 && t.ReadIntervalTimeout != MAXDWORD;
        interval = ms(t.ReadIntervalTimeout);
    }
    return true;
}

void PendingRead::Got(uint32_t n, Clock::time_point now) {
    count += n;
    if (n > 0) {
        sawByte = true;
        lastByte = now;
    }
}

void PendingRead::CheckDeadlines(Clock::time_point now) {
    if (!active || complete)
        return;
    if (hasTotal && now >= totalDeadline)
        CompleteWithData();
    else if (hasInterval && sawByte && now >= lastByte + interval)
        CompleteWithData();
}

std::optional<PendingRead::Clock::time_point> PendingRead::Deadline() const {
    if (!active || complete)
        return std::nullopt;
    std::optional<Clock::time_point> at;
    if (hasTotal)
        at = totalDeadline;
    if (hasInterval && sawByte && (!at || lastByte + interval < *at))
        at = lastByte + interval;
    return at;
}

} // namespace serial
