#include "sim/server.h"

#include "sim/alias.h"
#include "sim/device.h"
#include "sim/exclusive.h"
#include "sim/faults.h"
#include "sim/framer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace sim {

namespace {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            Reset();
            fd_ = o.fd_;
            o.fd_ = -1;
        }
        return *this;
    }
    int Get() const { return fd_; }
    void Reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

std::string Errno() { return std::strerror(errno); }

struct Line {
    Fd fd;        // what the simulator reads and writes (with --tcp: the connection served,
                  // none between connections)
    Fd keepSlave; // for a pseudo-terminal: its slave end, held open so that the master never
                  // sees a hang-up between two programs opening the port
    Fd listener;  // with --tcp: the listening socket
    std::string path;
};

speed_t SpeedConstant(int baud) {
    static const std::pair<int, speed_t> table[] = {
        {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
        {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
        {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
        {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
        {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto& [b, c] : table)
        if (b == baud)
            return c;
    return B0;
}

Line OpenPty() {
    Line line;
    line.fd = Fd(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (line.fd.Get() < 0 || ::grantpt(line.fd.Get()) != 0 || ::unlockpt(line.fd.Get()) != 0)
        throw std::runtime_error("cannot open a pseudo-terminal: " + Errno());
    char name[256];
    if (::ptsname_r(line.fd.Get(), name, sizeof name) != 0)
        throw std::runtime_error("cannot name the pseudo-terminal: " + Errno());
    line.path = name;
    line.keepSlave = Fd(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (line.keepSlave.Get() < 0)
        throw std::runtime_error("cannot open " + line.path + ": " + Errno());
    // Raw on both ends, so that no byte is translated or echoed on its way; the program that
    // opens the terminal sets its own line settings on top.
    for (int fd : {line.keepSlave.Get(), line.fd.Get()}) {
        termios t{};
        if (::tcgetattr(fd, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(fd, TCSANOW, &t);
        }
    }
    return line;
}

Line OpenPort(const Options& o) {
    Line line;
    line.path = o.port;
    line.fd = Fd(::open(o.port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (line.fd.Get() < 0)
        throw std::runtime_error("cannot open " + o.port + ": " + Errno());
    termios t{};
    if (::tcgetattr(line.fd.Get(), &t) != 0)
        throw std::runtime_error(o.port + " is not a serial device: " + Errno());
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(HUPCL | CRTSCTS | PARENB | PARODD | CSTOPB);
    if (o.parity != 'N')
        t.c_cflag |= PARENB | (o.parity == 'O' ? PARODD : 0);
    if (o.stopBits == 2)
        t.c_cflag |= CSTOPB;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    const speed_t speed = SpeedConstant(o.baud);
    if (speed == B0)
        throw std::runtime_error("the baud rate " + std::to_string(o.baud) + " is not a standard rate for --port");
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    if (::tcsetattr(line.fd.Get(), TCSANOW, &t) != 0)
        throw std::runtime_error("cannot set the line settings of " + o.port + ": " + Errno());
    ::tcflush(line.fd.Get(), TCIOFLUSH);
    return line;
}

// A listening socket on the address and port --tcp gave; `path` is democomm's name for it.
Line OpenTcp(const Options& o) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string where = *o.tcpHost + " port " + std::to_string(o.tcpPort);
    if (const int rc = ::getaddrinfo(o.tcpHost->c_str(), std::to_string(o.tcpPort).c_str(), &hints, &found); rc != 0)
        throw std::runtime_error("cannot listen on " + where + ": " + ::gai_strerror(rc));
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);
    Line line;
    line.listener = Fd(::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int on = 1;
    if (line.listener.Get() < 0 || ::setsockopt(line.listener.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(line.listener.Get(), found->ai_addr, found->ai_addrlen) != 0 || ::listen(line.listener.Get(), 4) != 0)
        throw std::runtime_error("cannot listen on " + where + ": " + Errno());
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(line.listener.Get(), reinterpret_cast<sockaddr*>(&bound), &len);
    const bool v6 = bound.ss_family == AF_INET6;
    const int port = ntohs(v6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port : reinterpret_cast<sockaddr_in&>(bound).sin_port);
    line.path = "tcp://" + (v6 ? "[" + *o.tcpHost + "]" : *o.tcpHost) + ":" + std::to_string(port);
    return line;
}

// "ADDR:PORT" of a connection's far end.
std::string PeerName(const sockaddr_storage& peer, socklen_t len) {
    char host[NI_MAXHOST] = "?", port[NI_MAXSERV] = "?";
    ::getnameinfo(reinterpret_cast<const sockaddr*>(&peer), len, host, sizeof host, port, sizeof port,
                  NI_NUMERICHOST | NI_NUMERICSERV);
    const bool v6 = peer.ss_family == AF_INET6;
    return (v6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" + port;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i)
            s += ' ';
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

std::string WallTime() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    ::localtime_r(&secs, &tm);
    char b[32];
    std::snprintf(b, sizeof b, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
    return b;
}

// Writes all bytes, waiting up to a second in all for room on the line.
bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
    std::size_t off = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    while (off < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + off, bytes.size() - off);
        if (n > 0) {
            off += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (Clock::now() >= deadline)
            return false;
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 50);
    }
    return true;
}

// One write to the master: a whole frame, or with line time one chunk of it.
struct Scheduled {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> frame; // the whole frame, on its first chunk only: logged then
    std::string what;
};

// A frame of the simulator's on the line, for the gap check.
struct OnLine {
    Clock::time_point start, end;
};

class Simulator {
public:
    Simulator(const Options& o, std::FILE* out, std::FILE* err) : o_(o), out_(out), err_(err), device_(static_cast<uint8_t>(o.slave)) {}

    int Run();

private:
    void Print(const std::string& line) {
        std::fputs(line.c_str(), out_);
        std::fputc('\n', out_);
        std::fflush(out_);
    }
    void Traffic(const char* dir, const std::vector<uint8_t>& bytes, const std::string& what) {
        if (!o_.quiet)
            Print(WallTime() + " " + dir + " " + Hex(bytes) + " | " + what);
    }
    void Note(const std::string& what) {
        if (!o_.quiet)
            Print(WallTime() + " -- | " + what);
    }
    void OnFound(std::vector<FoundBytes> found, Clock::time_point now);
    // A note per closing of the breaker on the device's clock since the last request, before
    // the request at `ms` is answered: when the advance action rose and the breaker closed,
    // on the device's clock and as Unix time in ms, so that a test can compare a recording.
    void Closings(int64_t ms) {
        const int64_t advance = device_.AdvanceAtMs(), close = device_.CloseAtMs();
        if (close >= 0 && !o_.quiet)
            for (int64_t cycle = std::max<int64_t>(lastMs_, 0) / kCycleMs; cycle <= ms / kCycleMs; ++cycle) {
                const int64_t at = cycle * kCycleMs + close;
                if (at <= lastMs_ || at > ms)
                    continue;
                const auto unixMs = [&](int64_t deviceMs) {
                    return std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count() -
                           (ms - deviceMs) / o_.speed;
                };
                const int64_t advanceAt = cycle * kCycleMs + advance;
                Note("closing: unit " + std::to_string(cycle % 4 + 1) + ", advance action at " +
                     std::to_string(advanceAt) + " ms, breaker closed at " + std::to_string(at) +
                     " ms on the device's clock; advance action at unix ms " +
                     std::to_string(unixMs(advanceAt)) + ", breaker closed at unix ms " +
                     std::to_string(unixMs(at)));
            }
        lastMs_ = std::max(lastMs_, ms);
    }
    void SendDue(Clock::time_point now);
    // The time `count` characters take on the line.
    std::chrono::nanoseconds Characters(std::size_t count) const { return charTime_ * static_cast<int64_t>(count); }
    // Puts `bytes` on the line from `start`: with line time in chunks as an adapter hands
    // them over, each no earlier than its character's end; without, whole at `start`.
    void Schedule(Clock::time_point start, std::vector<uint8_t> bytes, std::string what);
    // A stray byte, when the line is idle at `now`.
    void Chatter(Clock::time_point now);
    // --tcp: takes a connection waiting on the listening socket, or refuses it while one is
    // served; forgets the one served when it has gone.
    void Accept();
    void Disconnected(FrameFinder& finder);

    const Options& o_;
    std::FILE* out_;
    std::FILE* err_;
    Device device_;
    std::unique_ptr<FaultInjector> faults_;
    Line line_;
    Clock::time_point start_;
    std::vector<Scheduled> queue_; // kept sorted by due time, ties in insertion order
    std::chrono::nanoseconds charTime_{0}, silence_{0};
    Clock::time_point burstStart_{}; // first byte of what the frame finder holds
    Clock::time_point rxFree_{};     // end on the line of the last request received
    Clock::time_point txFree_{};     // end on the line of the last frame planned
    std::vector<OnLine> frames_;     // recent frames of ours, for the gap check
    Clock::time_point nextChatter_{};
    std::mt19937_64 chatterRng_;
    int received_ = 0, answered_ = 0, otherSlaves_ = 0, broadcasts_ = 0, garbage_ = 0;
    int gapViolations_ = 0, strayBytes_ = 0;
    int64_t lastMs_ = -1; // the device's clock at the last request
};

void Simulator::OnFound(std::vector<FoundBytes> found, Clock::time_point now) {
    for (FoundBytes& f : found) {
        if (f.kind == FoundBytes::Kind::Garbage) {
            ++garbage_;
            Traffic("rx", f.bytes, "not a frame (noise, bad CRC or cut short), ignored");
            continue;
        }
        ++received_;
        // Where the request lies on the line: from its first byte, for its characters.
        const auto reqStart = std::max(burstStart_, rxFree_);
        const auto reqEnd = reqStart + Characters(f.bytes.size());
        rxFree_ = reqEnd;
        std::string gapNote;
        if (o_.lineTime) {
            Clock::time_point previousEnd{};
            for (const OnLine& l : frames_)
                if (l.start <= reqStart)
                    previousEnd = std::max(previousEnd, l.end);
            if (previousEnd != Clock::time_point{} && reqStart < previousEnd + silence_) {
                ++gapViolations_;
                char b[160];
                std::snprintf(b, sizeof b, " (gap violation: %.2f ms after the end of the previous frame, %.2f ms needed)",
                              std::chrono::duration<double, std::milli>(reqStart - previousEnd).count(),
                              std::chrono::duration<double, std::milli>(silence_).count());
                gapNote = b;
            }
        }
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - start_).count() * o_.speed;
        Closings(ms);
        Outcome outcome = device_.Handle(f.bytes, ms);
        if (outcome.kind == Outcome::Kind::NotForUs) {
            ++otherSlaves_;
            Traffic("rx", f.bytes, outcome.request + ", ignored" + gapNote);
            continue;
        }
        if (outcome.kind == Outcome::Kind::Silent) {
            ++broadcasts_;
            Traffic("rx", f.bytes, outcome.request + ", not answered" + gapNote);
            continue;
        }
        Traffic("rx", f.bytes, outcome.request + gapNote);
        std::vector<std::string> notes;
        const std::vector<uint8_t> intended = outcome.reply;
        std::vector<Transmission> plan = faults_->Plan(f.bytes, std::move(outcome.reply), outcome.replyText, notes);
        if (plan.empty())
            Traffic("--", intended, outcome.replyText + " (fault: dropped)");
        else
            ++answered_;
        for (Transmission& t : plan) {
            if (!o_.lineTime) {
                Schedule(now + t.at, std::move(t.bytes), std::move(t.what));
                continue;
            }
            // The echo is the request itself, heard back while it is on the line; a reply
            // starts a turnaround after the request has ended, and never over another frame.
            const auto start = t.echo ? reqStart
                                      : std::max(reqEnd + std::chrono::milliseconds(o_.turnaroundMs) + t.at, txFree_);
            if (!t.echo)
                txFree_ = start + Characters(t.bytes.size());
            Schedule(start, std::move(t.bytes), std::move(t.what));
        }
    }
    SendDue(now);
}

void Simulator::Schedule(Clock::time_point start, std::vector<uint8_t> bytes, std::string what) {
    auto add = [&](Clock::time_point due, std::vector<uint8_t> chunk, std::vector<uint8_t> frame) {
        Scheduled s{due, std::move(chunk), std::move(frame), what};
        const auto pos = std::upper_bound(queue_.begin(), queue_.end(), s.due,
                                          [](Clock::time_point d, const Scheduled& q) { return d < q.due; });
        queue_.insert(pos, std::move(s));
    };
    if (!o_.lineTime) {
        add(start, bytes, bytes);
        return;
    }
    const std::size_t n = bytes.size();
    frames_.push_back({start, start + Characters(n)});
    if (frames_.size() > 64)
        frames_.erase(frames_.begin());
    const auto tick = o_.chunkMs > 0 ? std::chrono::nanoseconds(std::chrono::milliseconds(o_.chunkMs)) : charTime_;
    std::size_t sent = 0;
    for (int64_t k = 1; sent < n; ++k) {
        // The characters complete by this tick go in one chunk.
        const std::size_t upTo = std::min<std::size_t>(n, static_cast<std::size_t>(tick * k / charTime_));
        if (upTo <= sent)
            continue;
        add(start + tick * k, {bytes.begin() + static_cast<std::ptrdiff_t>(sent), bytes.begin() + static_cast<std::ptrdiff_t>(upTo)},
            sent == 0 ? bytes : std::vector<uint8_t>{});
        sent = upTo;
    }
}

void Simulator::Accept() {
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    Fd client(::accept4(line_.listener.Get(), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (client.Get() < 0)
        return;
    if (line_.fd.Get() >= 0) {
        // A device server's port serves one master: the second is reset at once, so that it
        // learns so instead of waiting for replies that never come.
        const linger reset{1, 0};
        ::setsockopt(client.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        Note("refused a second connection from " + PeerName(peer, len));
        return;
    }
    const int on = 1;
    ::setsockopt(client.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on); // each chunk at its time
    line_.fd = std::move(client);
    Note("connection from " + PeerName(peer, len));
}

void Simulator::Disconnected(FrameFinder& finder) {
    Note("connection closed");
    line_.fd.Reset();
    queue_.clear(); // what was still to go belonged to that master
    finder = FrameFinder(std::chrono::duration_cast<std::chrono::microseconds>(silence_));
}

void Simulator::SendDue(Clock::time_point now) {
    while (!queue_.empty() && queue_.front().due <= now) {
        Scheduled s = std::move(queue_.front());
        queue_.erase(queue_.begin());
        const bool written = WriteAll(line_.fd.Get(), s.bytes);
        if (written && !s.frame.empty())
            Traffic("tx", s.frame, s.what);
        else if (!written)
            Traffic("--", s.bytes, s.what + " (could not be written: " + Errno() + ")");
    }
}

void Simulator::Chatter(Clock::time_point now) {
    if (o_.chatterMs <= 0 || now < nextChatter_)
        return;
    const auto every = std::chrono::milliseconds(o_.chatterMs);
    nextChatter_ = std::max(nextChatter_ + every, now);
    // Only on an idle line: nothing being received, answered or about to be; and one there.
    if (!queue_.empty() || now < txFree_ || now < rxFree_ || line_.fd.Get() < 0)
        return;
    const std::vector<uint8_t> stray{static_cast<uint8_t>(chatterRng_())};
    if (WriteAll(line_.fd.Get(), stray)) {
        ++strayBytes_;
        Traffic("tx", stray, "stray byte (fault: chatter)");
    }
}

int Simulator::Run() {
    // Stop signals are taken through a signalfd, so that cleanup runs as ordinary code.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN); // a closed standard output must not kill us before cleanup
    Fd sigFd(::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK));
    if (sigFd.Get() < 0) {
        std::fprintf(err_, "democomm-sim: cannot take signals: %s\n", Errno().c_str());
        return 1;
    }

    std::unique_ptr<Alias> alias;
    try {
        line_ = o_.tcpHost ? OpenTcp(o_) : o_.port.empty() ? OpenPty() : OpenPort(o_);
        if (const std::string name = o_.AliasName(); !name.empty()) {
            if (!IsComName(name))
                std::fprintf(err_, "democomm-sim: note: democomm looks up only names like COM2 in the alias folder; "
                                   "'%s' is made all the same\n",
                             name.c_str());
            alias = Alias::Create(AliasFolderPath(), name, line_.path);
        }
    } catch (const std::exception& e) {
        std::fprintf(err_, "democomm-sim: %s\n", e.what());
        return 1;
    }

    const uint64_t seed = o_.seed ? *o_.seed : (uint64_t{std::random_device{}()} << 32) ^ std::random_device{}();
    const auto silence = SilenceFor(o_.baud);
    faults_ = std::make_unique<FaultInjector>(o_.faults, seed, silence);
    FrameFinder finder(silence);
    const int bitsPerCharacter = 1 + 8 + (o_.parity != 'N' ? 1 : 0) + o_.stopBits;
    charTime_ = std::chrono::nanoseconds(int64_t{bitsPerCharacter} * 1'000'000'000 / std::max(o_.baud, 1));
    silence_ = silence;
    chatterRng_.seed(seed ^ 0x9E3779B97F4A7C15ull);

    Print("port: " + line_.path);
    Print("alias: " + (alias ? alias->Path() : std::string("none")));
    Print("slave: " + std::to_string(o_.slave) + " baud: " + std::to_string(o_.baud) + " seed: " + std::to_string(seed));
    Print(o_.lineTime ? "line time: turnaround " + std::to_string(o_.turnaroundMs) + " ms, chunks of " +
                            std::to_string(o_.chunkMs) + " ms"
                      : std::string("line time: off"));

    // Standard input is watched only when it is a pipe or socket: then its end means the
    // program that started us has gone. A terminal, /dev/null (as background jobs get) or a
    // file says nothing about that.
    struct stat inSt{};
    const bool watchStdin = ::fstat(STDIN_FILENO, &inSt) == 0 && (S_ISFIFO(inSt.st_mode) || S_ISSOCK(inSt.st_mode));

    // The line's pace is kept by waking at each chunk's time; the kernel's default slack of
    // 50 us per wake-up would add up to a tenth of an exchange at the fast rates.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    const StaleExclusiveWatch exclusiveWatch(line_.keepSlave.Get(), line_.path); // frees the port after a killed client
    start_ = Clock::now();
    nextChatter_ = start_ + std::chrono::milliseconds(o_.chatterMs);
    std::string stopReason;
    int rc = 0;
    std::vector<uint8_t> buf(4096);
    while (stopReason.empty()) {
        const auto now = Clock::now();
        std::optional<Clock::time_point> wake = finder.Deadline();
        if (!queue_.empty())
            wake = wake ? std::min(*wake, queue_.front().due) : queue_.front().due;
        if (o_.chatterMs > 0)
            wake = wake ? std::min(*wake, nextChatter_) : nextChatter_;
        timespec ts{};
        timespec* timeout = nullptr;
        if (wake) {
            const auto ns = std::max<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(*wake - now).count(), 0);
            ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
            ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
            timeout = &ts;
        }
        // A negative descriptor is skipped: no connection yet, or no listener (a terminal).
        pollfd fds[4] = {{line_.fd.Get(), POLLIN, 0},
                         {sigFd.Get(), POLLIN, 0},
                         {watchStdin ? STDIN_FILENO : -1, POLLIN, 0},
                         {line_.listener.Get(), POLLIN, 0}};
        const int n = ::ppoll(fds, 4, timeout, nullptr);
        if (n < 0 && errno != EINTR) {
            std::fprintf(err_, "democomm-sim: poll failed: %s\n", Errno().c_str());
            rc = 1;
            break;
        }
        const auto t = Clock::now();
        if (n > 0 && (fds[1].revents & POLLIN)) {
            signalfd_siginfo si{};
            if (::read(sigFd.Get(), &si, sizeof si) == static_cast<ssize_t>(sizeof si))
                stopReason = std::string("signal ") + sigabbrev_np(static_cast<int>(si.ssi_signo));
            else
                stopReason = "signal";
        }
        if (n > 0 && (fds[3].revents & POLLIN))
            Accept();
        if (n > 0 && watchStdin && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            char sink[256];
            const ssize_t got = ::read(STDIN_FILENO, sink, sizeof sink);
            if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN))
                stopReason = "end of standard input";
        }
        if (n > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            bool lost = false;
            for (;;) {
                const ssize_t got = ::read(line_.fd.Get(), buf.data(), buf.size());
                if (got > 0) {
                    if (finder.Pending() == 0)
                        burstStart_ = t;
                    OnFound(finder.Feed(std::span(buf.data(), static_cast<std::size_t>(got)), t), t);
                    continue;
                }
                if (got < 0 && (errno == EAGAIN || errno == EINTR))
                    break;
                lost = true; // 0 bytes from a readable line, or EIO: the device is gone
                break;
            }
            if (lost && line_.listener.Get() >= 0) {
                Disconnected(finder); // the master went: the next one may connect
            } else if (lost) {
                std::fprintf(err_, "democomm-sim: the line %s has gone away\n", line_.path.c_str());
                stopReason = "line lost";
                rc = 1;
            }
        }
        OnFound(finder.Idle(Clock::now()), Clock::now());
        if (finder.Pending() == 0)
            Chatter(Clock::now());
    }

    if (alias)
        alias->Remove();
    Print("stopped: " + (stopReason.empty() ? std::string("error") : stopReason));
    Print("frames: received=" + std::to_string(received_) + " answered=" + std::to_string(answered_) +
          " other-slaves=" + std::to_string(otherSlaves_) + " broadcast=" + std::to_string(broadcasts_) +
          " garbage=" + std::to_string(garbage_) + " gap-violations=" + std::to_string(gapViolations_) +
          " stray-bytes=" + std::to_string(strayBytes_));
    Print("faults: " + faults_->Summary());
    return rc;
}

} // namespace

int RunSimulator(const Options& options, std::FILE* out, std::FILE* err) {
    Simulator s(options, out, err);
    return s.Run();
}

} // namespace sim
