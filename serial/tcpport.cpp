// The network port: a serial device server's raw TCP connection, which carries the line's
// bytes as they are, driven with the semantics the threads are written against (one
// outstanding read with its time-outs, a write the stop ends, a failure reported as a vanished
// device). A socket has no line settings, modem lines or line errors: the settings are kept
// (the master exchange times the line behind the server from the rate given) and those
// events never come.

#include "serial/pendingread.h"
#include "serial/port.h"
#include "serial/portname.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace serial {
namespace {

using Clock = std::chrono::steady_clock;

void Signal(int eventFd) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(eventFd, &one, sizeof one);
}

// The socket's pending error (a reset, an unreachable host), `otherwise` when it has none.
int SocketError(int fd, int otherwise) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err == 0)
        return otherwise;
    return err;
}

// The connection, shared by the port and the thread that makes it, so that a thread held up
// in a host-name lookup (which nothing interrupts) can be left to end on its own when the
// port goes. `readyFd` is signalled, and never read, once the connection is made or has
// failed; `cancelFd` once the port gives up on it.
class Link {
public:
    enum class State { Connecting, Up, Failed };

    explicit Link(Clock::time_point deadline)
        : deadline_(deadline), readyFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
          cancelFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Link() {
        CloseSocket();
        for (const int fd : {readyFd_, cancelFd_})
            if (fd >= 0)
                ::close(fd);
    }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    bool Valid() const { return readyFd_ >= 0 && cancelFd_ >= 0; }
    int ReadyFd() const { return readyFd_; }
    int CancelFd() const { return cancelFd_; }
    Clock::time_point Deadline() const { return deadline_; }
    // The connected socket; -1 until the state is Up.
    int Socket() const { return socket_.load(std::memory_order_acquire); }

    // The state at `now`, and in `error` why it failed. A connection still being made at the
    // deadline has failed: the connecting thread keeps the deadline too, but a lookup that
    // hangs would outlast it.
    State Check(Clock::time_point now, int* error = nullptr) {
        std::lock_guard lock(mutex_);
        if (state_ == State::Connecting && now >= deadline_)
            Finish(State::Failed, ETIMEDOUT);
        if (error)
            *error = error_;
        return state_;
    }
    bool EverUp() {
        std::lock_guard lock(mutex_);
        return everUp_;
    }

    // The connecting thread's side. Each returns false once the port has given up on the
    // connection: the thread then just ends (closing `fd`).
    bool BeginLookup() {
        std::lock_guard lock(mutex_);
        resolving_ = !cancelled_;
        return resolving_;
    }
    bool EndLookup() {
        std::lock_guard lock(mutex_);
        resolving_ = false;
        return !cancelled_;
    }
    void Connected(int fd) {
        std::lock_guard lock(mutex_);
        if (state_ != State::Connecting || cancelled_) {
            ::close(fd);
            return;
        }
        socket_.store(fd, std::memory_order_release);
        everUp_ = true;
        Finish(State::Up, 0);
    }
    void Failed(int error) {
        std::lock_guard lock(mutex_);
        if (state_ == State::Connecting)
            Finish(State::Failed, error);
    }

    // The port's side: it goes. True when the connecting thread is in a lookup, and so must
    // be left to end alone.
    bool Cancel() {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        Signal(cancelFd_);
        return resolving_;
    }
    // After the port's threads have ended.
    void CloseSocket() {
        const int fd = socket_.exchange(-1);
        if (fd >= 0)
            ::close(fd);
    }

private:
    void Finish(State state, int error) {
        state_ = state;
        error_ = error;
        Signal(readyFd_);
    }

    const Clock::time_point deadline_;
    const int readyFd_, cancelFd_;
    std::atomic<int> socket_{-1};
    std::mutex mutex_; // guards everything below
    State state_ = State::Connecting;
    int error_ = 0;
    bool everUp_ = false;
    bool resolving_ = false;
    bool cancelled_ = false;
};

