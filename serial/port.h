#pragma once
// The port layer under TComm and its two threads.
//
// The component and the threads are written in terms of the classic serial-port model
// (a device control block, five read/write time-outs, one outstanding read, one outstanding
// comm-event wait, error bits fetched and cleared in one call, purges and escape functions).
// A Port keeps those semantics on whatever sits below: PosixPort on termios, TcpPort on a
// serial device server's raw TCP connection, ScriptedPort in tests. The constants below are
// that model's numbers.
//
// Threads: a Port is used by three threads at once. The user-interface thread calls the
// settings, Purge and EscapeCommFunction; the reader thread alone calls the reader group; the
// writer thread alone calls the writer group, but for WriteNow, which the sending thread calls
// while the writer is idle. Implementations make that combination safe.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace serial {

constexpr uint32_t MAXDWORD = 0xFFFFFFFFu;

// Comm events (SetCommMask / event waits).
constexpr uint32_t EV_RLSD = 0x0020; // carrier detect changed
constexpr uint32_t EV_ERR = 0x0080;  // line-status error
constexpr uint32_t EV_RING = 0x0100; // ring indicator

// Purge flags.
constexpr uint32_t PURGE_TXABORT = 0x0001;
constexpr uint32_t PURGE_RXABORT = 0x0002;
constexpr uint32_t PURGE_TXCLEAR = 0x0004;
constexpr uint32_t PURGE_RXCLEAR = 0x0008;

// Escape functions.
constexpr uint32_t SETRTS = 3;
constexpr uint32_t CLRRTS = 4;
constexpr uint32_t SETDTR = 5;
constexpr uint32_t CLRDTR = 6;

// Flag word of the device control block.
constexpr uint32_t DCB_fBinary = 0x0001;
constexpr uint32_t DCB_fParity = 0x0002;
constexpr uint32_t DCB_fOutxCtsFlow = 0x0004;
constexpr uint32_t DCB_fOutxDsrFlow = 0x0008;
constexpr uint32_t DCB_fDtrControlMask = 0x0030; // 0 disable, 0x10 enable, 0x20 handshake
constexpr uint32_t DCB_fDtrEnable = 0x0010;
constexpr uint32_t DCB_fDtrHandshake = 0x0020;
constexpr uint32_t DCB_fDsrSensitivity = 0x0040;
constexpr uint32_t DCB_fTXContinueOnXoff = 0x0080;
constexpr uint32_t DCB_fOutX = 0x0100;
constexpr uint32_t DCB_fInX = 0x0200;
constexpr uint32_t DCB_fErrorChar = 0x0400;
constexpr uint32_t DCB_fNull = 0x0800;
constexpr uint32_t DCB_fRtsControlMask =
    0x3000; // 0 disable, 0x1000 enable, 0x2000 hs, 0x3000 toggle
constexpr uint32_t DCB_fRtsEnable = 0x1000;
constexpr uint32_t DCB_fRtsHandshake = 0x2000;
constexpr uint32_t DCB_fRtsToggle = 0x3000;
constexpr uint32_t DCB_fAbortOnError = 0x4000;

// Device control block: the line settings as one record.
struct Dcb {
    uint32_t BaudRate = 9600;
    uint32_t Flags = DCB_fBinary;
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    uint8_t ByteSize = 8; // 5..8
    uint8_t Parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t StopBits = 0; // 0 one, 1 one and a half, 2 two
    char XonChar = 0x11;
    char XoffChar = 0x13;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    bool operator==(const Dcb&) const = default;

    // This record with the line format (rate, byte size, parity, stop bits) of `in_force`:
    // what stays when a port refuses a new format but takes the rest.
    Dcb WithLineFormatOf(const Dcb& in_force) const {
        Dcb kept = *this;
        kept.BaudRate = in_force.BaudRate;
        kept.ByteSize = in_force.ByteSize;
        kept.Parity = in_force.Parity;
        kept.StopBits = in_force.StopBits;
        return kept;
    }
};

// Time-outs in milliseconds. Read: the interval is the longest silence between two bytes
// once a byte has come; the total is Multiplier * requested bytes + Constant (none when both
// are 0); Interval MAXDWORD with both totals 0 returns at once with what is there.
// Write: total = Multiplier * bytes + Constant, none when both are 0.
struct CommTimeouts {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
    bool operator==(const CommTimeouts&) const = default;
};

enum class IoStatus {
    Done,          // completed; `count` bytes transferred (may be 0)
    Pending,       // started; completion is reported by a wait
    Stopped,       // the stop event ended it (writer only)
    InvalidHandle, // the handle went away under us: end quietly
    Failed,        // any other failure, the device being gone included: report a hangup
};

// What a port that failed can say about it, for the user's report.
struct PortFault {
    int systemError = 0;    // errno; for a host name not found the resolver's (negative) EAI_*
                            // code; 0 when the port has not failed or cannot say why
    bool beforeUse = false; // it failed before it could carry a byte (a connection never made)
};

struct IoResult {
    IoStatus status = IoStatus::Done;
    uint32_t count = 0;
    int error = 0; // errno of a failure, 0 otherwise
};

