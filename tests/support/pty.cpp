#include "pty.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace testsupport {

PtyPair::PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("cannot open a pseudo-terminal");
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0)
        throw std::runtime_error("ptsname failed");
    slavePath_ = name;
    // Raw on both sides so that no byte is translated on its way.
    keepSlave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (keepSlave_ >= 0 && tcgetattr(keepSlave_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(keepSlave_, TCSANOW, &t);
    }
    if (tcgetattr(master_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(master_, TCSANOW, &t);
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
    if (keepSlave_ >= 0)
        ::close(keepSlave_);
}

TcpEnd::TcpEnd() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::listen(listener_, 4) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("cannot listen on the loopback");
    slavePath_ = "tcp://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
}

TcpEnd::~TcpEnd() {
    ::close(listener_);
}

int TcpEnd::Far() {
    // The newest connection is the one served (the port was opened again).
    QDeadlineTimer deadline(master_ < 0 ? 3000 : 0);
    for (;;) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, master_ < 0 ? 1 : 0) > 0) {
            CloseMaster();
            master_ = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        }
        if (master_ >= 0 || deadline.hasExpired())
            return master_;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

LineEnd::~LineEnd() {
    CloseMaster();
}

void LineEnd::CloseMaster() {
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

void LineEnd::Write(const std::vector<uint8_t>& bytes) {
    const int master = Far();
    std::size_t off = 0;
    while (off < bytes.size()) {
        const ssize_t n = ::write(master, bytes.data() + off, bytes.size() - off);
        if (n > 0) {
            off += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            throw std::runtime_error("write to the far end failed");
        } else {
            pollfd p{master, POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
    }
}

std::vector<uint8_t> LineEnd::ReadExactly(std::size_t n, int timeoutMs) {
    return ReadUpTo(n, timeoutMs);
}

std::vector<uint8_t> LineEnd::ReadFor(int ms) {
    return ReadUpTo(SIZE_MAX, ms);
}

std::vector<uint8_t> LineEnd::ReadUpTo(std::size_t limit, int timeoutMs) {
    std::vector<uint8_t> out;
    QDeadlineTimer deadline(timeoutMs);
    while (out.size() < limit && !deadline.hasExpired()) {
        const int master = Far();
        uint8_t buf[4096];
        const ssize_t got = ::read(master, buf, std::min(sizeof buf, limit - out.size()));
        if (got > 0) {
            out.insert(out.end(), buf, buf + got);
            continue;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        pollfd p{master, POLLIN, 0};
        ::poll(&p, 1, 1);
    }
    return out;
}

} // namespace testsupport