// Waits for a non-blocking connect to end: 0 when made, else its errno, ETIMEDOUT at the
// deadline, ECANCELED when the port gave up.
int AwaitConnect(int fd, const Link& link) {
    for (;;) {
        pollfd fds[2] = {{fd, POLLOUT, 0}, {link.CancelFd(), POLLIN, 0}};
        const timespec ts = ToTimespec(link.Deadline() - Clock::now());
        const int rc = ::ppoll(fds, 2, &ts, nullptr);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0)
            return errno;
        if (fds[1].revents)
            return ECANCELED;
        if (rc == 0)
            return ETIMEDOUT;
        return SocketError(fd, 0);
    }
}

// Frames go out at once, never held back to be sent with more; a server that vanishes
// (switched off, cable pulled) is noticed within seconds while idle and while sending rather
// than after TCP's quarter of an hour. Options a kernel lacks are left as they are.
void TuneSocket(int fd) {
    const int on = 1, idle = 10, interval = 5, probes = 3, unackedMs = 10000;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unackedMs, sizeof unackedMs);
}

// The connecting thread: looks the host up, tries its addresses in turn until one takes the
// connection or the deadline passes. A name not found fails with the resolver's code (EAI_*,
// negative), everything else with errno.
void Connect(const std::shared_ptr<Link>& link, const TcpEndpoint& endpoint) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* addresses = nullptr;
    if (!link->BeginLookup())
        return;
    const int found = ::getaddrinfo(endpoint.host.c_str(), std::to_string(endpoint.port).c_str(),
                                    &hints, &addresses);
    const int lookupErrno = errno;
    if (!link->EndLookup()) {
        if (found == 0)
            ::freeaddrinfo(addresses);
        return;
    }
    if (found != 0) {
        link->Failed(found == EAI_SYSTEM ? lookupErrno : found);
        return;
    }
    int error = ETIMEDOUT;
    for (const addrinfo* a = addresses; a; a = a->ai_next) {
        const int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        int err = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        if (err == EINPROGRESS)
            err = AwaitConnect(fd, *link);
        if (err == 0) {
            TuneSocket(fd);
            link->Connected(fd);
            ::freeaddrinfo(addresses);
            return;
        }
        ::close(fd);
        if (err == ECANCELED)
            break;
        error = err;
        if (err == ETIMEDOUT)
            break; // no time is left for the next address
    }
    ::freeaddrinfo(addresses);
    link->Failed(error);
}

class TcpPort final : public Port {
public:
    TcpPort(std::shared_ptr<Link> link, std::thread connector)
        : link_(std::move(link)), connector_(std::move(connector)) {}
    ~TcpPort() override {
        if (link_->Cancel())
            connector_.detach(); // in a lookup: it ends by itself, holding the link till then
        else if (connector_.joinable())
            connector_.join(); // its wait for the connection ends on the cancel at once
        link_->CloseSocket();
    }

    bool IsCommHandle() override { return true; }
    bool SetupComm(uint32_t, uint32_t) override { return true; }

    bool GetCommState(Dcb& dcb) override {
        std::lock_guard lock(mutex_);
        dcb = dcb_;
        return true;
    }
    // Nothing to apply: the settings are those of the line behind the server, kept for
    // whoever asks. A record no line could have is refused as a driver would refuse it, and
    // the previous format stays.
    bool SetCommState(const Dcb& dcb) override {
        std::lock_guard lock(mutex_);
        const bool ok = dcb.BaudRate != 0 && dcb.BaudRate <= static_cast<uint32_t>(INT_MAX) &&
                        dcb.ByteSize >= 5 && dcb.ByteSize <= 8 && dcb.Parity <= 4 &&
                        dcb.StopBits <= 2;
        dcb_ = ok ? dcb : dcb.WithLineFormatOf(dcb_);
        return ok;
    }
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

    // What the connection has delivered and no read has taken is dropped; what has gone to
    // the connection cannot be taken back, so the transmit side has nothing to drop.
    bool Purge(uint32_t flags) override {
        if (flags & (PURGE_RXCLEAR | PURGE_RXABORT)) {
            std::lock_guard lock(mutex_);
            if (read_.active && !read_.complete) {
                read_.count = 0;
                read_.sawByte = false;
            }
            const int fd = link_->Socket();
            if ((flags & PURGE_RXCLEAR) && fd >= 0) {
                // What is there now, within bounds: a server streaming faster than this drains
                // must not hold the caller here.
                uint8_t sink[4096];
                for (int i = 0; i < 64 && ::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
                }
            }
            drained_ = true;
        }
        return true;
    }
    bool EscapeCommFunction(uint32_t) override { return false; } // no modem lines

