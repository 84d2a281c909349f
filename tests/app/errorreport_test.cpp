// The standard error report for a port that cannot be opened: the component's message stays
// the main text, and the informative text beneath it names the device, the system's reason
// and what the user can do about it. The real failures are the shell test's.
#include "app_test_support.h"
#include "serial/co.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

using namespace apptest;

namespace {

// What the report shows when `open` throws inside a handler.
ui::BoxRecord ReportOf(const std::function<void()>& open) {
    BoxCapture capture;
    Guarded(open);
    EXPECT_EQ(capture.boxes.size(), 1u);
    return capture.boxes.empty() ? ui::BoxRecord{} : capture.boxes.front();
}

TEST(ErrorReport, MainTextUnchangedDetailsNameDeviceReasonAndRemedy) {
    const std::pair<int, const char*> cases[] = {
        {EACCES, "sudo adduser $USER dialout"},  {EPERM, "dialout"},
        {EBUSY, "held by another program"},      {ENOENT, "COMn stands for /dev/ttyS<n-1>"},
        {ENODEV, "Check the port name"},         {ENXIO, "Check the port name"},
        {ENOTTY, "This is not a serial device"}, {EIO, ""}};
    for (const auto& [code, remedy] : cases) {
        const ui::BoxRecord r =
            ReportOf([&] { throw ECommsError("Error opening serial port", "/dev/ttyUSB3", code); });
        EXPECT_EQ(r.kind, ui::BoxKind::ErrorReport);
        EXPECT_EQ(r.text, QStringLiteral("Error opening serial port."));
        const QString reason = QString::fromLocal8Bit(std::strerror(code));
        EXPECT_TRUE(r.informative.startsWith("Device: /dev/ttyUSB3\nReason: " + reason))
            << r.informative.toStdString();
        EXPECT_TRUE(r.informative.contains(QString::fromUtf8(remedy))) << code;
    }
    // Nothing it does not know: no device tried, no reason, or not a port error at all.
    EXPECT_EQ(ReportOf([] { throw ECommsError("This serial port already opened"); }).informative,
              "");
    EXPECT_EQ(ui::CommsErrorDetails(ECommsError("Cannot setup comm buffer", "/dev/ttyS0", 0)),
              "Device: /dev/ttyS0");
    EXPECT_EQ(ReportOf([] { throw std::runtime_error("Input is wrong"); }).informative, "");
}

} // namespace
