#pragma once
// master::Session: the fast Modbus RTU master exchange that the monitor window and the
// command-line program share. No widgets: QtCore, the serial component and the frame codec.
//
// One Session owns one TComm. Callers queue requests; the session sends them one at a time,
// finds each reply in what the line delivers, judges it, and reports exactly one Result per
// request through the request's callback. It keeps the link's statistics.
//
// How a reply is found:
// - Completion: a reply is complete as soon as the bytes its request implies have arrived
//   (03: 5 + 2 x count, 02: 5 + ceil(count / 8), 06 and 10 hex: 8) or an exception reply's
//   five. The port hands over every byte as it arrives, so no silence is waited for.
// - Response time-out: a request with no complete reply ResponseTimeout() ms after it was
//   handed to the port ends as Timeout (nothing, or only echo or noise, arrived) or
//   ShortReply (the start of a reply arrived).
// - Late replies: after an exchange that ended without a trusted reply (time-out, short
//   reply, CRC failure) the next request waits until the line has been silent for
//   LateGuard() ms. Bytes that arrive while no request is out are a late reply: counted
//   (one per burst) and never taken for the next request's reply.
// - Echo: an RS-485 adapter that hears its own transmission returns the request before the
//   reply. A copy of the request at the start of an exchange is skipped and counted. For
//   function 06, whose reply repeats the request, one copy followed by SettleTime() ms of
//   silence is the reply; two copies are echo and reply.
// - Noise: bytes before the reply that cannot start it are skipped. A candidate reply with a
//   wrong CRC is a CRC failure once SettleTime() ms pass with no better candidate.
// - Fast lines: when the last reply came within a millisecond of its request, the next is
//   awaited without sleeping (for at most a millisecond), since waking up would cost as much
//   as the exchange.
//
// Threads: a Session lives on the thread that created it (as TComm, the user-interface or
// main thread); every member is called there and callbacks run there. Callbacks may call
// Submit and Close; they must not delete the Session.

#include "serial/co.h" // ECommsError, TComm

#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace master {

using Bytes = std::vector<uint8_t>;
using Micros = std::chrono::microseconds;
using Clock = std::chrono::steady_clock;

enum class Function : uint8_t {
    ReadDiscreteInputs = 0x02,     // count inputs -> Result::bits
    ReadHoldingRegisters = 0x03,   // count registers -> Result::words
    WriteSingleRegister = 0x06,    // one value; the reply repeats the request
    WriteMultipleRegisters = 0x10, // 1..123 values; the reply repeats address and count
};

// One request. Ranges (checked by Frame and Submit): slave 1..247; 02: count 1..2000;
// 03: count 1..125; 06: one value; 10 hex: 1..123 values; the last address at most FFFF.
struct Request {
    Function function = Function::ReadHoldingRegisters;
    uint8_t slave = 1;
    uint16_t address = 0;
    uint16_t count = 0;           // reads: quantity; writes: values.size()
    std::vector<uint16_t> values; // writes: the raw words, in address order

    static Request ReadHoldingRegisters(uint8_t slave, uint16_t address, uint16_t count);
    static Request ReadDiscreteInputs(uint8_t slave, uint16_t address, uint16_t count);
    static Request WriteSingleRegister(uint8_t slave, uint16_t address, uint16_t value);
    static Request WriteMultipleRegisters(uint8_t slave, uint16_t address,
                                          std::vector<uint16_t> values);

    // The frame as it goes on the wire. Throws std::invalid_argument (English message) when
    // the request is out of range.
    Bytes Frame() const;
    // Bytes of the complete normal reply.
    std::size_t ReplyLength() const;
};

// How an exchange ended; every request sent ends in exactly one of these.
enum class Outcome : uint8_t {
    Ok,         // the reply passed every check
    CrcFailure, // a complete candidate reply with a wrong CRC
    ShortReply, // part of a reply by the time-out, or a byte count that does not fit
    Exception,  // an exception reply; Result::exceptionCode holds its code
    Timeout,    // no reply by the response time-out
    NotEchoed,  // 06 / 10 hex: a reply that does not repeat what was written
    PortLost,   // the port went away while the request was out
    Cancelled,  // Close() ended it (sent or not)
};

