#include "master/session.h"

#include "modbus/codec.h"
#include "serial/deviceline.h"
#include "serial/port.h" // MAXDWORD

#include <algorithm>
#include <bit>
#include <stdexcept>
#include <string>
#include <thread>

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

} // namespace master

namespace master {

namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;

bool Untrusted(Outcome o) {
    return o == Outcome::Timeout || o == Outcome::ShortReply || o == Outcome::CrcFailure;
}

// Reply-time histogram: exact below 128 us, then 64 buckets per power of two, so a
// percentile read from it is within 1/64 of the true value at any scale.
std::size_t Bucket(uint64_t us) {
    if (us < 128)
        return us;
    const int e = std::bit_width(us) - 7; // us >> e is in 64..127
    return std::min<std::size_t>(64 * (e + 1) + ((us >> e) - 64), 64 * 40 - 1);
}

uint64_t BucketValue(std::size_t index) {
    if (index < 128)
        return index;
    const std::size_t e = index / 64 - 1;
    return ((index % 64 + 64) << e) + (uint64_t{1} << e) / 2;
}

// Replies faster than this are waited for without sleeping (Session::AwaitFastReply).
constexpr Micros kFastReply{1000};

// Tells the processor that this is a wait loop (lets the other hardware thread run).
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("yield");
#endif
}

} // namespace

Session::Session(QObject* parent) : QObject(parent), comm_(std::make_unique<TComm>()) {
    for (QTimer* t : {&responseTimer_, &settleTimer_, &sendTimer_}) {
        t->setSingleShot(true);
        t->setTimerType(Qt::PreciseTimer);
    }
    connect(&responseTimer_, &QTimer::timeout, this, [this] { Judge(false, true); });
    connect(&settleTimer_, &QTimer::timeout, this, [this] { Judge(true, false); });
    connect(&sendTimer_, &QTimer::timeout, this, [this] { TrySend(); });
    awaitTimer_.setSingleShot(true);
    connect(&awaitTimer_, &QTimer::timeout, this, [this] { AwaitFastReply(); });

    TComm& c = *comm_;
    serial::ConfigureDeviceLine(c);
    // Every read completes with its first bytes, so a reply is judged as soon as its last
    // byte is in, never after an interval of silence. The total must not run out: a read
    // that ends empty ends the component's reader, so it is as long as the port allows.
    c.setReadIntervalTimeout(serial::MAXDWORD);
    c.setReadTotalTimeoutMultiplier(serial::MAXDWORD);
    c.setReadTotalTimeoutConstant(serial::MAXDWORD - 1);
    c.setLineBreakTime(0xFFFFFFFu); // the session keeps its own time-outs
    c.OnReceiveData = [this](QObject*, const void* data, uint16_t length) {
        OnData(static_cast<const uint8_t*>(data), length);
    };
    c.OnRequestHangup = [this](QObject*) {
        // Closing waits for the component's threads: not from inside its own event.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (!comm_->IsOpen())
                    return;
                if (current_)
                    Finish(Outcome::PortLost);
                Close();
                emit PortLost();
            },
            Qt::QueuedConnection);
    };
}

Session::~Session() {
    comm_->OnReceiveData = nullptr;
    comm_->OnRequestHangup = nullptr;
    comm_->ClosePort();
}

void Session::Open(const QString& portName, uint32_t baudRate) {
    Close();
    comm_->setCommName(portName);
    comm_->setBaudRate(baudRate);
    comm_->OpenPort();
    quietUntil_ = lastSentAt_ = {};
    lastOkTime_ = Micros::max();
}

void Session::Close() {
    closing_ = true;
    if (current_)
        Finish(Outcome::Cancelled);
    while (!queue_.empty()) {
        Job job = std::move(queue_.front());
        queue_.pop_front();
        Result r;
        r.request = std::move(job.request);
        r.requestFrame = std::move(job.frame);
        if (job.done)
            job.done(r);
    }
    sendTimer_.stop();
    comm_->ClosePort();
    closing_ = false;
}

bool Session::IsOpen() const {
    return comm_->IsOpen();
}

bool Session::Submit(const Request& request, Callback done) {
    Bytes frame = request.Frame(); // refuses out-of-range requests before anything is queued
    if (!IsOpen())
        return false;
    queue_.push_back({request, std::move(frame), std::move(done)});
    TrySend();
    return true;
}

