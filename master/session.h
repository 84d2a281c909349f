#pragma once
// master::Session: the fast Modbus RTU master exchange that the monitor window and the
// command-line program share. No widgets: QtCore, the serial component and the frame codec.
//
// One Session owns one TComm. Callers queue requests; the session sends them one at a time,
// finds each reply in what the line delivers, judges it, and reports exactly one Result per
// accepted request through the request's callback and the `Finished` signal. It keeps the
// link's statistics.
//
// How a reply is found (the rules are the session's, not the test windows'):
// - Completion: a reply is complete as soon as the bytes its request implies have arrived
//   (03: 5 + 2 x count, 02: 5 + ceil(count / 8), 06 and 10 hex: 8) or an exception reply's
//   five. The port delivers every byte at once (no waiting for a silence), so a reply is
//   judged microseconds after its last byte.
// - Response time-out: a request with no complete reply `ResponseTimeout()` ms after it was
//   handed to the port ends as Timeout (nothing, or only echo or noise, arrived) or
//   ShortReply (part of a reply arrived).
// - Late replies: after an exchange that ended without a reply that can be trusted (time-out,
//   short reply, CRC failure), the next request waits until the line has been silent for
//   `LateGuard()` ms, counted from the end of that exchange and from every byte that arrives
//   meanwhile. Bytes arriving then, or while no request is waiting, are a late reply: counted
//   in Statistics::lateReplies and never taken for the next request's reply. A frame from
//   another slave, or of another function, within an exchange is skipped and counted the same
//   way.
// - Echo: an RS-485 adapter that hears its own transmission returns the request before the
//   reply. Bytes at the start of an exchange that repeat the request are skipped and counted
//   (Statistics::echoesSkipped). Function 06, whose correct reply repeats the request too: a
//   copy followed by another copy is echo and reply; a single copy followed by
//   `SettleTime()` ms of silence is the reply, unless the line has shown that it echoes every
//   request (three exchanges in a row began with an echo, or a second copy of an accepted 06
//   reply arrived afterwards); then the first copy is always the echo.
// - Noise: bytes before the reply that are neither the echo nor the start of the expected
//   reply are skipped (Statistics::noiseSkipped counts the exchanges where that happened):
//   the reply is searched for at every position. A candidate reply (the request's slave, its
//   function or the exception code function | 0x80, the implied length) whose CRC is wrong
//   is a CRC failure once `SettleTime()` ms pass with no further byte, so a false start in
//   noise does not condemn the good reply behind it.
//
// Threads: a Session lives on the thread that created it (the user-interface thread, as
// TComm) and every member is called there; callbacks and signals run there too.
// Re-entrancy: callbacks and slots may call Submit, ClearQueue, Close and Open; they must not
// delete the Session (use deleteLater()).

#include "serial/co.h" // ECommsError, TComm

#include <QDateTime>
#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace master {

using Bytes = std::vector<uint8_t>;
using Micros = std::chrono::microseconds;

// The functions the session speaks (function code values).
enum class Function : uint8_t {
    ReadDiscreteInputs = 0x02,     // count inputs -> Result::bits
    ReadHoldingRegisters = 0x03,   // count registers -> Result::words
    WriteSingleRegister = 0x06,    // one value; the reply repeats the request
    WriteMultipleRegisters = 0x10, // 1..123 values; the reply repeats address and count
};

// One request. Build it with the factory functions; Submit checks the ranges:
// slave 1..247; 02: count 1..2000; 03: count 1..125; 06: exactly one value;
// 10 hex: 1..123 values; address + count must not pass FFFF.
struct Request {
    Function function = Function::ReadHoldingRegisters;
    uint8_t slave = 1;
    uint16_t address = 0;
    uint16_t count = 0;           // reads: quantity; writes: values.size()
    std::vector<uint16_t> values; // writes: the raw 16-bit words, in address order
    uint64_t tag = 0;             // the caller's, returned in the Result untouched

