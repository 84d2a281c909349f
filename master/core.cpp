#include "master/core.h"

#include "modbus/codec.h"

#include <algorithm>
#include <bit>
#include <stdexcept>
#include <string>

namespace master {

Request Request::ReadHoldingRegisters(uint8_t slave, uint16_t address, uint16_t count) {
    return {Function::ReadHoldingRegisters, slave, address, count, {}};
}

Request Request::ReadDiscreteInputs(uint8_t slave, uint16_t address, uint16_t count) {
    return {Function::ReadDiscreteInputs, slave, address, count, {}};
}

Request Request::WriteSingleRegister(uint8_t slave, uint16_t address, uint16_t value) {
    return {Function::WriteSingleRegister, slave, address, 1, {value}};
}

Request Request::WriteMultipleRegisters(uint8_t slave, uint16_t address,
                                        std::vector<uint16_t> values) {
    const auto count = static_cast<uint16_t>(values.size());
    return {Function::WriteMultipleRegisters, slave, address, count, std::move(values)};
}

Bytes Request::Frame() const {
    auto refuse = [](const std::string& why) { throw std::invalid_argument(why); };
    if (slave < 1 || slave > 247)
        refuse("slave address " + std::to_string(slave) + " is outside 1..247");
    switch (function) {
    case Function::ReadDiscreteInputs:
    case Function::ReadHoldingRegisters: {
        const int most = function == Function::ReadDiscreteInputs ? 2000 : 125;
        if (count < 1 || count > most)
            refuse("count " + std::to_string(count) + " is outside 1.." + std::to_string(most));
        if (address + count - 1 > 0xFFFF)
            refuse("address + count passes FFFF");
        const auto f = modbus::BuildRequest(slave, static_cast<uint8_t>(function), address, count);
        return {f.begin(), f.end()};
    }
    case Function::WriteSingleRegister: {
        if (values.size() != 1)
            refuse("function 06 writes exactly one value");
        const auto f = modbus::BuildRequest(slave, 0x06, address, values[0]);
        return {f.begin(), f.end()};
    }
    case Function::WriteMultipleRegisters:
        if (values.empty() || values.size() > 123)
            refuse("function 10 writes 1..123 values, not " + std::to_string(values.size()));
        if (address + values.size() - 1 > 0xFFFF)
            refuse("address + count passes FFFF");
        return modbus::BuildWriteMultipleRequest(slave, address, values);
    }
    refuse("unknown function");
    return {};
}

std::size_t Request::ReplyLength() const {
    switch (function) {
    case Function::ReadDiscreteInputs:
        return 5 + (count + 7u) / 8u;
    case Function::ReadHoldingRegisters:
        return 5 + 2u * count;
    case Function::WriteSingleRegister:
    case Function::WriteMultipleRegisters:
        return 8;
    }
    return 0;
}

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::Ok:
        return "ok";
    case Outcome::CrcFailure:
        return "crc";
    case Outcome::ShortReply:
        return "short";
    case Outcome::Exception:
        return "exception";
    case Outcome::Timeout:
        return "timeout";
    case Outcome::NotEchoed:
        return "not-echoed";
    case Outcome::PortLost:
        return "port-lost";
    case Outcome::Cancelled:
        return "cancelled";
    }
    return "?";
}

namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;

// Reply-time histogram: exact below 128 us, then 64 buckets per power of two, so a
// percentile read from it is within 1/64 of the true value at any scale.
constexpr std::size_t kBuckets = 64 * 40;

std::size_t Bucket(uint64_t us) {
    if (us < 128)
        return us;
    const int e = std::bit_width(us) - 7; // us >> e is in 64..127
    return std::min<std::size_t>(64 * (e + 1) + ((us >> e) - 64), kBuckets - 1);
}

uint64_t BucketValue(std::size_t index) {
    if (index < 128)
        return index;
    const std::size_t e = index / 64 - 1;
    return ((index % 64 + 64) << e) + (uint64_t{1} << e) / 2;
}

// More than this many bytes in one exchange is a flood, not a reply: the oldest are dropped,
// keeping the longest frame's worth, so that the search stays cheap whatever the line does.
constexpr std::size_t kMaxHeld = 2048, kKeptOfFlood = 512, kLongestFrame = 256;

} // namespace

Core::Core(const LineSettings& settings) : histogram_(kBuckets, 0) {
    SetSettings(settings);
}

void Core::SetSettings(const LineSettings& settings) {
    s_ = settings;
    s_.baud = std::max<uint32_t>(s_.baud, 1);
    s_.bitsPerCharacter = std::clamp(s_.bitsPerCharacter, 7, 12);
    s_.responseTimeoutMs = std::max(s_.responseTimeoutMs, 1);
    s_.charTimeoutMs = std::max(s_.charTimeoutMs, 1);
    s_.intervalMs = std::max(s_.intervalMs, 0);
}

