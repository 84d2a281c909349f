#pragma once
// master::Core: the master exchange's logic without Qt or a port. It keeps the line's timing,
// matches what arrives to the request out, judges it and counts the link's statistics.
// master::Session drives it with a real port and timers; the fuzz target drives it with
// made-up bytes and times. Pure logic on caller-supplied times; one thread.
//
// The timing rules, all taken from the line rate (a character is 11 bits at 8N2):
// - Silence before a request: at least 3.5 characters (1.75 ms above 19200 baud) after the
//   last byte received or sent, so that the slave never takes two frames for one; after a
//   time-out or a reply cut short, the line must instead have been silent for LateGuard()
//   (a late reply may still be on its way). Waiting for silence has a bound: a request that
//   has waited QuietBound() goes out all the same, and Statistics::quietWaitsCut counts it.
// - The request occupies the line from its hand-over for its length in characters. The
//   response time-out runs from that end to the first byte of the reply. Once a reply has
//   started (its slave address and function are in), it may take its length in characters
//   plus CharTimeout(); a reply that stops short is judged after CharTimeout() of silence.
//   CharTimeout() is not the standard 1.5 characters: USB adapters hand bytes over in chunks
//   (16 ms apart on common chips), so the default, 30 ms, tolerates a 16 ms gap with room for
//   a busy machine's late wake-ups on either side.
// - A reply is complete as soon as the bytes its request implies have arrived (03: 5 + 2 x
//   count, 02: 5 + ceil(count / 8), 06 and 10 hex: 8) or an exception's five; a candidate with
//   a wrong CRC becomes a CRC failure after CharTimeout() with no better one.
// - Late replies (RTU has no transaction number, so this is a rule with a bound, not a proof):
//   a reply is taken for a request only if it starts after the request was handed to the
//   port and within the response time-out after the request's end on the line. Bytes that
//   arrive while no request is out, or that start a reply after that time-out, are refused and
//   counted as late replies, one per burst. A reply that comes later than the response
//   time-out plus the late guard after its request cannot be told from a later request's
//   reply: the guard is the bound of this rule.
// - Echo: an adapter that hears its own transmission returns the request before the reply.
//   A copy of the request is recognised wherever it starts after noise and skipped. Whether
//   the line echoes is learned from what the requests bring back, or set. For 06, whose reply
//   repeats the request, on a line that echoes a write succeeds only when its reply follows the
//   echo: an echo followed by silence is a time-out, by an exception that exception, by another
//   value NotEchoed. While the echo is not known, a copy complete before the request's own
//   end on the line came over a link without line time (a virtual port), which does not echo:
//   it is the reply; one complete before a reply could be (two frame lengths after the
//   hand-over) is the echo; a later single copy is the reply once the response time-out has
//   passed with nothing after it.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
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

// One request. Ranges (checked by Frame and Session::Submit): slave 1..247; 02: count
// 1..2000; 03: count 1..125; 06: one value; 10 hex: 1..123 values; the last address at most
// FFFF.
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
    ShortReply, // part of a reply, or a byte count that does not fit
    Exception,  // an exception reply; exceptionCode holds its code
    Timeout,    // no reply by the response time-out
    NotEchoed,  // 06 / 10 hex: a reply that does not repeat what was written
    PortLost,   // the port went away while the request was out
    Cancelled,  // Close() ended it (sent or not)
};

// "ok", "crc", "short", "exception", "timeout", "not-echoed", "port-lost", "cancelled".
const char* OutcomeName(Outcome outcome);

enum class EchoMode : uint8_t { Auto, On, Off };

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
    uint64_t lateReplies = 0;   // bursts refused as no reply to the request out
    uint64_t echoesSkipped = 0;
    uint64_t quietWaitsCut = 0; // requests sent at the bound, the line not having fallen silent
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

