#pragma once
// What a user can act on when a port failed to open, shared by the windows' error report and
// the command-line program.

#include "serial/co.h"

#include <string>

namespace serial {

// In English like the component's messages: the device path tried, the system's reason
// (strerror of SystemError()), and a remedy where there is one (permission denied: join the
// dialout group; busy: another program holds the port; no such device: check the name, COMn
// means /dev/ttyS<n-1> unless an alias exists); for a network port (tcp://HOST:PORT) the
// server and port, the reason (refused, unreachable, timed out, name not found, reset) and
// what to check. Lines separated by '\n', no final newline.
// Empty when the error names no path.
std::string CommsErrorDetails(const ECommsError& error);

} // namespace serial