void Session::TrySend() {
    if (current_ || queue_.empty() || closing_ || !IsOpen())
        return;
    const auto now = Clock::now();
    const auto earliest = std::max(quietUntil_, lastSentAt_ + milliseconds(intervalMs_));
    if (now < earliest) {
        const auto wait = duration_cast<milliseconds>(earliest - now) + milliseconds(1);
        sendTimer_.start(static_cast<int>(wait.count()));
        return;
    }
    current_ = std::make_unique<Job>(std::move(queue_.front()));
    queue_.pop_front();
    received_.clear();
    echoSeen_ = false;
    if (!comm_->SendData(current_->frame.data(), static_cast<uint16_t>(current_->frame.size()))) {
        // The writer has ended: the port is going away; the hang-up event closes it.
        ++stats_.requestsSent;
        Finish(Outcome::PortLost);
        return;
    }
    ++stats_.requestsSent;
    ++exchanges_;
    sentAt_ = lastSentAt_ = now;
    sentAtWall_ = std::chrono::system_clock::now();
    responseTimer_.start(responseTimeoutMs_);
    if (lastOkTime_ < kFastReply)
        awaitTimer_.start(0); // from the event loop, not from inside the result's callback
}

// A line that answered the last request within a millisecond (a pseudo-terminal, a virtual
// adapter) will answer this one as fast, and being woken from sleep by the port's thread would
// take about as long as the whole exchange. So the reply is awaited here, for at most
// kFastReply, taking what the port has delivered as it comes. A serial line at any real rate
// needs milliseconds for the frames alone and never gets here.
void Session::AwaitFastReply() {
    const uint64_t exchange = exchanges_;
    const auto until = Clock::now() + kFastReply;
    for (unsigned turn = 1; current_ && exchanges_ == exchange && Clock::now() < until; ++turn) {
        comm_->DeliverReceivedData();
        // The port's thread or the device may be waiting for this core: give it up now and
        // then (a system call each time, so not on every turn).
        if (turn % 32 == 0)
            std::this_thread::yield();
        else
            CpuRelax();
    }
}

void Session::OnData(const uint8_t* data, std::size_t length) {
    const auto now = Clock::now();
    if (!current_) {
        // Nothing is asked: a reply to a request that has already ended. One count per
        // burst, and the next request waits for the line to fall silent again.
        if (lateByteAt_ == Clock::time_point{} || now - lateByteAt_ > milliseconds(settleMs_))
            ++stats_.lateReplies;
        lateByteAt_ = now;
        quietUntil_ = std::max(quietUntil_, now + milliseconds(LateGuard()));
        if (!queue_.empty())
            TrySend(); // re-arms the send timer for the new quiet time
        return;
    }
    received_.insert(received_.end(), data, data + length);
    lastByteAt_ = now;
    Judge(false, false);
}

void Session::Judge(bool settled, bool timedOut) {
    if (!current_)
        return;
    const Request& rq = current_->request;
    const Bytes& req = current_->frame;
    const std::span<const uint8_t> buf(received_);
    const auto fn = static_cast<uint8_t>(rq.function);
    std::size_t pos = 0;
    if (buf.size() >= req.size() && std::equal(req.begin(), req.end(), buf.begin())) {
        // A copy of the request. For 06 a single copy is also what the reply looks like: it
        // is the reply unless a second copy follows within the settle time.
        if (rq.function == Function::WriteSingleRegister && buf.size() == req.size()) {
            if (!settled && !timedOut) {
                settleTimer_.start(settleMs_);
                return;
            }
            Finish(Outcome::Ok, req);
            return;
        }
        echoSeen_ = true;
        pos = req.size();
    }
    bool partial = false;
    Bytes bad;
    for (std::size_t p = pos; p < buf.size(); ++p) {
        if (buf[p] != rq.slave)
            continue;
        if (p + 1 >= buf.size()) {
            partial = true;
            break;
        }
        std::size_t length = 0;
        bool countMismatch = false;
        if (buf[p + 1] == (fn | 0x80)) {
            length = 5;
        } else if (buf[p + 1] == fn) {
            length = rq.ReplyLength();
            const bool read = rq.function == Function::ReadHoldingRegisters ||
                              rq.function == Function::ReadDiscreteInputs;
            if (read && p + 2 >= buf.size()) {
                partial = true;
                continue;
            }
            if (read && buf[p + 2] != length - 5) {
                countMismatch = true;
                length = 5u + buf[p + 2];
            }
        } else {
            continue;
        }
        if (p + length > buf.size()) {
            partial = true;
            continue;
        }
        const auto frame = buf.subspan(p, length);
        if (!modbus::FrameCrcValid(frame)) {
            if (!countMismatch && bad.empty())
                bad.assign(frame.begin(), frame.end());
            continue;
        }
        Bytes reply(frame.begin(), frame.end());
        if (countMismatch)
            Finish(Outcome::ShortReply, std::move(reply));
        else if (length == 5 && buf[p + 1] == (fn | 0x80))
            Finish(Outcome::Exception, std::move(reply), frame[2]);
        else if (rq.function == Function::WriteSingleRegister)
            Finish(std::equal(req.begin(), req.end(), frame.begin()) ? Outcome::Ok
                                                                     : Outcome::NotEchoed,
                   std::move(reply));
        else if (rq.function == Function::WriteMultipleRegisters)
            Finish(std::equal(req.begin(), req.begin() + 6, frame.begin()) ? Outcome::Ok
                                                                           : Outcome::NotEchoed,
                   std::move(reply));
        else
            Finish(Outcome::Ok, std::move(reply));
        return;
    }
    if (timedOut)
        Finish(!bad.empty() ? Outcome::CrcFailure
               : partial    ? Outcome::ShortReply
                            : Outcome::Timeout,
               !bad.empty() ? bad
               : partial    ? received_
                            : Bytes{});
    else if (!bad.empty() && !partial && settled)
        Finish(Outcome::CrcFailure, bad);
    else if (!bad.empty())
        settleTimer_.start(settleMs_); // a better candidate may still be arriving
}