    bool SetCommMask(uint32_t) override { return true; } // no line or modem events come
    IoResult StartRead(uint8_t* buffer, uint32_t size) override;
    IoResult StartEventWait(uint32_t* mask) override {
        std::lock_guard lock(mutex_);
        eventOut_ = mask;
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
        if (eventOut_)
            *eventOut_ = 0;
        eventOut_ = nullptr;
        return Done(0);
    }
    IoResult ClearCommError(uint32_t* errors) override {
        *errors = 0;
        return Done(0);
    }
    void CancelReaderIo() override {
        std::lock_guard lock(mutex_);
        eventOut_ = nullptr;
        read_ = {};
    }

    IoResult Write(const uint8_t* data, uint32_t length, int stopFd) override;
    IoResult WriteNow(const uint8_t* data, uint32_t length) override;
    WaitResult WaitWriterIdle(int stopFd, int wakeFd) override;

    PortFault AwaitConnection() override {
        while (link_->Check(Clock::now()) == Link::State::Connecting) {
            pollfd ready{link_->ReadyFd(), POLLIN, 0};
            const timespec ts = ToTimespec(link_->Deadline() - Clock::now());
            ::ppoll(&ready, 1, &ts, nullptr);
        }
        return Fault();
    }

    PortFault Fault() override {
        int linkError = 0;
        if (link_->Check(Clock::now(), &linkError) == Link::State::Failed)
            return {linkError, true};
        std::lock_guard lock(mutex_);
        return {gone_ ? goneError_ : writeError_, false};
    }

private:
    // All with mutex_ held.
    void DeviceGone(int err);
    void ReadAvailable(short revents);

    const std::shared_ptr<Link> link_;
    std::thread connector_;

    std::mutex mutex_; // guards everything below
    Dcb dcb_;
    CommTimeouts timeouts_;
    uint32_t* eventOut_ = nullptr;
    PendingRead read_;
    bool gone_ = false;
    int goneError_ = 0;
    int writeError_ = 0;  // why the last write failed, for Fault()
    bool drained_ = true; // the last read found nothing more or took less than it asked
};

IoResult TcpPort::StartRead(uint8_t* buffer, uint32_t size) {
    std::lock_guard lock(mutex_);
    read_ = {};
    if (gone_)
        return Fail(goneError_);
    if (!read_.Start(timeouts_, buffer, size, Clock::now())) {
        // Return at once with what is there, possibly nothing.
        ReadAvailable(0);
        const IoResult r = read_.complete ? read_.result : Done(read_.count);
        read_ = {};
        return r;
    }
    return Pending();
}

void TcpPort::DeviceGone(int err) {
    gone_ = true;
    goneError_ = err;
    // What came before the connection went is delivered; the next read reports the failure.
    if (read_.count > 0)
        read_.CompleteWithData();
    else
        read_.Complete(Fail(err));
}

void TcpPort::ReadAvailable(short revents) {
    const int fd = link_->Socket();
    if (!read_.active || read_.complete || fd < 0)
        return;
    const uint32_t room = read_.size - read_.count;
    if (room == 0) {
        read_.CompleteWithData();
        return;
    }
    const ssize_t n = ::recv(fd, read_.buffer + read_.count, room, MSG_DONTWAIT);
    drained_ = n < static_cast<ssize_t>(room);
    if (n > 0) {
        read_.Got(static_cast<uint32_t>(n), Clock::now());
        if (read_.Satisfied())
            read_.CompleteWithData();
        return;
    }
    if (n == 0) {
        DeviceGone(ECONNRESET); // the server ended the connection
        return;
    }
    const int err = errno;
    if (err == EAGAIN || err == EINTR) {
        if (revents & (POLLHUP | POLLERR))
            DeviceGone(SocketError(fd, ECONNRESET));
        return;
    }
    if (err == EBADF) {
        read_.Complete(Fail(EBADF));
        return;
    }
    DeviceGone(err); // reset, timed out, unreachable
}

