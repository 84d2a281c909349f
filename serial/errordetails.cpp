#include "serial/errordetails.h"

#include "serial/portname.h"

#include <cerrno>
#include <cstring>

namespace serial {

std::string CommsErrorDetails(const ECommsError& error) {
    if (error.Path().empty())
        return {};
    std::string text = "Device: " + error.Path();
    const int code = error.SystemError();
    if (code != 0)
        text += std::string("\nReason: ") + std::strerror(code);
    switch (code) {
    case EACCES:
    case EPERM:
        text += "\nSerial ports belong to the group dialout. Join it with "
                "\"sudo adduser $USER dialout\", then log out and log in again.";
        break;
    case EBUSY:
        text += "\nThe port is held by another program (or another democomm window). Close it "
                "there and try again.";
        break;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        text += "\nCheck the port name. COMn stands for /dev/ttyS<n-1> (COM1 is /dev/ttyS0) "
                "unless an alias COMn exists in " +
                AliasFolder() + "; a USB adapter is usually /dev/ttyUSB0, typed as a path.";
        break;
    case ENOTTY:
        text += "\nThis is not a serial device: choose a serial port such as /dev/ttyS0 or "
                "/dev/ttyUSB0.";
        break;
    default:
        break;
    }
    return text;
}

} // namespace serial
