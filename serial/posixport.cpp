// The real port: a tty opened exclusively and driven with termios, keeping the semantics of
// the overlapped read, event wait and write the threads are written against.

#include "serial/co.h" // CE_* bits
#include "serial/linemarks.h"
#include "serial/pendingread.h"
#include "serial/port.h"
#include "serial/posixbaud.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace serial {
namespace {

using Clock = std::chrono::steady_clock;

struct SpeedCode {
    uint32_t rate;
    speed_t code;
};
constexpr SpeedCode kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

speed_t StandardSpeed(uint32_t rate) {
    for (const auto& s : kSpeeds)
        if (s.rate == rate)
            return s.code;
    return B0;
}

// The modem-line watcher below waits in TIOCMIWAIT, which only a signal interrupts. This
// handler does nothing; its only purpose is to make the ioctl return EINTR.
constexpr int kWakeSignal = SIGURG; // ignored by default, never used by Qt
void NoOpHandler(int) {}
void InstallWakeSignal() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_handler = NoOpHandler;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0; // no SA_RESTART: the ioctl must return
        sigaction(kWakeSignal, &sa, nullptr);
    });
}

class PosixPort final : public Port {
public:
    explicit PosixPort(int fd) : fd_(fd) {
        serial_icounter_struct ic{};
        hasCounters_ = ::ioctl(fd_, TIOCGICOUNT, &ic) == 0;
        if (hasCounters_)
            counters_ = ic;
        int lines = 0;
        hasModemLines_ = ::ioctl(fd_, TIOCMGET, &lines) == 0;
        termios t{};
        if (::tcgetattr(fd_, &t) == 0)
            dcb_ = DcbFromTermios(t);
    }

    ~PosixPort() override {
        StopModemWatcher();
        if (rs485Set_) {
            serial_rs485 rs{};
            ::ioctl(fd_, TIOCSRS485, &rs);
        }
        if (exclusiveSet_)
            ::ioctl(fd_, TIOCNXCL);
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
    }

    void SetExclusiveSet(bool v) { exclusiveSet_ = v; }

    bool IsCommHandle() override {
        struct stat st {};
        termios t{};
        return ::fstat(fd_, &st) == 0 && S_ISCHR(st.st_mode) && ::tcgetattr(fd_, &t) == 0;
    }

    // The kernel's queues have fixed sizes; there is nothing to set and nothing to refuse.
    bool SetupComm(uint32_t, uint32_t) override { return true; }

    bool GetCommState(Dcb& dcb) override {
        std::lock_guard lock(mutex_);
        dcb = dcb_;
        if (const uint32_t rate = detail::ReadRate(fd_))
            dcb.BaudRate = rate;
        return true;
    }

    bool SetCommState(const Dcb& dcb) override;

    bool GetCommTimeouts(CommTimeouts& t) override {
        std::lock_guard lock(mutex_);
        t = timeouts_;
        return true;
    }
    bool SetCommTimeouts(const CommTimeouts& t) override {
        std::lock_guard lock(mutex_);
        timeouts_ = t;
        return true;
    }

    bool Purge(uint32_t flags) override {
        bool ok = true;
        if (flags & (PURGE_RXCLEAR | PURGE_RXABORT)) {
            std::lock_guard lock(mutex_);
            if (flags & PURGE_RXCLEAR)
                ok = ::tcflush(fd_, TCIFLUSH) == 0 && ok;
            // Our own pending data goes with the driver's: what a read gathered so far, a
            // half-received mark, a held-over byte.
            if (read_.active && !read_.complete) {
                read_.count = 0;
                read_.sawByte = false;
            }
            decoder_.Reset();
            carry_ = -1;
            drained_ = true;
        }
        if (flags & PURGE_TXCLEAR)
            ok = ::tcflush(fd_, TCOFLUSH) == 0 && ok;
        if ((flags & PURGE_TXABORT) && !(flags & PURGE_TXCLEAR))
            ::tcflush(fd_, TCOFLUSH); // also releases a writer waiting in tcdrain
        return ok;
    }

