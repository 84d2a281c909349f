// What a pseudo-terminal has no driver for: modem lines and the driver's error counters. This
// file stands in for the driver's ioctl on the one terminal a test names (every other request
// and descriptor goes to the real ioctl), so that the port layer's own code meets a ring, a
// carrier change and counted overruns and parity errors, as on a USB adapter.
#include "recorder.h"
#include "support/pty.h"

#include <dlfcn.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdarg>
#include <mutex>

namespace {

struct Driver {
    std::atomic<dev_t> device{0}; // the terminal answered for; 0: none
    std::mutex mutex;
    serial_icounter_struct counters{};
    int lines = 0;
    const int changed = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); // wakes TIOCMIWAIT

    template <class F> void Change(F f) {
        {
            std::lock_guard lock(mutex);
            f(counters);
        }
        ::eventfd_write(changed, 1);
    }
} driver;

bool Answered(int fd) {
    struct stat st {};
    const dev_t d = driver.device;
    return d != 0 && ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == d;
}

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    static const auto real =
        reinterpret_cast<int (*)(int, unsigned long, void*)>(::dlsym(RTLD_NEXT, "ioctl"));
    if (Answered(fd)) {
        std::unique_lock lock(driver.mutex);
        switch (request) {
        case TIOCGICOUNT:
            *static_cast<serial_icounter_struct*>(arg) = driver.counters;
            return 0;
        case TIOCMGET:
            *static_cast<int*>(arg) = driver.lines;
            return 0;
        case TIOCMBIS:
            driver.lines |= *static_cast<int*>(arg);
            return 0;
        case TIOCMBIC:
            driver.lines &= ~*static_cast<int*>(arg);
            return 0;
        case TIOCMIWAIT: { // until a change, or a signal (how the port stops its watcher)
            lock.unlock();
            pollfd p{driver.changed, POLLIN, 0};
            if (::ppoll(&p, 1, nullptr, nullptr) < 0)
                return -1;
            eventfd_t v;
            ::eventfd_read(driver.changed, &v);
            return 0;
        }
        default:
            break;
        }
    }
    return real(fd, request, arg);
}

namespace {

class ModemLines : public ::testing::Test {
protected:
    testsupport::PtyPair pty;
    Recorder r{pty.SlavePath()};
    ModemLines() {
        struct stat st {};
        ::stat(pty.SlavePath().c_str(), &st);
        driver.counters = {};
        driver.lines = 0;
        driver.device = st.st_rdev;
    }
    ~ModemLines() override { driver.device = 0; }
};

// Each counted error is reported once, with the next byte read, and only that error.
TEST_F(ModemLines, CountedErrorsAreReportedOnceEach) {
    r.comm.OpenPort();
    Pump(50);
    const std::pair<void (*)(serial_icounter_struct&), uint32_t> steps[] = {
        {[](serial_icounter_struct& c) { ++c.overrun; }, CE_OVERRUN},
        {[](serial_icounter_struct& c) { ++c.parity; }, CE_RXPARITY},
        {[](serial_icounter_struct&) {}, 0},
        {[](serial_icounter_struct& c) { c.frame += 2, ++c.buf_overrun; },
         CE_FRAME | CE_RXOVER},
        {[](serial_icounter_struct& c) { ++c.brk; }, CE_BREAK}};
    std::vector<uint32_t> expected;
    for (const auto& [change, error] : steps) {
        driver.Change(change);
        pty.Write({0x55});
        const std::size_t bytes = r.All().size() + 1;
        ASSERT_TRUE(WaitUntil([&] { return r.All().size() == bytes; }));
        if (error)
            expected.push_back(error);
        Pump(30);
        EXPECT_EQ(r.errors, expected);
    }
}

// A ring and a carrier change are reported as they happen; the watcher ends with the port,
// which opens again with the lines it asks for.
TEST_F(ModemLines, RingAndCarrierAreReportedAndTheWatcherEndsWithThePort) {
    for (int round = 0; round < 2; ++round) {
        r.modem.clear();
        r.comm.OpenPort();
        EXPECT_EQ(driver.lines & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);
        Pump(50);
        driver.Change([](serial_icounter_struct& c) { ++c.rng; });
        ASSERT_TRUE(WaitUntil([&] { return r.modem.size() == 1; }));
        driver.Change([](serial_icounter_struct& c) { ++c.dcd; });
        ASSERT_TRUE(WaitUntil([&] { return r.modem.size() == 2; }));
        driver.Change([](serial_icounter_struct& c) { c.rng += 2, ++c.dcd; });
        ASSERT_TRUE(WaitUntil([&] { return r.modem.size() == 3; }));
        EXPECT_EQ(r.modem, (std::vector<uint32_t>{4, 8, 12}));
        QElapsedTimer t;
        t.start();
        r.comm.ClosePort();
        EXPECT_LT(t.elapsed(), 1000);
        driver.lines = 0;
    }
}

} // namespace