Micros Core::CharacterTime() const {
    return Micros((int64_t{s_.bitsPerCharacter} * 1'000'000 + s_.baud - 1) / s_.baud);
}

Micros Core::Gap() const {
    // 3.5 characters, rounded up so that the silence is never short; above 19200 baud the
    // fixed 1.75 ms that Modbus uses (3.5 characters would be shorter than a UART's jitter).
    const int64_t us = (int64_t{s_.bitsPerCharacter} * 3'500'000 + s_.baud - 1) / s_.baud;
    return Micros(std::max<int64_t>(us, 1750));
}

Micros Core::CharTimeout() const {
    return std::max<Micros>(milliseconds(s_.charTimeoutMs), Gap());
}

Micros Core::LateGuard() const {
    return milliseconds(s_.lateGuardMs < 0 ? s_.responseTimeoutMs : s_.lateGuardMs);
}

Micros Core::QuietBound() const {
    return std::max<Micros>(LateGuard() + milliseconds(s_.responseTimeoutMs), Gap());
}

std::optional<bool> Core::Echo() const {
    if (s_.echo == EchoMode::On)
        return true;
    if (s_.echo == EchoMode::Off)
        return false;
    return learnedEcho_;
}

void Core::Reset() {
    out_.reset();
    judgeAt_.reset();
    learnedEcho_.reset();
    guardOwed_ = readySet_ = false;
    lastLineAt_ = lastSentAt_ = lateByteAt_ = readyAt_ = {};
}

Clock::time_point Core::SendTime(Clock::time_point now) {
    if (!readySet_) {
        readyAt_ = now;
        readySet_ = true;
    }
    const Micros silence = guardOwed_ ? std::max(LateGuard(), Gap()) : Gap();
    const auto quiet = std::min(lastLineAt_ + silence, readyAt_ + QuietBound());
    return std::max(quiet, lastSentAt_ + milliseconds(s_.intervalMs));
}

void Core::Sent(const Request& request, const Bytes& frame, Clock::time_point now) {
    const Micros silence = guardOwed_ ? std::max(LateGuard(), Gap()) : Gap();
    if (now < lastLineAt_ + silence)
        ++stats_.quietWaitsCut;
    Out o;
    o.request = request;
    o.frame = frame;
    o.sentAt = now;
    o.requestEnd = now + CharacterTime() * static_cast<int64_t>(frame.size());
    out_ = std::move(o);
    ++stats_.requestsSent;
    lastSentAt_ = now;
    readySet_ = guardOwed_ = echoSkipped_ = false;
    judgeAt_ = out_->requestEnd + milliseconds(s_.responseTimeoutMs);
}

Verdict Core::SendFailed(const Request&) {
    ++stats_.requestsSent;
    ++stats_.aborted;
    readySet_ = false;
    Verdict v;
    v.outcome = Outcome::PortLost;
    return v;
}

void Core::Received(std::span<const uint8_t> bytes, Clock::time_point now) {
    if (bytes.empty())
        return;
    lastLineAt_ = std::max(lastLineAt_, now);
    if (!out_) {
        CountLate(now);
        return;
    }
    Out& o = *out_;
    o.received.insert(o.received.end(), bytes.begin(), bytes.end());
    o.arrivals.emplace_back(o.received.size(), now);
    if (o.received.size() > kMaxHeld) {
        const std::size_t drop = o.received.size() - kKeptOfFlood;
        o.received.erase(o.received.begin(), o.received.begin() + static_cast<std::ptrdiff_t>(drop));
        std::erase_if(o.arrivals, [&](const auto& a) { return a.first <= drop; });
        for (auto& a : o.arrivals)
            a.first -= drop;
    }
}

void Core::CountLate(Clock::time_point now) {
    // One count per burst: bytes closer together than a reply's characters are one burst.
    if (lateByteAt_ == Clock::time_point{} || now - lateByteAt_ > CharTimeout())
        ++stats_.lateReplies;
    lateByteAt_ = now;
}

Clock::time_point Core::ArrivalOf(std::size_t index) const {
    // The arrivals are in order of size, so the first that holds the byte is found by halving
    // (a noisy line can deliver a byte at a time).
    const auto& a = out_->arrivals;
    const auto it = std::upper_bound(a.begin(), a.end(), index,
                                     [](std::size_t i, const auto& e) { return i < e.first; });
    return it != a.end() ? it->second : a.empty() ? Clock::time_point{} : a.back().second;
}

std::optional<Verdict> Core::Judge(Clock::time_point now) {
    if (!out_)
        return std::nullopt;
    return Decide(now);
}

