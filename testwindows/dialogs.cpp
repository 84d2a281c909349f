#include "dialogs.h"

#include "serial/exception.h"

#include <QApplication>
#include <QMessageBox>

namespace ui {

namespace {
BoxSink& Sink() {
    static BoxSink sink;
    return sink;
}

void Show(QMessageBox::Icon icon, const QString& text, const QString& informative) {
    QMessageBox box(icon, ApplicationTitle(), text, QMessageBox::Ok, QApplication::activeWindow());
    if (!informative.isEmpty())
        box.setInformativeText(informative);
    box.exec();
}
} // namespace

QString ApplicationTitle() { return QStringLiteral("通讯演示"); }

void SetBoxSink(BoxSink sink) { Sink() = std::move(sink); }

void ShowMessage(const QString& text) {
    if (Sink())
        return Sink()({BoxKind::Message, text, {}});
    Show(QMessageBox::NoIcon, text, {});
}

QString WithFullStop(const QString& text) {
    if (!text.isEmpty() && text.back() > QLatin1Char('.'))
        return text + QLatin1Char('.');
    return text;
}

void ShowErrorReport(const QString& text, const QString& informative) {
    const QString shown = WithFullStop(text);
    if (Sink())
        return Sink()({BoxKind::ErrorReport, shown, informative});
    Show(QMessageBox::Critical, shown, informative);
}

void Beep() {
    if (Sink())
        return Sink()({BoxKind::Beep, {}, {}});
    QApplication::beep();
}

void InstallErrorReport() {
    SetApplicationExceptionHandler([](const std::exception& e) {
        ShowErrorReport(QString::fromLocal8Bit(e.what()));
    });
}

} // namespace ui
