#include "formutil.h"

#include "serial/co.h"
#include "serial/deviceline.h"

#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScreen>

#include <algorithm>
#include <cstring>

namespace testwindows {

void ConfigureComm32(TComm& comm) {
    comm.setCommName(QStringLiteral("COM2"));
    comm.setBaudRate(9600);
    comm.setLineBreakTime(20000);
    serial::ConfigureDeviceLine(comm);
    comm.setReadIntervalTimeout(1000);
    comm.setReadTotalTimeoutMultiplier(0);
    comm.setReadTotalTimeoutConstant(0);
    comm.setWriteTotalTimeoutMultiplier(0);
    comm.setWriteTotalTimeoutConstant(0);
}

int LineCount(const QPlainTextEdit* memo) {
    const QString text = memo->toPlainText();
    return TextLineCount(text);
}

int TextLineCount(const QString& text) {
    if (text.isEmpty())
        return 0;
    const int breaks = static_cast<int>(text.count(QLatin1Char('\n')));
    return text.endsWith(QLatin1Char('\n')) ? breaks : breaks + 1;
}

void LogSent(QPlainTextEdit* memo, const std::string& frameLine) {
    if (LineCount(memo) > 100)
        memo->clear();
    memo->appendPlainText(QStringLiteral("发送:"));
    memo->appendPlainText(QString::fromStdString(frameLine));
}

void LogReceived(QPlainTextEdit* memo, const std::string& frameLine) {
    memo->appendPlainText(QStringLiteral("接收:"));
    memo->appendPlainText(QString::fromStdString(frameLine));
}

std::span<const uint8_t> CopyDelivery(TReceiveBuffer& buffer, const void* data, uint16_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (bytes == nullptr)
        return {};
    std::memcpy(buffer.data(), bytes, std::min<std::size_t>(length, buffer.size()));
    return {bytes, length};
}

void CentreOnScreen(QWidget* window) {
    if (const QScreen* s = window->screen())
        window->move(s->availableGeometry().center() - window->frameGeometry().center() +
                     window->pos());
}

bool IgnoreEscape(QKeyEvent* event) {
    if (event->key() != Qt::Key_Escape || event->modifiers() != Qt::NoModifier)
        return false;
    event->accept();
    return true;
}

} // namespace testwindows
