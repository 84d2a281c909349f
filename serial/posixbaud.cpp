#include "posixbaud.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cstring>
#include <sys/ioctl.h>

namespace serial::detail {

static_assert(sizeof(termios2) <= sizeof(SavedLine::raw));

bool SaveLine(int fd, SavedLine& saved) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return saved.valid = false;
    std::memcpy(saved.raw, &t, sizeof t);
    return saved.valid = true;
}

bool RestoreLine(int fd, const SavedLine& saved) {
    if (!saved.valid)
        return false;
    termios2 t{};
    std::memcpy(&t, saved.raw, sizeof t);
    return ::ioctl(fd, TCSETS2, &t) == 0;
}

bool SetArbitraryRate(int fd, uint32_t rate) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return false;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = rate;
    t.c_ospeed = rate;
    return ::ioctl(fd, TCSETS2, &t) == 0;
}

uint32_t ReadRate(int fd) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return 0;
    return t.c_ospeed;
}

} // namespace serial::detail