    bool EscapeCommFunction(uint32_t function) override {
        int bits = 0;
        unsigned long request = 0;
        switch (function) {
        case SETRTS:
            bits = TIOCM_RTS;
            request = TIOCMBIS;
            break;
        case CLRRTS:
            bits = TIOCM_RTS;
            request = TIOCMBIC;
            break;
        case SETDTR:
            bits = TIOCM_DTR;
            request = TIOCMBIS;
            break;
        case CLRDTR:
            bits = TIOCM_DTR;
            request = TIOCMBIC;
            break;
        default:
            return false;
        }
        if (!hasModemLines_)
            return false;
        return ::ioctl(fd_, request, &bits) == 0;
    }

    bool SetCommMask(uint32_t mask) override {
        {
            std::lock_guard lock(mutex_);
            eventMask_ = mask;
        }
        if ((mask & (EV_RLSD | EV_RING)) && hasCounters_ && hasModemLines_)
            StartModemWatcher();
        else
            StopModemWatcher();
        return true;
    }

    IoResult StartRead(uint8_t* buffer, uint32_t size) override;
    IoResult StartEventWait(uint32_t* mask) override {
        std::lock_guard lock(mutex_);
        if (const uint32_t ready = events_ & eventMask_) {
            *mask = ready;
            events_ &= ~ready;
            return Done(0);
        }
        eventOut_ = mask;
        eventActive_ = true;
        return Pending();
    }
    WaitResult WaitReader(int stopFd) override;
    IoResult ReadResult() override {
        std::lock_guard lock(mutex_);
        read_.active = false;
        return read_.result;
    }
    IoResult EventResult() override {
        std::lock_guard lock(mutex_);
        const uint32_t ready = events_ & eventMask_;
        events_ &= ~ready;
        if (eventOut_)
            *eventOut_ = ready;
        eventActive_ = false;
        eventOut_ = nullptr;
        return Done(0);
    }
    IoResult ClearCommError(uint32_t* errors) override {
        std::lock_guard lock(mutex_);
        *errors = errors_;
        errors_ = 0;
        return Done(0);
    }
    void CancelReaderIo() override {
        std::lock_guard lock(mutex_);
        eventActive_ = false;
        eventOut_ = nullptr;
        read_ = {};
    }

    IoResult Write(const uint8_t* data, uint32_t length, int stopFd) override;
    IoResult WriteNow(const uint8_t* data, uint32_t length) override;
    WaitResult WaitWriterIdle(int stopFd, int wakeFd) override;

private:
    static Dcb DcbFromTermios(const termios& t);
    static void MakeRaw(termios& t, const Dcb& dcb);
    bool ApplyModemLines(const Dcb& dcb);

    // All with mutex_ held.
    void DeviceGone(int err);
    void ReadAvailable(short revents);
    uint32_t TakeCounters();

    void StartModemWatcher();
    void StopModemWatcher();
    void ModemWatcher();

    const int fd_;
    bool exclusiveSet_ = false;
    bool hasCounters_ = false;
    bool hasModemLines_ = false;
    bool rs485Set_ = false;
    std::atomic<bool> softwareToggle_{false};

    std::mutex mutex_; // guards everything below
    Dcb dcb_;
    CommTimeouts timeouts_;
    uint32_t eventMask_ = 0;
    uint32_t events_ = 0; // events that happened and were not yet reported
    bool eventActive_ = false;
    uint32_t* eventOut_ = nullptr;
    uint32_t errors_ = 0;
    serial_icounter_struct counters_{};
    PendingRead read_;
    MarkDecoder decoder_;
    int carry_ = -1; // a decoded byte that did not fit the previous read
    bool gone_ = false;
    bool drained_ = true; // the last read found the terminal empty or took less than it asked
    int goneError_ = 0;

    // Modem-line watcher (only where the driver counts line changes).
    std::thread watcher_;
    std::atomic<bool> watcherStop_{false};
    std::atomic<bool> watcherDone_{false};
    int watcherFd_ = -1; // eventfd: the watcher saw a change
};

