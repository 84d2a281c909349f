#include "master/session.h"

#include "serial/deviceline.h"
#include "serial/port.h" // MAXDWORD

#include <algorithm>
#include <thread>

namespace master {

namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;

// Below this a wait for the line is slept out exactly rather than left to a timer, whose
// whole milliseconds (and wake-up under load) would add up to a millisecond to every gap; it
// covers the 1.75 ms gap of the fast rates, where that millisecond is a tenth of an exchange.
constexpr Micros kSleepBelow{2500};

} // namespace

Session::Session(QObject* parent) : QObject(parent), comm_(std::make_unique<TComm>()) {
    for (QTimer* t : {&judgeTimer_, &sendTimer_}) {
        t->setSingleShot(true);
        t->setTimerType(Qt::PreciseTimer);
    }
    connect(&judgeTimer_, &QTimer::timeout, this, [this] { Judge(); });
    connect(&sendTimer_, &QTimer::timeout, this, [this] { TrySend(); });

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
                    Deliver(core_.Abort(Outcome::PortLost, Clock::now()));
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

void Session::Tune(int LineSettings::*field, int value) {
    LineSettings s = core_.Settings();
    s.*field = value;
    core_.SetSettings(s);
}

void Session::setEcho(EchoMode mode) {
    LineSettings s = core_.Settings();
    s.echo = mode;
    core_.SetSettings(s);
}

void Session::Open(const QString& portName, uint32_t baudRate) {
    Close();
    comm_->setCommName(portName);
    comm_->setBaudRate(baudRate);
    comm_->OpenPort();
    LineSettings s = core_.Settings();
    s.baud = baudRate;
    core_.SetSettings(s);
    core_.Reset();
}

void Session::Close() {
    closing_ = true;
    if (current_)
        Deliver(core_.Abort(Outcome::Cancelled, Clock::now()));
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
    judgeTimer_.stop();
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
    auto now = Clock::now();
    const auto at = core_.SendTime(now);
    if (at - now >= kSleepBelow) {
        // Woken a little early, the rest is slept out exactly on the next try.
        sendTimer_.start(duration_cast<milliseconds>(at - now - kSleepBelow / 2));
        return;
    }
    if (at > now) {
        std::this_thread::sleep_until(at);
        now = Clock::now();
    }
    sendTimer_.stop();
    current_ = std::make_unique<Job>(std::move(queue_.front()));
    queue_.pop_front();
    sentAt_ = now;
    sentAtWall_ = std::chrono::system_clock::now();
    if (!comm_->SendData(current_->frame.data(), static_cast<uint16_t>(current_->frame.size()))) {
        // The writer has ended: the port is going away; the hang-up event closes it.
        Deliver(core_.SendFailed(current_->request));
        return;
    }
    core_.Sent(current_->request, current_->frame, now);
    Judge();
}

void Session::OnData(const uint8_t* data, std::size_t length) {
    core_.Received({data, length}, Clock::now());
    if (current_)
        Judge();
    else if (!queue_.empty())
        TrySend(); // the silence owed starts again
}

void Session::Judge() {
    if (!current_)
        return;
    const auto now = Clock::now();
    if (const auto verdict = core_.Judge(now)) {
        Deliver(*verdict);
        return;
    }
    if (const auto at = core_.JudgeTime()) {
        const auto wait = duration_cast<milliseconds>(*at - now + milliseconds(1) - Micros(1));
        judgeTimer_.start(std::max(wait, milliseconds(0)));
    }
}

void Session::Deliver(const Verdict& v) {
    judgeTimer_.stop();
    std::unique_ptr<Job> job = std::move(current_);
    Result r;
    r.request = std::move(job->request);
    r.requestFrame = std::move(job->frame);
    r.sent = true;
    r.sentAt = sentAt_;
    r.sentAtWall = sentAtWall_;
    r.outcome = v.outcome;
    r.exceptionCode = v.exceptionCode;
    r.responseTime = v.responseTime;
    r.replyFrame = v.reply;
    const Bytes& reply = r.replyFrame;
    if (v.outcome == Outcome::Ok) {
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
    if (job->done)
        job->done(r);
    TrySend();
}

} // namespace master