WaitResult TcpPort::WaitReader(int stopFd) {
    for (;;) {
        std::optional<Clock::time_point> deadline;
        bool reading = false;
        bool ready = false;
        Link::State state;
        {
            std::lock_guard lock(mutex_);
            const auto now = Clock::now();
            int linkError = 0;
            state = link_->Check(now, &linkError);
            if (state == Link::State::Failed) {
                if (!read_.active)
                    return WaitResult::Failed; // no read to report it through
                if (!read_.complete)
                    DeviceGone(linkError);
            }
            read_.CheckDeadlines(now);
            if (state == Link::State::Up && !drained_)
                ReadAvailable(0); // a stream faster than the reader: take what waits
            ready = read_.active && read_.complete;
            reading = read_.active;
            deadline = read_.Deadline();
            if (state == Link::State::Connecting && (!deadline || link_->Deadline() < *deadline))
                deadline = link_->Deadline();
        }
        if (ready) {
            // The stop wins over a read that is ready as well.
            pollfd stop{stopFd, POLLIN, 0};
            return ::poll(&stop, 1, 0) > 0 ? WaitResult::Stop : WaitResult::Read;
        }
        pollfd fds[2] = {{stopFd, POLLIN, 0}, {-1, 0, 0}};
        if (state == Link::State::Up)
            fds[1] = {link_->Socket(), static_cast<short>(reading ? POLLIN : 0), 0};
        else
            fds[1] = {link_->ReadyFd(), POLLIN, 0};
        timespec ts{};
        if (deadline) {
            // Woken a little early on long waits (the kernel lets them run late by a
            // thousandth), the rest is waited out on the next round.
            auto remaining = *deadline - Clock::now();
            if (remaining > std::chrono::milliseconds(50))
                remaining -= remaining / 500 + std::chrono::milliseconds(1);
            ts = ToTimespec(remaining);
        }
        const int rc = ::ppoll(fds, 2, deadline ? &ts : nullptr, nullptr);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            return WaitResult::Failed;
        }
        if (fds[0].revents)
            return WaitResult::Stop;
        if (state != Link::State::Up || !fds[1].revents)
            continue; // connected, failed, or a deadline: the next round sees which
        std::lock_guard lock(mutex_);
        if (!read_.active)
            return WaitResult::Failed; // a hangup with no read to report it through
        if (fds[1].revents & POLLNVAL)
            read_.Complete(Fail(EBADF));
        else
            ReadAvailable(fds[1].revents);
    }
}

IoResult TcpPort::Write(const uint8_t* data, uint32_t length, int stopFd) {
    CommTimeouts t;
    {
        std::lock_guard lock(mutex_);
        t = timeouts_;
    }
    const uint64_t totalMs =
        uint64_t{t.WriteTotalTimeoutMultiplier} * length + t.WriteTotalTimeoutConstant;
    const bool hasDeadline = totalMs > 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(totalMs);
    const auto failed = [this](int err) {
        std::lock_guard lock(mutex_);
        writeError_ = err;
        return Fail(err);
    };

    uint32_t written = 0;
    while (written < length) {
        int linkError = 0;
        const Link::State state = link_->Check(Clock::now(), &linkError);
        if (state == Link::State::Failed)
            return failed(linkError);
        const int fd = link_->Socket();
        if (state == Link::State::Up) {
            const ssize_t n =
                ::send(fd, data + written, length - written, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                written += static_cast<uint32_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN)
                return failed(errno);
        }
        // Wait for room on the connection, or for the connection itself; the stop and the
        // write time-out end either wait.
        pollfd fds[2] = {{stopFd, POLLIN, 0},
                         state == Link::State::Up ? pollfd{fd, POLLOUT, 0}
                                                  : pollfd{link_->ReadyFd(), POLLIN, 0}};
        std::optional<Clock::time_point> until;
        if (hasDeadline)
            until = deadline;
        if (state == Link::State::Connecting && (!until || link_->Deadline() < *until))
            until = link_->Deadline();
        timespec ts{};
        if (until)
            ts = ToTimespec(*until - Clock::now());
        const int rc = ::ppoll(fds, 2, until ? &ts : nullptr, nullptr);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0)
            return failed(errno);
        if (fds[0].revents)
            return {IoStatus::Stopped, written, 0};
        if (rc == 0 && hasDeadline && Clock::now() >= deadline)
            return Done(written); // time-out: completes with what went out
        if (state != Link::State::Up)
            continue;
        if (fds[1].revents & POLLNVAL)
            return Fail(EBADF);
        if ((fds[1].revents & (POLLHUP | POLLERR)) && !(fds[1].revents & POLLOUT))
            return failed(SocketError(fd, EPIPE));
    }
    return Done(written);
}