Dcb PosixPort::DcbFromTermios(const termios& t) {
    Dcb dcb;
    dcb.Flags = DCB_fBinary | DCB_fDtrEnable | DCB_fRtsEnable;
    switch (t.c_cflag & CSIZE) {
    case CS5:
        dcb.ByteSize = 5;
        break;
    case CS6:
        dcb.ByteSize = 6;
        break;
    case CS7:
        dcb.ByteSize = 7;
        break;
    default:
        dcb.ByteSize = 8;
        break;
    }
    if (t.c_cflag & PARENB) {
        const bool odd = t.c_cflag & PARODD;
        dcb.Parity = (t.c_cflag & CMSPAR) ? (odd ? 3 : 4) : (odd ? 1 : 2);
    }
    dcb.StopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
    dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    return dcb;
}

// The byte handling this port always has, whatever else the driver takes: raw bytes both
// ways (no echo, no line editing, no CR/LF translation, no signal or end-of-file
// characters), breaks marked in-band for the reader and, with parity checking on, bytes with
// errors too; software flow control and its characters as `dcb` asks.
void PosixPort::MakeRaw(termios& t, const Dcb& dcb) {
    t.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                   IXANY | IUCLC | IMAXBEL | INPCK);
    t.c_iflag |= PARMRK;
    if (dcb.Flags & DCB_fParity)
        t.c_iflag |= INPCK;
    if (dcb.Flags & DCB_fOutX)
        t.c_iflag |= IXON;
    if (dcb.Flags & DCB_fInX)
        t.c_iflag |= IXOFF;
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(HUPCL | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    if ((dcb.Flags & DCB_fOutxCtsFlow) || (dcb.Flags & DCB_fRtsControlMask) == DCB_fRtsHandshake)
        t.c_cflag |= CRTSCTS;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    // Non-blocking reads then return EAGAIN when nothing is there, so a read of 0 bytes can
    // only mean the device is gone.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

bool PosixPort::SetCommState(const Dcb& dcb) {
    std::lock_guard lock(mutex_);
    detail::SavedLine saved;
    termios t{};
    if (!detail::SaveLine(fd_, saved) || ::tcgetattr(fd_, &t) != 0)
        return false;

    // A rate of 0 would hang up the line; "below 0" arrives here as a huge unsigned value.
    bool ok = dcb.BaudRate != 0 && dcb.BaudRate <= static_cast<uint32_t>(INT_MAX) &&
              dcb.ByteSize >= 5 && dcb.ByteSize <= 8 && dcb.Parity <= 4 && dcb.StopBits <= 2;
    if (ok) {
        MakeRaw(t, dcb);
        t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
        static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
        t.c_cflag |= sizes[dcb.ByteSize - 5];
        switch (dcb.Parity) {
        case 1:
            t.c_cflag |= PARENB | PARODD;
            break;
        case 2:
            t.c_cflag |= PARENB;
            break;
        case 3:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case 4:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
        }
        if (dcb.StopBits != 0)
            t.c_cflag |= CSTOPB; // 1.5 stop bits is what the UART makes of this with 5 data bits

        if (const speed_t code = StandardSpeed(dcb.BaudRate); code != B0) {
            ok = ::cfsetispeed(&t, code) == 0 && ::cfsetospeed(&t, code) == 0 &&
                 ::tcsetattr(fd_, TCSANOW, &t) == 0;
        } else {
            ok = ::tcsetattr(fd_, TCSANOW, &t) == 0 && detail::SetArbitraryRate(fd_, dcb.BaudRate);
        }
        if (ok) {
            // tcsetattr succeeds when any part was taken; check the driver kept the rate
            // (within the 2 % a UART's divisor may be off).
            const uint64_t got = detail::ReadRate(fd_);
            ok = got * 100 >= uint64_t{dcb.BaudRate} * 98 &&
                 got * 100 <= uint64_t{dcb.BaudRate} * 102;
        }
    }
    if (!ok) {
        // Refused: the previous line format stays in force. The byte handling is applied all
        // the same: a fresh terminal is in the kernel's cooked mode, which echoes received
        // bytes back onto the bus, translates CR/LF, holds data until a line end and reads
        // 0x04 as end of file.
        detail::RestoreLine(fd_, saved);
        const Dcb kept = dcb.WithLineFormatOf(dcb_);
        if (::tcgetattr(fd_, &t) == 0) {
            MakeRaw(t, kept);
            if (::tcsetattr(fd_, TCSANOW, &t) == 0)
                dcb_ = kept;
        }
        return false;
    }
    dcb_ = dcb;
    ApplyModemLines(dcb);
    return true;
}

bool PosixPort::ApplyModemLines(const Dcb& dcb) {
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    const uint32_t dtrMode = dcb.Flags & DCB_fDtrControlMask;
    const uint32_t rtsMode = dcb.Flags & DCB_fRtsControlMask;

    bool wantRs485 = false;
    if (rtsMode == DCB_fRtsToggle) {
        serial_rs485 rs{};
        rs.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        wantRs485 = ::ioctl(fd_, TIOCSRS485, &rs) == 0;
    }
    if (rs485Set_ && !wantRs485) {
        serial_rs485 rs{};
        ::ioctl(fd_, TIOCSRS485, &rs);
    }
    rs485Set_ = wantRs485;
    // Without driver support the writer raises RTS around each write itself.
    softwareToggle_ = rtsMode == DCB_fRtsToggle && !wantRs485 && hasModemLines_;

    if (!hasModemLines_)
        return false;
    ::ioctl(fd_, dtrMode == 0 ? TIOCMBIC : TIOCMBIS, &dtr);
    if (rtsMode == DCB_fRtsEnable)
        ::ioctl(fd_, TIOCMBIS, &rts);
    else if (rtsMode == 0 || softwareToggle_)
        ::ioctl(fd_, TIOCMBIC, &rts);
    return true;
}

IoResult PosixPort::StartRead(uint8_t* buffer, uint32_t size) {
    std::lock_guard lock(mutex_);
    read_ = {};
    if (gone_)
        return Fail(goneError_);
    const auto now = Clock::now();
    const bool waits = read_.Start(timeouts_, buffer, size, now);
    if (carry_ >= 0 && size > 0) {
        buffer[0] = static_cast<uint8_t>(carry_);
        read_.Got(1, now);
        carry_ = -1;
    }
    if (!waits) {
        // Return at once with what is there, possibly nothing.
        ReadAvailable(0);
        const IoResult r = read_.complete ? read_.result : Done(read_.count);
        read_ = {};
        return r;
    }
    if (read_.Satisfied()) {
        const IoResult r = Done(read_.count);
        read_ = {};
        return r;
    }
    return Pending();
}

void PosixPort::DeviceGone(int err) {
    gone_ = true;
    goneError_ = err ? err : EIO;
    // What came before the device went is delivered; the next read reports the failure.
    if (read_.count > 0)
        read_.CompleteWithData();
    else
        read_.Complete(Fail(goneError_));
}

void PosixPort::ReadAvailable(short revents) {
    if (!read_.active || read_.complete)
        return;
    const uint32_t room = read_.size - read_.count;
    if (room == 0) {
        read_.CompleteWithData();
        return;
    }
    // With no mark held over the decoded bytes never outnumber the raw ones, so the read goes
    // straight into the caller's buffer and is decoded there. A held-over 0xFF can make one
    // byte more than was read; that case goes through `raw` and may leave a byte for later.
    const bool inPlace = !decoder_.InMark();
    uint8_t raw[2048 + 1];
    const std::size_t want = std::min<std::size_t>(room, 2048);
    uint8_t* const dest = read_.buffer + read_.count;
    const ssize_t n = ::read(fd_, inPlace ? dest : raw, want);
    drained_ = n < static_cast<ssize_t>(want);
    if (n > 0) {
        uint32_t errors = hasCounters_ ? TakeCounters() : 0; // precise bits, overruns included
        MarkOptions options;
        options.ignoreNull = dcb_.Flags & DCB_fNull;
        options.replaceErrorByte = dcb_.Flags & DCB_fErrorChar;
        options.errorByte = static_cast<uint8_t>(dcb_.ErrorChar);
        // The terminal marks parity and framing errors alike (and only with parity checking
        // on). On a line without a parity bit a marked byte can only have a framing error;
        // where the driver counts errors, a framing error counted now says so as well.
        options.marksAreParity = dcb_.Parity != 0 && !(errors & CE_FRAME);
        MarkFindings findings;
        std::size_t got;
        if (inPlace) {
            got = decoder_.Decode(dest, static_cast<std::size_t>(n), dest, options, findings);
        } else {
            uint8_t decoded[2048 + 2];
            got = decoder_.Decode(raw, static_cast<std::size_t>(n), decoded, options, findings);
            if (got > room) { // only a held-over 0xFF can make one byte more than was read
                carry_ = decoded[got - 1];
                got = room;
            }
            std::memcpy(dest, decoded, got);
        }
        read_.Got(static_cast<uint32_t>(got), Clock::now());
        if (!hasCounters_ && findings.errorSeen)
            errors |= options.marksAreParity ? CE_RXPARITY : CE_FRAME;
        if (findings.breakSeen)
            errors |= CE_BREAK;
        if (errors) {
            errors_ |= errors;
            events_ |= EV_ERR;
        }
        if (read_.Satisfied())
            read_.CompleteWithData();
        return;
    }
    if (n == 0) {
        DeviceGone(EIO); // a readable tty with VMIN 1 reads 0 bytes only when hung up
        return;
    }
    const int err = errno;
    if (err == EAGAIN || err == EINTR) {
        if (revents & (POLLHUP | POLLERR))
            DeviceGone(EIO);
        return;
    }
    if (err == EBADF) {
        read_.Complete(Fail(EBADF));
        return;
    }
    DeviceGone(err); // EIO, ENXIO, ENODEV and the like: the device is gone or broken
}

uint32_t PosixPort::TakeCounters() {
    serial_icounter_struct now{};
    if (::ioctl(fd_, TIOCGICOUNT, &now) != 0)
        return 0;
    uint32_t errors = 0;
    if (now.overrun != counters_.overrun)
        errors |= CE_OVERRUN;
    if (now.buf_overrun != counters_.buf_overrun)
        errors |= CE_RXOVER;
    if (now.parity != counters_.parity)
        errors |= CE_RXPARITY;
    if (now.frame != counters_.frame)
        errors |= CE_FRAME;
    if (now.brk != counters_.brk)
        errors |= CE_BREAK;
    counters_.overrun = now.overrun;
    counters_.buf_overrun = now.buf_overrun;
    counters_.parity = now.parity;
    counters_.frame = now.frame;
    counters_.brk = now.brk;
    return errors;
}

WaitResult PosixPort::WaitReader(int stopFd) {
    for (;;) {
        bool haveDeadline = false;
        Clock::time_point deadline{};
        bool reading = false;
        WaitResult ready = WaitResult::Failed;
        {
            std::lock_guard lock(mutex_);
            read_.CheckDeadlines(Clock::now());
            // The last read took all it asked for, so more may be waiting already (a stream
            // faster than the reader): take it without a ppoll first.
            if (!drained_ && !(eventActive_ && (events_ & eventMask_)))
                ReadAvailable(0);
            if (eventActive_ && (events_ & eventMask_))
                ready = WaitResult::Event;
            else if (read_.active && read_.complete)
                ready = WaitResult::Read;
            reading = read_.active;
            if (const auto at = read_.Deadline()) {
                haveDeadline = true;
                deadline = *at;
            }
        }
        if (ready != WaitResult::Failed) {
            // The stop wins over a read or an event that is ready as well: once ClosePort has
            // signalled it, the reader reports nothing more. (While waiting, the ppoll below
            // watches the stop; this check is only needed before reporting.)
            pollfd stop{stopFd, POLLIN, 0};
            return ::poll(&stop, 1, 0) > 0 ? WaitResult::Stop : ready;
        }
        pollfd fds[3] = {{stopFd, POLLIN, 0},
                         {fd_, static_cast<short>(reading ? POLLIN : 0), 0},
                         {watcherFd_, POLLIN, 0}};
        const nfds_t count = watcherFd_ >= 0 ? 3 : 2;
        timespec ts{};
        if (haveDeadline) {
            // The kernel lets a timed wait run late by a thousandth of its length (1 ms for
            // a 1 s interval). Waking a little early and waiting out the short rest keeps
            // the completion within microseconds of the deadline.
            auto remaining = deadline - Clock::now();
            if (remaining > std::chrono::milliseconds(50))
                remaining -= remaining / 500 + std::chrono::milliseconds(1);
            ts = ToTimespec(remaining);
        }
        const int rc = ::ppoll(fds, count, haveDeadline ? &ts : nullptr, nullptr);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            return WaitResult::Failed;
        }
        if (fds[0].revents)
            return WaitResult::Stop;
        if (count == 3 && (fds[2].revents & POLLIN)) {
            uint64_t bits = 0;
            if (::read(watcherFd_, &bits, sizeof bits) == sizeof bits) {
                std::lock_guard lock(mutex_);
                events_ |= static_cast<uint32_t>(bits) & 0xFFFF;
            }
        }
        if (fds[1].revents) {
            std::lock_guard lock(mutex_);
            if (!read_.active)
                return WaitResult::Failed; // a hangup with no read to report it through
            if (fds[1].revents & POLLNVAL) {
                if (read_.active && !read_.complete)
                    read_.Complete(Fail(EBADF));
                else
                    return WaitResult::Failed;
            } else {
                ReadAvailable(fds[1].revents);
            }
        }
    }
}