    static Request ReadHoldingRegisters(uint8_t slave, uint16_t address, uint16_t count);
    static Request ReadDiscreteInputs(uint8_t slave, uint16_t address, uint16_t count);
    static Request WriteSingleRegister(uint8_t slave, uint16_t address, uint16_t value);
    static Request WriteMultipleRegisters(uint8_t slave, uint16_t address,
                                          std::vector<uint16_t> values);

    // The request frame as it goes on the wire (CRC included). Throws std::invalid_argument
    // with an English message when the request is out of the ranges above.
    Bytes Frame() const;
    // Bytes of the complete normal reply this request implies.
    std::size_t ReplyLength() const;
};

// How an exchange ended. Every request handed to the port ends in exactly one of the first
// eight; Cancelled is also given to requests that were never sent.
enum class Outcome : uint8_t {
    Ok,          // the reply passed every check; words / bits hold its data
    CrcFailure,  // a complete candidate reply with a wrong CRC
    ShortReply,  // part of a reply by the time-out, or a reply whose CRC is right but whose
                 // byte count does not match the request
    Exception,   // an exception reply; Result::exceptionCode holds its code
    Timeout,     // no reply by the response time-out (echo and noise do not count as one)
    NotEchoed,   // 06 / 10 hex: a well-formed reply that does not repeat what was written
    PortLost,    // the port went away (adapter unplugged) while the request was out
    Cancelled,   // Close() ended it while it was out, or it was never sent (ClearQueue,
                 // Close, or the port was lost before its turn)
};

// Short English word for an outcome: "ok", "crc", "short", "exception", "timeout",
// "not-echoed", "port-lost", "cancelled" (for records and JSON).
const char* OutcomeName(Outcome outcome);

struct Result {
    uint64_t id = 0; // as returned by Submit
    Request request;
    Outcome outcome = Outcome::Cancelled;
    bool sent = false;         // the request was handed to the port (false: never sent)
    uint8_t exceptionCode = 0; // Outcome::Exception: the code (1 illegal function, ...)
    std::vector<uint16_t> words; // Ok: 03 the registers (raw, as on the wire); 06 the value
                                 // repeated; 10 hex empty
    std::vector<uint8_t> bits;   // Ok, 02: one 0/1 per input, first input first
    Bytes requestFrame;          // the bytes sent
    Bytes replyFrame; // the reply as judged: Ok, Exception, NotEchoed, CrcFailure, ShortReply
                      // (what arrived of it); empty for Timeout, PortLost, Cancelled
    Bytes received;   // every byte that arrived during the exchange, echo and noise included
    Micros responseTime{0}; // request handed to the port -> reply judged; for a time-out the
                            // time waited; 0 when not sent
    QDateTime finishedAt;   // local wall-clock time when the exchange ended
};

using Callback = std::function<void(const Result&)>;

// The link's health. Outcome counters count requests sent, so
//   requestsSent == repliesAccepted + crcFailures + shortReplies + exceptionReplies
//                   + timeouts + notEchoed + portLost + cancelled
// once no request is out (Statistics::InFlight() is 0). lateReplies, echoesSkipped and
// noiseSkipped are counted beside them.
struct Statistics {
    uint64_t requestsSent = 0;
    uint64_t repliesAccepted = 0; // Outcome::Ok
    uint64_t crcFailures = 0;
    uint64_t shortReplies = 0;
    uint64_t exceptionReplies = 0; // refusals
    uint8_t lastExceptionCode = 0; // 0: none since the reset
    uint64_t timeouts = 0;
    uint64_t notEchoed = 0;
    uint64_t portLost = 0;
    uint64_t cancelled = 0; // sent, then ended by Close()
    uint64_t lateReplies = 0;
    uint64_t echoesSkipped = 0;
    uint64_t noiseSkipped = 0;