enum class WaitResult {
    Stop,   // the stop event is signalled (it always wins over the others)
    Event,  // the comm-event wait completed: fetch it with EventResult
    Read,   // the read completed: fetch it with ReadResult
    Input,  // (writer) the wake-up descriptor is readable
    Failed, // the wait itself failed
    Gone,   // (writer) the device is gone; a running reader finds that out as well
};

class Port {
public:
    virtual ~Port() = default;

    // --- opening and settings (user-interface thread)
    // True when the handle is a serial device (a character device with line settings).
    virtual bool IsCommHandle() = 0;
    // Driver queue sizes; true when accepted.
    virtual bool SetupComm(uint32_t inQueue, uint32_t outQueue) = 0;
    virtual bool GetCommState(Dcb& dcb) = 0;
    // False when the driver refuses any part (rate 0 or above INT32_MAX, unsupported rate,
    // sizes out of range): the line format (rate, size, parity, stop bits) then stays as it
    // was, but the byte handling (raw bytes, flow control, parity checking, error marking)
    // is applied all the same.
    virtual bool SetCommState(const Dcb& dcb) = 0;
    virtual bool GetCommTimeouts(CommTimeouts& t) = 0;
    virtual bool SetCommTimeouts(const CommTimeouts& t) = 0;

    // --- any thread
    // Drops what the driver holds on the named side(s), and the port's own pending data.
    virtual bool Purge(uint32_t flags) = 0;
    // SETRTS, CLRRTS, SETDTR, CLRDTR. False when the line cannot be switched.
    virtual bool EscapeCommFunction(uint32_t function) = 0;

    // --- reader thread
    virtual bool SetCommMask(uint32_t mask) = 0;
    // Starts the one outstanding read of up to `size` bytes into `buffer` (which must stay
    // valid until the read completes or the reader ends). Done when it completed at once.
    virtual IoResult StartRead(uint8_t* buffer, uint32_t size) = 0;
    // Starts the one outstanding comm-event wait; the events go to `*mask` (valid until the
    // wait completes or CancelEventWait). Done when events were already waiting.
    virtual IoResult StartEventWait(uint32_t* mask) = 0;
    // Waits without time limit for the stop event (`stopFd` readable), the event wait or the
    // read, in that order of precedence.
    virtual WaitResult WaitReader(int stopFd) = 0;
    // Result of the completed read / event wait (after WaitReader said so).
    virtual IoResult ReadResult() = 0;
    virtual IoResult EventResult() = 0;
    // Reads and clears the accumulated communication error bits (CE_*).
    virtual IoResult ClearCommError(uint32_t* errors) = 0;
    // Forgets the pending event wait and the pending read so that their storage may go.
    virtual void CancelReaderIo() = 0;

    // --- writer thread
    // Writes all `length` bytes unless the write time-out runs out first (Done with fewer,
    // possibly 0) or `stopFd` becomes readable (Stopped).
    virtual IoResult Write(const uint8_t* data, uint32_t length, int stopFd) = 0;
    // The writer's shortcut, called instead of Write (never at the same time) on the thread
    // that sends, while the writer has nothing to do: hands the driver what it takes without
    // waiting (Done with the count, possibly 0). Pending when this port must leave the block
    // to the writer (a write that waits, such as the RTS toggle's drain, or a failure the
    // writer is to report).
    virtual IoResult WriteNow(const uint8_t*, uint32_t) { return {IoStatus::Pending, 0, 0}; }
    // The writer's idle wait: Stop, Input when `wakeFd` is readable, Gone when the device is
    // gone, Failed when the wait fails.
    virtual WaitResult WaitWriterIdle(int stopFd, int wakeFd) = 0;

    // --- any thread
    // Why the port failed, where it can tell (a network port); {} otherwise.
    virtual PortFault Fault() { return {}; }
    // Waits until the port can carry bytes or has failed to (a network port's connection,
    // within its connect time-out); at once for a port that needs no waiting. Its failure.
    virtual PortFault AwaitConnection() { return {}; }
};

// Why opening failed: the errno of the refusal.
struct OpenFailure {
    int systemError = 0;
};

// Where ports come from. Open() runs on the user-interface thread and takes the port
// exclusively; it returns nullptr and fills `failure` when the device cannot be opened or is
// held by someone else.
class PortFactory {
public:
    virtual ~PortFactory() = default;
    virtual std::unique_ptr<Port> Open(const std::string& path, OpenFailure& failure) = 0;
};

// The factory of real ports (termios).
std::shared_ptr<PortFactory> PosixPortFactory();

// The factory of network ports: `path` is "tcp://HOST:PORT" (serial/portname.h). Open()
// returns at once with the connection in progress on a thread of the port's own (the host
// name looked up, each of its addresses tried in turn, all within `connectTimeout`); a name
// that is not of that form fails with EINVAL. The readers and the writer wait for the
// connection; a connection that cannot be made fails them as a lost device would, with the
// reason in Fault().
std::shared_ptr<PortFactory>
TcpPortFactory(std::chrono::milliseconds connectTimeout = std::chrono::seconds(3));

// Network ports for tcp:// names, real serial ports for all others.
std::shared_ptr<PortFactory> DefaultPortFactory();

} // namespace serial
