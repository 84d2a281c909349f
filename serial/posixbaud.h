#pragma once
// Line-rate helpers that need the kernel's termios2 (BOTHER), whose header cannot be mixed
// with <termios.h>; so they live in their own source file. Any thread, on an open tty fd.

#include <cstdint>

namespace serial::detail {

// An opaque copy of a terminal's complete settings, arbitrary rates included.
struct SavedLine {
    alignas(8) unsigned char raw[128] = {};
    bool valid = false;
};
bool SaveLine(int fd, SavedLine& saved);
bool RestoreLine(int fd, const SavedLine& saved);

// Sets input and output rate to `rate` (any value) keeping every other setting.
bool SetArbitraryRate(int fd, uint32_t rate);

// The output rate the driver reports now; 0 when it cannot be read.
uint32_t ReadRate(int fd);

} // namespace serial::detail