struct LineSettings {
    uint32_t baud = 9600;
    int bitsPerCharacter = 11;   // 8N2: start, eight data, two stop
    int responseTimeoutMs = 500; // end of the request on the line -> first byte of the reply
    int charTimeoutMs = 30;      // silence that ends a reply that has started
    int lateGuardMs = -1;        // silence after a time-out or a cut reply; -1: responseTimeoutMs
    int intervalMs = 0;          // least time between two requests going out
    EchoMode echo = EchoMode::Auto;
};

// How one exchange ended.
struct Verdict {
    Outcome outcome = Outcome::Cancelled;
    uint8_t exceptionCode = 0;
    Bytes reply;            // the reply as judged (empty for Timeout, PortLost, Cancelled)
    Micros responseTime{0}; // hand-over -> last byte of the reply (time-out: time waited)
};

class Core {
public:
    explicit Core(const LineSettings& settings = {});

    const LineSettings& Settings() const { return s_; }
    // Changes take effect from the next request on. Values below their floor are raised to it.
    void SetSettings(const LineSettings& settings);

    Micros CharacterTime() const;
    Micros Gap() const;         // 3.5 characters, at least 1750 us
    Micros CharTimeout() const; // the setting, at least 3.5 characters
    Micros LateGuard() const;
    Micros QuietBound() const;  // LateGuard() + the response time-out
    // The echo as set or learned; nullopt while Auto has not learned it yet.
    std::optional<bool> Echo() const;

    // Forgets the line (a new port): nothing out, no echo learned, no silence owed.
    void Reset();

    bool Busy() const { return out_.has_value(); }
    // The earliest time a request that is ready at `now` may be handed to the port.
    Clock::time_point SendTime(Clock::time_point now);
    // The request went to the port at `now`.
    void Sent(const Request& request, const Bytes& frame, Clock::time_point now);
    // The port failed to take the request: counted as sent and aborted.
    Verdict SendFailed(const Request& request);
    // Bytes the port delivered at `now`, with or without a request out.
    void Received(std::span<const uint8_t> bytes, Clock::time_point now);
    // Judges the request out at `now`; a verdict when its exchange has ended.
    std::optional<Verdict> Judge(Clock::time_point now);
    // When Judge must be called if nothing more arrives; nullopt when no request is out.
    std::optional<Clock::time_point> JudgeTime() const { return judgeAt_; }
    // Ends the request out without a reply (PortLost or Cancelled).
    Verdict Abort(Outcome outcome, Clock::time_point now);

    Statistics Stats() const;
    // Starts the counts again; a request that is out stays counted as sent and in flight.
    void ResetStats();

private:
    struct Out {
        Request request;
        Bytes frame;
        Clock::time_point sentAt, requestEnd;
        Bytes received;
        std::vector<std::pair<std::size_t, Clock::time_point>> arrivals; // size after, time
        bool lateCounted = false;
    };
    Clock::time_point ArrivalOf(std::size_t index) const;
    std::optional<Verdict> Decide(Clock::time_point now);
    // Ends the exchange out; `lastByte` is when the reply's last byte arrived (or now).
    Verdict Finish(Outcome outcome, Bytes reply, uint8_t code, Clock::time_point lastByte,
                   Clock::time_point now);
    void CountLate(Clock::time_point now);
    void CountReplyTime(Micros t);

    LineSettings s_;
    std::optional<Out> out_;
    std::optional<bool> learnedEcho_;
    bool echoSkipped_ = false;
    std::optional<Clock::time_point> judgeAt_;
    Clock::time_point lastLineAt_{};   // last byte received, or end of the last request sent
    Clock::time_point lastSentAt_{};   // hand-over of the last request (for the interval)
    Clock::time_point lateByteAt_{};   // last byte received while no request was out
    Clock::time_point readyAt_{};      // when the request now waiting became ready
    bool readySet_ = false;
    bool guardOwed_ = false;           // the next request waits for LateGuard() of silence
    Statistics stats_;
    std::vector<uint64_t> histogram_;  // reply times, 1/64 resolution (log scale)
    int64_t replyTimeSumUs_ = 0;
};

} // namespace master