void Session::Finish(Outcome outcome, Bytes reply, uint8_t code) {
    responseTimer_.stop();
    settleTimer_.stop();
    std::unique_ptr<Job> job = std::move(current_);
    const auto now = Clock::now();
    Result r;
    r.request = std::move(job->request);
    r.requestFrame = std::move(job->frame);
    r.sent = true;
    r.sentAt = sentAt_;
    r.sentAtWall = sentAtWall_;
    r.outcome = outcome;
    r.exceptionCode = code;
    const bool replied =
        outcome == Outcome::Ok || outcome == Outcome::Exception || outcome == Outcome::NotEchoed;
    r.responseTime = duration_cast<Micros>((replied ? lastByteAt_ : now) - sentAt_);
    if (outcome == Outcome::Ok) {
        if (r.request.function == Function::ReadHoldingRegisters ||
            r.request.function == Function::WriteSingleRegister) {
            const std::size_t first = r.request.function == Function::ReadHoldingRegisters ? 3 : 4;
            const std::size_t n =
                r.request.function == Function::ReadHoldingRegisters ? r.request.count : 1;
            for (std::size_t i = 0; i < n; ++i)
                r.words.push_back(
                    static_cast<uint16_t>(reply[first + 2 * i] << 8 | reply[first + 2 * i + 1]));
        } else if (r.request.function == Function::ReadDiscreteInputs) {
            for (std::size_t i = 0; i < r.request.count; ++i)
                r.bits.push_back((reply[3 + i / 8] >> (i % 8)) & 1);
        }
    }
    r.replyFrame = std::move(reply);
    if (echoSeen_)
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
    if (outcome == Outcome::Ok || outcome == Outcome::Exception)
        CountReplyTime(r.responseTime);
    if (outcome == Outcome::Ok)
        lastOkTime_ = r.responseTime;
    else if (outcome != Outcome::Exception)
        lastOkTime_ = Micros::max();
    if (Untrusted(outcome))
        quietUntil_ = now + milliseconds(LateGuard());
    lateByteAt_ = {};
    if (job->done)
        job->done(r);
    TrySend();
}

void Session::CountReplyTime(Micros t) {
    const auto us = static_cast<uint64_t>(std::max<int64_t>(0, t.count()));
    ++stats_.timedReplies;
    stats_.lastReplyTime = t;
    stats_.maxReplyTime = std::max(stats_.maxReplyTime, t);
    replyTimeSumUs_ += static_cast<int64_t>(us);
    ++histogram_[Bucket(us)];
}

Statistics Session::Stats() const {
    Statistics s = stats_;
    s.inFlight = current_ ? 1 : 0;
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

void Session::ResetStats() {
    stats_ = {};
    stats_.requestsSent = current_ ? 1 : 0;
    histogram_.fill(0);
    replyTimeSumUs_ = 0;
}

} // namespace master