IoResult PosixPort::Write(const uint8_t* data, uint32_t length, int stopFd) {
    CommTimeouts t;
    {
        std::lock_guard lock(mutex_);
        t = timeouts_;
    }
    const uint64_t totalMs =
        uint64_t{t.WriteTotalTimeoutMultiplier} * length + t.WriteTotalTimeoutConstant;
    const bool hasDeadline = totalMs > 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(totalMs);
    const bool toggle = softwareToggle_;
    int rts = TIOCM_RTS;
    if (toggle)
        ::ioctl(fd_, TIOCMBIS, &rts);

    IoResult result = Done(0);
    uint32_t written = 0;
    while (written < length) {
        const ssize_t n = ::write(fd_, data + written, length - written);
        if (n > 0) {
            written += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            result = Fail(errno);
            break;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // The driver's queue is full: wait for room, the stop event or the time-out.
        pollfd fds[2] = {{stopFd, POLLIN, 0}, {fd_, POLLOUT, 0}};
        timespec ts{};
        if (hasDeadline)
            ts = ToTimespec(deadline - Clock::now());
        const int rc = ::ppoll(fds, 2, hasDeadline ? &ts : nullptr, nullptr);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0) {
            result = Fail(errno);
            break;
        }
        if (rc == 0) {
            result = Done(written); // time-out: completes with what went out
            break;
        }
        if (fds[0].revents) {
            result = {IoStatus::Stopped, written, 0};
            break;
        }
        if (fds[1].revents & POLLNVAL) {
            result = Fail(EBADF);
            break;
        }
        if ((fds[1].revents & (POLLHUP | POLLERR)) && !(fds[1].revents & POLLOUT)) {
            result = Fail(EIO);
            break;
        }
    }
    if (result.status == IoStatus::Done)
        result.count = written;
    if (toggle) {
        if (result.status == IoStatus::Done && written > 0)
            ::tcdrain(fd_); // a purge on close releases this wait
        ::ioctl(fd_, TIOCMBIC, &rts);
    }
    return result;
}

