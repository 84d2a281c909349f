// The standard error report for a port that cannot be opened: the component's message stays
// the main text, and the informative text beneath it names the device, the system's reason
// and what the user can do about it. Real failures on pseudo-terminals, and each reason's text.
#include "app_test_support.h"
#include "serial/co.h"
#include "serial/portname.h"
#include "support/pty.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

using namespace apptest;

namespace {

QString Reason(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}

// What the report shows when `open` throws inside a handler.
ui::BoxRecord ReportOf(const std::function<void()>& open) {
    BoxCapture capture;
    Guarded(open);
    EXPECT_EQ(capture.boxes.size(), 1u);
    return capture.boxes.empty() ? ui::BoxRecord{} : capture.boxes.front();
}

// Runs OpenPort on `name` and returns the report it leads to.
ui::BoxRecord ReportOfOpening(const QString& name) {
    TComm comm;
    comm.setCommName(name);
    return ReportOf([&] { comm.OpenPort(); });
}

// Makes the alias folder an empty one of the test's own, so that no COMn alias exists.
class NoAliases {
public:
    NoAliases()
        : saved_(qgetenv("XDG_RUNTIME_DIR")),
          hadValue_(qEnvironmentVariableIsSet("XDG_RUNTIME_DIR")) {
        qputenv("XDG_RUNTIME_DIR", dir_.path().toLocal8Bit());
    }
    ~NoAliases() {
        if (hadValue_)
            qputenv("XDG_RUNTIME_DIR", saved_);
        else
            qunsetenv("XDG_RUNTIME_DIR");
    }

private:
    QTemporaryDir dir_;
    QByteArray saved_;
    bool hadValue_;
};

// ------------------------------------------------------------------ each reason's text

struct ReasonCase {
    const char* name;
    int systemError;
    const char* remedy; // a phrase the informative text must hold, "" for none
};

class ReportReasons : public ::testing::TestWithParam<ReasonCase> {};

TEST_P(ReportReasons, MainTextUnchangedDetailsNameDeviceReasonAndRemedy) {
    const ReasonCase& c = GetParam();
    const ui::BoxRecord r = ReportOf(
        [&] { throw ECommsError("Error opening serial port", "/dev/ttyUSB3", c.systemError); });
    EXPECT_EQ(r.kind, ui::BoxKind::ErrorReport);
    EXPECT_EQ(r.text, QStringLiteral("Error opening serial port."));
    EXPECT_TRUE(r.informative.contains(QStringLiteral("/dev/ttyUSB3")))
        << r.informative.toStdString();
    EXPECT_TRUE(r.informative.contains(Reason(c.systemError))) << r.informative.toStdString();
    EXPECT_TRUE(r.informative.contains(QString::fromUtf8(c.remedy))) << r.informative.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Errno, ReportReasons,
    ::testing::Values(ReasonCase{"PermissionDenied", EACCES, "sudo adduser $USER dialout"},
                      ReasonCase{"NotPermitted", EPERM, "dialout"},
                      ReasonCase{"Busy", EBUSY, "held by another program"},
                      ReasonCase{"NoSuchFile", ENOENT, "COMn stands for /dev/ttyS<n-1>"},
                      ReasonCase{"NoSuchDevice", ENODEV, "Check the port name"},
                      ReasonCase{"NoSuchDeviceOrAddress", ENXIO, "Check the port name"},
                      ReasonCase{"OtherReason", EIO, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReportDetails, TheNoSuchDeviceRemedyNamesTheAliasFolder) {
    NoAliases noAliases;
    const QString details =
        ui::CommsErrorDetails(ECommsError("Error opening serial port", "/dev/ttyS6", ENOENT));
    EXPECT_TRUE(details.contains(QString::fromStdString(serial::AliasFolder())))
        << details.toStdString();
}

TEST(ReportDetails, AnErrorWithoutAPathOrReasonAddsNothingItDoesNotKnow) {
    // Already open: no device tried, so no details at all.
    EXPECT_EQ(ReportOf([] { throw ECommsError("This serial port already opened"); }).informative,
              QString());
    // A device but no system reason: the device only, no "Reason:" line.
    const QString deviceOnly =
        ui::CommsErrorDetails(ECommsError("Cannot setup comm buffer", "/dev/ttyS0", 0));
    EXPECT_EQ(deviceOnly, QStringLiteral("Device: /dev/ttyS0"));
    // Other exceptions keep the plain report.
    EXPECT_EQ(ReportOf([] { throw std::runtime_error("Input is wrong"); }).informative, QString());
}

// ------------------------------------------------------------------ real failures

TEST(ReportOnOpen, NoSuchDeviceNamesTheTtySPathOfTheCOMName) {
    NoAliases noAliases;
    if (::access("/dev/ttyS6", F_OK) == 0)
        GTEST_SKIP() << "this machine has /dev/ttyS6";
    const ui::BoxRecord r = ReportOfOpening(QStringLiteral("COM7"));
    EXPECT_EQ(r.text, QStringLiteral("Error opening serial port."));
    EXPECT_TRUE(r.informative.contains(QStringLiteral("Device: /dev/ttyS6")))
        << r.informative.toStdString();
    EXPECT_TRUE(r.informative.contains(Reason(ENOENT))) << r.informative.toStdString();
    EXPECT_TRUE(r.informative.contains(QStringLiteral("COMn stands for")));
}

TEST(ReportOnOpen, BusyWhenAnotherComponentHoldsThePort) {
    testsupport::PtyPair pty;
    const QString path = QString::fromStdString(pty.SlavePath());
    TComm holder;
    holder.setCommName(path);
    holder.OpenPort();
    const ui::BoxRecord r = ReportOfOpening(path);
    holder.ClosePort();
    EXPECT_EQ(r.text, QStringLiteral("Error opening serial port."));
    EXPECT_TRUE(r.informative.contains(QStringLiteral("Device: ") + path))
        << r.informative.toStdString();
    EXPECT_TRUE(r.informative.contains(Reason(EBUSY))) << r.informative.toStdString();
    EXPECT_TRUE(r.informative.contains(QStringLiteral("held by another program")));
}

// Permission denied is what a user outside the dialout group meets. Root opens any device,
// so as root the attempt runs in a child process that has given up root first (to the
// account "nobody"); otherwise the test's own pseudo-terminal is made unreadable.
TEST(ReportOnOpen, PermissionDeniedSuggestsTheDialoutGroup) {
    testsupport::PtyPair pty;
    const std::string path = pty.SlavePath();
    const bool root = ::geteuid() == 0;
    if (!root) {
        ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    }

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
        if (root && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(77);
        QString details;
        try {
            TComm comm;
            comm.setCommName(QString::fromStdString(path));
            comm.OpenPort();
        } catch (const ECommsError& e) {
            details =
                QString::fromLocal8Bit(e.what()) + QLatin1Char('\n') + ui::CommsErrorDetails(e);
        }
        const QByteArray out = details.toUtf8();
        const bool written = ::write(fds[1], out.constData(), out.size()) == out.size();
        ::_exit(written ? 0 : 1);
    }
    ::close(fds[1]);
    QByteArray got;
    char buffer[512];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        got.append(buffer, n);
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::chmod(path.c_str(), 0620);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "cannot give up root here";
    ASSERT_EQ(WEXITSTATUS(status), 0);

    const QString report = QString::fromUtf8(got);
    EXPECT_TRUE(report.startsWith(QStringLiteral("Error opening serial port\n")))
        << got.toStdString();
    EXPECT_TRUE(report.contains(QStringLiteral("Device: ") + QString::fromStdString(path)));
    EXPECT_TRUE(report.contains(Reason(EACCES))) << got.toStdString();
    EXPECT_TRUE(report.contains(QStringLiteral("sudo adduser $USER dialout")));
}

} // namespace
