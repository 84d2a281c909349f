#include "pty.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <stdlib.h>
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
    CloseMaster();
    if (keepSlave_ >= 0)
        ::close(keepSlave_);
}

void PtyPair::CloseMaster() {
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

void PtyPair::Write(const std::vector<uint8_t>& bytes) {
    std::size_t off = 0;
    while (off < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + off, bytes.size() - off);
        if (n > 0) {
            off += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            throw std::runtime_error("write to pseudo-terminal master failed");
        } else {
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
    }
}

std::vector<uint8_t> PtyPair::ReadExactly(std::size_t n, int timeoutMs) {
    return ReadUpTo(n, timeoutMs);
}

std::vector<uint8_t> PtyPair::ReadFor(int ms) { return ReadUpTo(SIZE_MAX, ms); }

std::vector<uint8_t> PtyPair::ReadUpTo(std::size_t limit, int timeoutMs) {
    std::vector<uint8_t> out;
    QDeadlineTimer deadline(timeoutMs);
    while (out.size() < limit && !deadline.hasExpired()) {
        uint8_t buf[4096];
        const ssize_t got = ::read(master_, buf, std::min(sizeof buf, limit - out.size()));
        if (got > 0) {
            out.insert(out.end(), buf, buf + got);
            continue;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        pollfd p{master_, POLLIN, 0};
        ::poll(&p, 1, 1);
    }
    return out;
}

} // namespace testsupport