std::optional<Verdict> Core::Decide(Clock::time_point now) {
    Out& o = *out_;
    const Request& rq = o.request;
    const Bytes& req = o.frame;
    const std::span<const uint8_t> buf(o.received);
    const std::size_t n = req.size();
    const auto fn = static_cast<uint8_t>(rq.function);
    const bool is06 = rq.function == Function::WriteSingleRegister;
    const Micros ct = CharacterTime();
    const auto responseDeadline = o.requestEnd + milliseconds(s_.responseTimeoutMs);
    const auto hardEnd = responseDeadline + ct * static_cast<int64_t>(kLongestFrame) + CharTimeout();

    // The echo: the first copy of the request, whole or still arriving.
    std::size_t echoAt = buf.size();
    for (std::size_t p = 0; p < buf.size(); ++p) {
        const std::size_t m = std::min(n, buf.size() - p);
        if (std::equal(req.begin(), req.begin() + static_cast<std::ptrdiff_t>(m), buf.begin() + static_cast<std::ptrdiff_t>(p))) {
            echoAt = p;
            break;
        }
    }
    const bool echoWhole = echoAt + n <= buf.size();
    const std::optional<bool> echo = Echo();
    std::size_t scanFrom = 0;
    bool singleCopy = false; // 06: one copy, echo or reply not known yet
    if (echoAt < buf.size() && echoWhole) {
        bool isEcho = !is06;
        if (is06) {
            const auto complete = ArrivalOf(echoAt + n - 1);
            if (echo)
                isEcho = *echo;
            else if (complete < o.requestEnd)
                isEcho = false; // faster than the line: a link without line time, which does not echo
            else if (complete < o.sentAt + ct * static_cast<int64_t>(2 * n))
                isEcho = true; // complete before any reply could be: the adapter's echo
            else
                singleCopy = true;
        }
        if (is06 && !isEcho && !singleCopy) {
            return Finish(Outcome::Ok, Bytes(req), 0, ArrivalOf(echoAt + n - 1), now);
        } else {
            if (isEcho) {
                echoSkipped_ = true;
                if (s_.echo == EchoMode::Auto)
                    learnedEcho_ = true;
            }
            scanFrom = echoAt + n;
        }
    }

    bool partial = false, bad = false;
    Bytes badFrame;
    // The first byte of the first candidate reply (slave address, then its function).
    std::optional<Clock::time_point> replyStart;
    // A copy still arriving is taken as a candidate too: whole, it is skipped as the echo;
    // cut short by a silence, it is a reply cut short as any other.
    for (std::size_t p = scanFrom; p < buf.size(); ++p) {
        if (buf[p] != rq.slave)
            continue;
        if (!partial && !bad && ArrivalOf(p) > responseDeadline) {
            // The first candidate started after the response time-out: no reply to this request.
            if (!o.lateCounted) {
                o.lateCounted = true;
                CountLate(ArrivalOf(p));
            }
            break;
        }
        if (p + 1 >= buf.size()) {
            // An address byte: the start of a reply, judged by the silence after it.
            partial = true;
            if (!replyStart)
                replyStart = ArrivalOf(p);
            break;
        }
        std::size_t length = 0;
        bool countMismatch = false;
        const bool exception = buf[p + 1] == (fn | 0x80);
        if (exception) {
            length = 5;
        } else if (buf[p + 1] == fn) {
            length = rq.ReplyLength();
            const bool read = rq.function == Function::ReadHoldingRegisters ||
                              rq.function == Function::ReadDiscreteInputs;
            if (read && p + 2 >= buf.size()) {
                partial = true;
                if (!replyStart)
                    replyStart = ArrivalOf(p);
                continue;
            }
            if (read && buf[p + 2] != length - 5) {
                countMismatch = true;
                length = 5u + buf[p + 2];
            }
        } else {
            continue;
        }
        if (!replyStart)
            replyStart = ArrivalOf(p);
        if (p + length > buf.size()) {
            partial = true;
            continue;
        }
        const auto frame = buf.subspan(p, length);
        if (!modbus::FrameCrcValid(frame)) {
            if (!countMismatch && !bad) {
                bad = true;
                badFrame.assign(frame.begin(), frame.end());
            }
            continue;
        }
        // A reply: the line's echo is now known either way.
        if (s_.echo == EchoMode::Auto)
            learnedEcho_ = echoAt < p && echoWhole;
        Bytes reply(frame.begin(), frame.end());
        const auto lastByte = ArrivalOf(p + length - 1);
        Outcome outcome = Outcome::Ok;
        uint8_t code = 0;
        if (countMismatch)
            outcome = Outcome::ShortReply;
        else if (exception)
            outcome = Outcome::Exception, code = frame[2];
        else if (is06)
            outcome = std::equal(req.begin(), req.end(), frame.begin()) ? Outcome::Ok : Outcome::NotEchoed;
        else if (rq.function == Function::WriteMultipleRegisters)
            outcome = std::equal(req.begin(), req.begin() + 6, frame.begin()) ? Outcome::Ok : Outcome::NotEchoed;
        return Finish(outcome, std::move(reply), code, lastByte, now);
    }

    const auto lastByte = o.arrivals.empty() ? o.sentAt : o.arrivals.back().second;
    const bool started = replyStart && *replyStart <= responseDeadline;
    Clock::time_point at = responseDeadline;
    if (started) {
        const auto replyEnd = *replyStart + ct * static_cast<int64_t>(rq.ReplyLength()) + CharTimeout();
        at = std::min(lastByte + CharTimeout(), std::max(replyEnd, responseDeadline));
    }
    at = std::min(at, hardEnd);
    if (now < at) {
        judgeAt_ = at;
        return std::nullopt;
    }
    if (started && bad && !partial) // a whole frame: nothing more comes
        return Finish(Outcome::CrcFailure, std::move(badFrame), 0, now, now);
    if (singleCopy && !started) {
        // Nothing followed the one copy within the response time-out: it was the reply.
        return Finish(Outcome::Ok, Bytes(req), 0, ArrivalOf(echoAt + n - 1), now);
    }
    Verdict v = started ? Finish(bad ? Outcome::CrcFailure : Outcome::ShortReply,
                                 bad ? std::move(badFrame) : Bytes(buf.begin(), buf.end()), 0, now, now)
                        : Finish(Outcome::Timeout, {}, 0, now, now);
    // The device may still answer, or send the rest of what it began: the guard's silence
    // counts from here.
    guardOwed_ = true;
    lastLineAt_ = std::max(lastLineAt_, now);
    return v;
}