IoResult PosixPort::WriteNow(const uint8_t* data, uint32_t length) {
    if (softwareToggle_)
        return Pending(); // the toggle waits for the bytes to leave: the writer's job
    const ssize_t n = ::write(fd_, data, length);
    if (n >= 0)
        return Done(static_cast<uint32_t>(n));
    if (errno == EAGAIN || errno == EINTR)
        return Done(0);
    return Pending(); // the writer meets the failure again and reports it
}

WaitResult PosixPort::WaitWriterIdle(int stopFd, int wakeFd) {
    for (;;) {
        // The port is watched with no events: only a hangup or an error wakes us for it, so
        // a vanished device ends the writer at once instead of at its next write.
        pollfd fds[3] = {{stopFd, POLLIN, 0}, {wakeFd, POLLIN, 0}, {fd_, 0, 0}};
        const int rc = ::ppoll(fds, 3, nullptr, nullptr);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0)
            return WaitResult::Failed;
        if (fds[0].revents)
            return WaitResult::Stop;
        if (fds[1].revents & POLLIN)
            return WaitResult::Input;
        if (fds[2].revents & POLLNVAL)
            return WaitResult::Stop; // the handle went away: end quietly
        if (fds[2].revents)
            return WaitResult::Gone;
    }
}

void PosixPort::StartModemWatcher() {
    if (watcher_.joinable())
        return;
    InstallWakeSignal();
    watcherFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (watcherFd_ < 0)
        return;
    watcherStop_ = false;
    watcherDone_ = false;
    try {
        watcher_ = std::thread([this] {
            ModemWatcher();
            watcherDone_ = true;
        });
    } catch (...) {
        ::close(watcherFd_);
        watcherFd_ = -1;
    }
}

