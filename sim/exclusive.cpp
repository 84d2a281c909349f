#include "sim/exclusive.h"

#include <csignal>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

bool ClearStaleExclusive(int slaveFd) {
    int exclusive = 0;
    if (slaveFd < 0 || ::ioctl(slaveFd, TIOCGEXCL, &exclusive) != 0 || !exclusive)
        return false;
    // Our own descriptor is an open file of its own, so its lock conflicts with a client's.
    if (::flock(slaveFd, LOCK_EX | LOCK_NB) != 0)
        return false; // held: the client is alive (or one is opening and will refuse itself)
    // Unlocked before the flag is cleared: until then the flag refuses every newcomer, so none
    // can have set it meanwhile, and none is turned away by our lock afterwards.
    ::flock(slaveFd, LOCK_UN);
    return ::ioctl(slaveFd, TIOCNXCL) == 0;
}

StaleExclusiveWatch::StaleExclusiveWatch(int slaveFd, const std::string& path) : slaveFd_(slaveFd) {
    if (slaveFd_ < 0)
        return;
    closes_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (closes_ >= 0 &&
        ::inotify_add_watch(closes_, path.c_str(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        ::close(closes_);
        closes_ = -1; // the checks every 100 ms still run
    }
    stop_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_ < 0)
        return;
    // Signals stay with the thread that takes them (the simulator's signalfd).
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, &previous);
    thread_ = std::thread([this] { Run(); });
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

StaleExclusiveWatch::~StaleExclusiveWatch() {
    if (thread_.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(stop_, &one, sizeof one);
        thread_.join();
    }
    for (int fd : {closes_, stop_})
        if (fd >= 0)
            ::close(fd);
}

void StaleExclusiveWatch::Run() {
    int retries = 0; // checks still due a millisecond apart after a close
    for (;;) {
        pollfd fds[2] = {{stop_, POLLIN, 0}, {closes_, POLLIN, 0}};
        const int n = ::poll(fds, closes_ >= 0 ? 2 : 1, retries > 0 ? 1 : 100);
        if (n > 0 && (fds[0].revents & POLLIN))
            return;
        if (n > 0 && (fds[1].revents & POLLIN)) {
            char events[4096];
            while (::read(closes_, events, sizeof events) > 0) {
            }
            retries = 50;
        }
        if (ClearStaleExclusive(slaveFd_))
            retries = 0;
        else if (retries > 0)
            --retries;
    }
}

} // namespace sim
