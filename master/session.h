#pragma once
// master::Session: the Modbus RTU master exchange that the monitor window and the command-line
// program share. No widgets: QtCore, the serial component and the frame codec.
//
// One Session owns one TComm. Callers queue requests; the session sends them one at a time,
// at the line's pace, finds each reply in what the line delivers, judges it, and reports
// exactly one Result per request through the request's callback. It keeps the link's
// statistics. The timing rules (silence before a request, time-outs from the end of the
// request on the line, echo, late replies, the bound on every wait) are master::Core's; its
// header states them. The line rate is the port's baud rate.
//
// Threads: a Session lives on the thread that created it (as TComm, the user-interface or
// main thread); every member is called there and callbacks run there. Callbacks may call
// Submit and Close; they must not delete the Session.

#include "master/core.h"
#include "serial/co.h" // ECommsError, TComm

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace master {

struct Result {
    Request request;
    Outcome outcome = Outcome::Cancelled;
    bool sent = false;
    uint8_t exceptionCode = 0;
    std::vector<uint16_t> words; // Ok: 03 the registers; 06 the value written back
    std::vector<uint8_t> bits;   // Ok, 02: one 0/1 per input, first input first
    Bytes requestFrame;          // the bytes sent
    Bytes replyFrame;            // the reply as judged (empty for Timeout, PortLost, Cancelled)
    Micros responseTime{0};      // sent -> last byte of the reply (for a time-out: time waited)
    // When the request was handed to the port (sent == true), on both clocks, read at one
    // instant: the steady one for intervals, the wall clock for records.
    Clock::time_point sentAt{};
    std::chrono::system_clock::time_point sentAtWall{};
};

using Callback = std::function<void(const Result&)>;

class Session : public QObject {
    Q_OBJECT
public:
    explicit Session(QObject* parent = nullptr);
    ~Session() override; // closes without callbacks

    // Opens `portName` (as the windows take it) at `baudRate`, 8 data bits, no parity, 2 stop
    // bits, no flow control. Throws ECommsError as TComm::OpenPort does.
    void Open(const QString& portName, uint32_t baudRate);
    // Ends the request out and every queued one as Cancelled (callbacks called), then closes
    // the port. Harmless when closed.
    void Close();
    bool IsOpen() const;

    // Queues a request. Throws std::invalid_argument when it is out of range; false (nothing
    // queued, no callback) when the session is not open.
    bool Submit(const Request& request, Callback done);
    std::size_t Pending() const { return queue_.size() + (current_ ? 1 : 0); }

    // The line's timing (master::LineSettings; the baud rate comes from Open). Each takes
    // effect from the next request on.
    int ResponseTimeout() const { return core_.Settings().responseTimeoutMs; }
    void setResponseTimeout(int ms) { Tune(&LineSettings::responseTimeoutMs, ms); }
    // Least time between two requests going out (default 0).
    int Interval() const { return core_.Settings().intervalMs; }
    void setInterval(int ms) { Tune(&LineSettings::intervalMs, ms); }
    // Silence wanted after a time-out or a reply cut short; -1 (default): the response time-out.
    int LateGuard() const { return static_cast<int>(core_.LateGuard().count() / 1000); }
    void setLateGuard(int ms) { Tune(&LineSettings::lateGuardMs, ms); }
    // Silence that ends a reply that has started (default 30 ms, at least 3.5 characters).
    int CharTimeout() const { return core_.Settings().charTimeoutMs; }
    void setCharTimeout(int ms) { Tune(&LineSettings::charTimeoutMs, ms); }
    EchoMode Echo() const { return core_.Settings().echo; }
    void setEcho(EchoMode mode);
    // The timing figures in force, and the echo as learned.
    const Core& Line() const { return core_; }

    Statistics Stats() const { return core_.Stats(); }
    // Starts the counts again. A request that is out stays counted as sent (and in flight),
    // so that its outcome, when it comes, keeps the counts adding up.
    void ResetStats() { core_.ResetStats(); }

signals:
    // The port went away; the session has closed itself.
    void PortLost();

private:
    struct Job {
        Request request;
        Bytes frame;
        Callback done;
    };
    void Tune(int LineSettings::*field, int value);
    void OnData(const uint8_t* data, std::size_t length);
    void TrySend();
    void Judge();
    void Deliver(const Verdict& verdict);

    std::unique_ptr<TComm> comm_;
    Core core_;
    QTimer judgeTimer_, sendTimer_;
    std::deque<Job> queue_;
    std::unique_ptr<Job> current_;
    Clock::time_point sentAt_{};
    std::chrono::system_clock::time_point sentAtWall_{};
    bool closing_ = false;
};

} // namespace master