    // Reply times of accepted replies (Outcome::Ok and Exception: the device answered).
    uint64_t timedReplies = 0; // how many the figures below cover
    Micros lastReplyTime{0};
    Micros meanReplyTime{0};
    Micros p95ReplyTime{0}; // within 1/64 (1.6 %) of the true value
    Micros maxReplyTime{0};
    // When the last Ok reply was judged (steady clock); unset (epoch) when none since reset.
    std::chrono::steady_clock::time_point lastAcceptedAt{};
    bool HasAccepted() const { return lastAcceptedAt != std::chrono::steady_clock::time_point{}; }

    uint64_t Ended() const {
        return repliesAccepted + crcFailures + shortReplies + exceptionReplies + timeouts +
               notEchoed + portLost + cancelled;
    }
    uint64_t InFlight() const { return requestsSent - Ended(); }
};

class Session : public QObject {
    Q_OBJECT
public:
    explicit Session(QObject* parent = nullptr);
    // Closes the port; requests still queued or out are dropped without callbacks.
    ~Session() override;

    // Opens `portName` (as the windows take it: "COM2" through the alias folder, a path, a
    // bare name under /dev) at `baudRate`, 8 data bits, no parity, 2 stop bits, no flow
    // control, as the test windows set the line. Throws ECommsError (the serial component's,
    // with path and system error for the standard error report); the session then stays
    // closed. Opening an open session closes it first (as Close()).
    void Open(const QString& portName, uint32_t baudRate);
    // Ends the request out (Cancelled, counted) and every queued one (Cancelled, not sent),
    // calling their callbacks before it returns, then closes the port. Harmless when closed.
    void Close();
    bool IsOpen() const;

    // Queues a request; it goes out after those queued before it. Returns its id (never 0),
    // or 0 when the session is not open (nothing is queued and no callback will come).
    // Throws std::invalid_argument (nothing queued) when the request is out of range.
    // `done`, when given, is called once with the Result, before `Finished` is emitted.
    uint64_t Submit(const Request& request, Callback done = {});
    // Ends every request not yet sent (Cancelled, not counted); the one out runs to its end.
    void ClearQueue();
    // Requests queued and not yet sent, plus the one out (if any).
    std::size_t Pending() const;

    // Response time-out in ms (default 500; 1..3600000). Applies from the next request.
    int ResponseTimeout() const { return responseTimeoutMs_; }
    void setResponseTimeout(int ms);
    // Least time in ms from one request going out to the next (default 0: at once). A request
    // never goes out before the previous exchange and any late guard have ended.
    int Interval() const { return intervalMs_; }
    void setInterval(int ms);
    // Silence in ms wanted after an exchange that ended untrusted (see above). Default -1:
    // three response time-outs. A scan of many addresses may lower it: a late reply from
    // another slave is recognised by its address anyway.
    int LateGuard() const;
    void setLateGuard(int ms);
    // Quiet time in ms that settles a single 06 copy and a bad CRC (default 20).
    int SettleTime() const { return settleMs_; }
    void setSettleTime(int ms);

    Statistics Stats() const;
    void ResetStats();

    // The serial component, for line settings other than port and baud rate (set them
    // before Open). Its events belong to the session: do not assign them.
    TComm& Comm() { return *comm_; }

signals:
    // Every request's end, after its callback.
    void Finished(const master::Result& result);
    // The port went away (adapter unplugged, terminal closed), whether or not a request was
    // out. The session has closed itself when this is emitted; Open() may be called again.
    void PortLost();
    // The queue ran empty: nothing queued and nothing out.
    void Idle();

private:
    struct Impl;
    std::unique_ptr<TComm> comm_;
    std::unique_ptr<Impl> d_;
    int responseTimeoutMs_ = 500;
    int intervalMs_ = 0;
    int lateGuardMs_ = -1;
    int settleMs_ = 20;
    friend struct Impl;
};

} // namespace master

Q_DECLARE_METATYPE(master::Result)
