#include "dialogs.h"

#include "serial/co.h"
#include "serial/exception.h"
#include "serial/portname.h"

#include <QApplication>
#include <QMessageBox>
#include <QStringList>

#include <cerrno>
#include <cstring>

namespace ui {

namespace {
BoxSink& Sink() {
    static BoxSink sink;
    return sink;
}

// The sink sees the box exactly as it would be shown.
void Show(QMessageBox::Icon icon, BoxRecord record) {
    if (Sink())
        return Sink()(record);
    QMessageBox box(icon, record.caption, record.text, QMessageBox::Ok,
                    QApplication::activeWindow());
    if (!record.informative.isEmpty())
        box.setInformativeText(record.informative);
    box.exec();
}
} // namespace

QString ApplicationTitle() {
    return QStringLiteral("通讯演示");
}

void SetBoxSink(BoxSink sink) {
    Sink() = std::move(sink);
}

void ShowMessage(const QString& text) {
    Show(QMessageBox::NoIcon, {BoxKind::Message, text, {}, ApplicationTitle()});
}

QString WithFullStop(const QString& text) {
    if (!text.isEmpty() && text.back() > QLatin1Char('.'))
        return text + QLatin1Char('.');
    return text;
}

void ShowErrorReport(const QString& text, const QString& informative) {
    Show(QMessageBox::Critical,
         {BoxKind::ErrorReport, WithFullStop(text), informative, ApplicationTitle()});
}

void Beep() {
    if (Sink())
        return Sink()({BoxKind::Beep, {}, {}, {}});
    QApplication::beep();
}

QString CommsErrorDetails(const ECommsError& error) {
    if (error.Path().empty())
        return {};
    const QString path = QString::fromLocal8Bit(error.Path());
    QStringList lines{QStringLiteral("Device: %1").arg(path)};
    const int code = error.SystemError();
    if (code != 0)
        lines << QStringLiteral("Reason: %1").arg(QString::fromLocal8Bit(std::strerror(code)));
    switch (code) {
    case EACCES:
    case EPERM:
        lines << QStringLiteral("Serial ports belong to the group dialout. Join it with "
                                "\"sudo adduser $USER dialout\", then log out and log in again.");
        break;
    case EBUSY:
        lines << QStringLiteral("The port is held by another program (or another democomm "
                                "window). Close it there and try again.");
        break;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        lines << QStringLiteral("Check the port name. COMn stands for /dev/ttyS<n-1> (COM1 is "
                                "/dev/ttyS0) unless an alias COMn exists in %1; a USB adapter "
                                "is usually /dev/ttyUSB0, typed as a path.")
                     .arg(QString::fromLocal8Bit(serial::AliasFolder()));
        break;
    case ENOTTY:
        lines << QStringLiteral("This is not a serial device: choose a serial port such as "
                                "/dev/ttyS0 or /dev/ttyUSB0.");
        break;
    default:
        break;
    }
    return lines.join(QLatin1Char('\n'));
}

void InstallErrorReport() {
    SetApplicationExceptionHandler([](const std::exception& e) {
        const auto* comms = dynamic_cast<const ECommsError*>(&e);
        ShowErrorReport(QString::fromLocal8Bit(e.what()),
                        comms ? CommsErrorDetails(*comms) : QString());
    });
}

} // namespace ui