void PosixPort::StopModemWatcher() {
    if (!watcher_.joinable())
        return;
    watcherStop_ = true;
    // The signal may come just before the watcher enters the ioctl; repeat until it is out.
    // The thread is joined only afterwards, so its handle stays valid for pthread_kill.
    while (!watcherDone_) {
        ::pthread_kill(watcher_.native_handle(), kWakeSignal);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    watcher_.join();
    ::close(watcherFd_);
    watcherFd_ = -1;
}

void PosixPort::ModemWatcher() {
    serial_icounter_struct before{};
    if (::ioctl(fd_, TIOCGICOUNT, &before) != 0)
        return;
    int idleReturns = 0;
    while (!watcherStop_) {
        const int rc = ::ioctl(fd_, TIOCMIWAIT, TIOCM_CD | TIOCM_RNG);
        if (rc != 0 && errno != EINTR)
            return; // no such wait, or the device is gone (the reader reports that)
        serial_icounter_struct now{};
        if (::ioctl(fd_, TIOCGICOUNT, &now) != 0)
            return;
        uint64_t bits = 0;
        if (now.dcd != before.dcd)
            bits |= EV_RLSD;
        if (now.rng != before.rng)
            bits |= EV_RING;
        before = now;
        if (bits) {
            idleReturns = 0;
            [[maybe_unused]] ssize_t n = ::write(watcherFd_, &bits, sizeof bits);
        } else if (rc == 0 && ++idleReturns > 100) {
            return; // a driver whose wait returns without a change would make this a busy loop
        }
    }
}

class PosixPortFactoryImpl final : public PortFactory {
public:
    std::unique_ptr<Port> Open(const std::string& path, OpenFailure& failure) override {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            failure.systemError = errno;
            return nullptr;
        }
        struct stat st {};
        bool exclusiveSet = false;
        if (::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)) {
            // Exclusive use: an advisory lock that cooperating programs honour, and the
            // terminal's exclusive mode, which keeps out anyone else (but root) opening it.
            if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                failure.systemError = errno == EWOULDBLOCK ? EBUSY : errno;
                ::close(fd);
                return nullptr;
            }
            int exclusive = 0;
            if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive) {
                failure.systemError = EBUSY;
                ::close(fd);
                return nullptr;
            }
            exclusiveSet = ::ioctl(fd, TIOCEXCL) == 0;
        }
        auto port = std::make_unique<PosixPort>(fd);
        port->SetExclusiveSet(exclusiveSet);
        return port;
    }
};

} // namespace

std::shared_ptr<PortFactory> PosixPortFactory() {
    static auto factory = std::make_shared<PosixPortFactoryImpl>();
    return factory;
}

} // namespace serial