// "ok", "crc", "short", "exception", "timeout", "not-echoed", "port-lost", "cancelled".
const char* OutcomeName(Outcome outcome);

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

// The link's health. At every moment, also right after ResetStats() with a request out:
//   requestsSent == repliesAccepted + crcFailures + shortReplies + exceptionReplies
//                   + timeouts + notEchoed + aborted + inFlight
struct Statistics {
    uint64_t requestsSent = 0;
    uint64_t repliesAccepted = 0;
    uint64_t crcFailures = 0;
    uint64_t shortReplies = 0;
    uint64_t exceptionReplies = 0;
    uint8_t lastExceptionCode = 0;
    uint64_t timeouts = 0;
    uint64_t notEchoed = 0;
    uint64_t aborted = 0;  // port lost or closed while out
    uint64_t inFlight = 0; // 1 while a request is out, else 0
    uint64_t lateReplies = 0;
    uint64_t echoesSkipped = 0;
    // Reply times of replies the device gave (Ok and Exception).
    uint64_t timedReplies = 0;
    Micros lastReplyTime{0}, meanReplyTime{0}, p95ReplyTime{0}, maxReplyTime{0};
    // When the last Ok reply was judged; epoch when none yet.
    Clock::time_point lastAcceptedAt{};

    uint64_t Ended() const {
        return repliesAccepted + crcFailures + shortReplies + exceptionReplies + timeouts +
               notEchoed + aborted;
    }
};

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

    int ResponseTimeout() const { return responseTimeoutMs_; }
    void setResponseTimeout(int ms) { responseTimeoutMs_ = ms < 1 ? 1 : ms; }
    // Least time between two requests going out (default 0).
    int Interval() const { return intervalMs_; }
    void setInterval(int ms) { intervalMs_ = ms < 0 ? 0 : ms; }
    // Silence wanted after an untrusted exchange; default (-1) three response time-outs.
    int LateGuard() const { return lateGuardMs_ < 0 ? 3 * responseTimeoutMs_ : lateGuardMs_; }
    void setLateGuard(int ms) { lateGuardMs_ = ms; }
    int SettleTime() const { return settleMs_; }
    void setSettleTime(int ms) { settleMs_ = ms < 1 ? 1 : ms; }

    Statistics Stats() const;
    // Starts the counts again. A request that is out stays counted as sent (and in flight),
    // so that its outcome, when it comes, keeps the counts adding up.
    void ResetStats();

signals:
    // The port went away; the session has closed itself.
    void PortLost();

private:
    struct Job {
        Request request;
        Bytes frame;
        Callback done;
    };
    void OnData(const uint8_t* data, std::size_t length);
    void TrySend();
    void Judge(bool settled, bool timedOut);
    void Finish(Outcome outcome, Bytes reply = {}, uint8_t code = 0);
    void CountReplyTime(Micros t);
    void AwaitFastReply();

    std::unique_ptr<TComm> comm_;
    QTimer responseTimer_, settleTimer_, sendTimer_, awaitTimer_;
    std::deque<Job> queue_;
    std::unique_ptr<Job> current_;
    Bytes received_;
    std::chrono::system_clock::time_point sentAtWall_{};
    Clock::time_point sentAt_{}, lastByteAt_{}, quietUntil_{}, lastSentAt_{};
    Clock::time_point lateByteAt_{};
    bool echoSeen_ = false;
    uint64_t exchanges_ = 0;           // requests handed to the port since construction
    Micros lastOkTime_{Micros::max()}; // reply time of the last Ok reply; max: none yet
    bool closing_ = false;
    Statistics stats_;
    std::array<uint64_t, 64 * 40> histogram_{}; // reply times, 1/64 resolution (log scale)
    int64_t replyTimeSumUs_ = 0;
    int responseTimeoutMs_ = 500;
    int intervalMs_ = 0;
    int lateGuardMs_ = -1;
    int settleMs_ = 20;
};

} // namespace master
