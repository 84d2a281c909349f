// The details of a port error's report: the device, the system's reason and what the user
// can do about it. The report itself (main text, full stop) on real failed opens is the
// shell test's.
#include "serial/co.h"
#include "testwindows/dialogs.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

TEST(ErrorReport, DetailsNameDeviceReasonAndRemedy) {
    const std::pair<int, const char*> cases[] = {
        {EACCES, "sudo adduser $USER dialout"},  {EPERM, "dialout"},
        {EBUSY, "held by another program"},      {ENOENT, "COMn stands for /dev/ttyS<n-1>"},
        {ENODEV, "Check the port name"},         {ENXIO, "Check the port name"},
        {ENOTTY, "This is not a serial device"}, {EIO, ""}};
    for (const auto& [code, remedy] : cases) {
        const QString details =
            ui::CommsErrorDetails(ECommsError("Error opening serial port", "/dev/ttyUSB3", code));
        const QString reason = QString::fromLocal8Bit(std::strerror(code));
        EXPECT_TRUE(details.startsWith("Device: /dev/ttyUSB3\nReason: " + reason))
            << details.toStdString();
        EXPECT_TRUE(details.contains(QString::fromUtf8(remedy))) << code;
    }
    // Nothing it does not know: no device tried, or no reason.
    EXPECT_EQ(ui::CommsErrorDetails(ECommsError("This serial port already opened")), "");
    EXPECT_EQ(ui::CommsErrorDetails(ECommsError("Cannot setup comm buffer", "/dev/ttyS0", 0)),
              "Device: /dev/ttyS0");
}
