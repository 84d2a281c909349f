#include "dialogs.h"

#include "serial/co.h"
#include "serial/errordetails.h"
#include "serial/exception.h"

#include <QApplication>
#include <QMessageBox>

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
    return QString::fromStdString(serial::CommsErrorDetails(error));
}

void InstallErrorReport() {
    SetApplicationExceptionHandler([](const std::exception& e) {
        const auto* comms = dynamic_cast<const ECommsError*>(&e);
        ShowErrorReport(QString::fromLocal8Bit(e.what()),
                        comms ? CommsErrorDetails(*comms) : QString());
    });
}

} // namespace ui