Verdict Core::Finish(Outcome outcome, Bytes reply, uint8_t code, Clock::time_point lastByte,
                     Clock::time_point now) {
    Verdict v;
    v.outcome = outcome;
    v.exceptionCode = code;
    v.reply = std::move(reply);
    v.responseTime = std::chrono::duration_cast<Micros>(lastByte - out_->sentAt);
    // The request held the line until its end, unless a reply came sooner: a link without
    // line time (a virtual port), where the request's characters took no time at all.
    lastLineAt_ = std::max(lastLineAt_, std::min(out_->requestEnd, lastByte));
    if (outcome == Outcome::Ok || outcome == Outcome::Exception)
        CountReplyTime(v.responseTime);
    if (echoSkipped_)
        ++stats_.echoesSkipped;
    switch (outcome) {
    case Outcome::Ok:
        ++stats_.repliesAccepted;
        stats_.lastAcceptedAt = now;
        break;
    case Outcome::CrcFailure:
        ++stats_.crcFailures;
        break;
    case Outcome::ShortReply:
        ++stats_.shortReplies;
        break;
    case Outcome::Exception:
        ++stats_.exceptionReplies;
        stats_.lastExceptionCode = code;
        break;
    case Outcome::Timeout:
        ++stats_.timeouts;
        break;
    case Outcome::NotEchoed:
        ++stats_.notEchoed;
        break;
    case Outcome::PortLost:
    case Outcome::Cancelled:
        ++stats_.aborted;
        break;
    }
    out_.reset();
    judgeAt_.reset();
    echoSkipped_ = false;
    lateByteAt_ = {};
    return v;
}

Verdict Core::Abort(Outcome outcome, Clock::time_point now) {
    if (!out_) {
        Verdict v;
        v.outcome = outcome;
        return v;
    }
    return Finish(outcome, {}, 0, now, now);
}

void Core::CountReplyTime(Micros t) {
    const auto us = static_cast<uint64_t>(std::max<int64_t>(0, t.count()));
    ++stats_.timedReplies;
    stats_.lastReplyTime = t;
    stats_.maxReplyTime = std::max(stats_.maxReplyTime, t);
    replyTimeSumUs_ += static_cast<int64_t>(us);
    ++histogram_[Bucket(us)];
}

Statistics Core::Stats() const {
    Statistics s = stats_;
    s.inFlight = out_ ? 1 : 0;
    if (s.timedReplies == 0)
        return s;
    s.meanReplyTime = Micros(replyTimeSumUs_ / static_cast<int64_t>(s.timedReplies));
    // The smallest bucket at or below which 95 % of the reply times lie.
    const uint64_t want = (s.timedReplies * 95 + 99) / 100;
    uint64_t seen = 0;
    for (std::size_t i = 0; i < histogram_.size(); ++i) {
        seen += histogram_[i];
        if (seen >= want) {
            s.p95ReplyTime = std::min(Micros(BucketValue(i)), s.maxReplyTime);
            break;
        }
    }
    return s;
}

void Core::ResetStats() {
    stats_ = {};
    stats_.requestsSent = out_ ? 1 : 0;
    std::fill(histogram_.begin(), histogram_.end(), 0);
    replyTimeSumUs_ = 0;
}

} // namespace master