IoResult TcpPort::WriteNow(const uint8_t* data, uint32_t length) {
    if (link_->Check(Clock::now()) != Link::State::Up)
        return Pending(); // the writer waits for the connection, or reports its failure
    const ssize_t n = ::send(link_->Socket(), data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0)
        return Done(static_cast<uint32_t>(n));
    if (errno == EAGAIN || errno == EINTR)
        return Done(0);
    return Pending(); // the writer meets the failure again and reports it
}

WaitResult TcpPort::WaitWriterIdle(int stopFd, int wakeFd) {
    for (;;) {
        const Link::State state = link_->Check(Clock::now());
        if (state == Link::State::Failed)
            return WaitResult::Gone;
        // Once connected the socket is watched for its end only (the server's close, a
        // reset, an error), not for data. While connecting, the connection's outcome is.
        pollfd fds[3] = {{stopFd, POLLIN, 0},
                         {wakeFd, POLLIN, 0},
                         state == Link::State::Up ? pollfd{link_->Socket(), POLLRDHUP, 0}
                                                  : pollfd{link_->ReadyFd(), POLLIN, 0}};
        timespec ts{};
        const bool connecting = state == Link::State::Connecting;
        if (connecting)
            ts = ToTimespec(link_->Deadline() - Clock::now());
        const int rc = ::ppoll(fds, 3, connecting ? &ts : nullptr, nullptr);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0)
            return WaitResult::Failed;
        if (fds[0].revents)
            return WaitResult::Stop;
        if (fds[1].revents & POLLIN)
            return WaitResult::Input;
        if (connecting)
            continue;
        if (fds[2].revents & POLLNVAL)
            return WaitResult::Stop; // the handle went away: end quietly
        if (fds[2].revents)
            return WaitResult::Gone;
    }
}

class TcpPortFactoryImpl final : public PortFactory {
public:
    explicit TcpPortFactoryImpl(std::chrono::milliseconds connectTimeout)
        : connectTimeout_(connectTimeout) {}

    std::unique_ptr<Port> Open(const std::string& path, OpenFailure& failure) override {
        const std::optional<TcpEndpoint> endpoint = ParseTcpName(path);
        if (!endpoint) {
            failure.systemError = EINVAL;
            return nullptr;
        }
        auto link = std::make_shared<Link>(Clock::now() + connectTimeout_);
        if (!link->Valid()) {
            failure.systemError = errno ? errno : EMFILE;
            return nullptr;
        }
        std::thread connector;
        try {
            connector = std::thread([link, e = *endpoint] { Connect(link, e); });
        } catch (...) {
            failure.systemError = EAGAIN;
            return nullptr;
        }
        return std::make_unique<TcpPort>(std::move(link), std::move(connector));
    }

private:
    const std::chrono::milliseconds connectTimeout_;
};

class DefaultPortFactoryImpl final : public PortFactory {
public:
    std::unique_ptr<Port> Open(const std::string& path, OpenFailure& failure) override {
        return (IsTcpName(path) ? tcp_ : posix_)->Open(path, failure);
    }

private:
    const std::shared_ptr<PortFactory> tcp_ = TcpPortFactory(), posix_ = PosixPortFactory();
};

} // namespace

std::shared_ptr<PortFactory> TcpPortFactory(std::chrono::milliseconds connectTimeout) {
    return std::make_shared<TcpPortFactoryImpl>(connectTimeout);
}

std::shared_ptr<PortFactory> DefaultPortFactory() {
    static auto factory = std::make_shared<DefaultPortFactoryImpl>();
    return factory;
}

} // namespace serial
