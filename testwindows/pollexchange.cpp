#include "pollexchange.h"

#include "modbus/codec.h"
#include "serial/co.h"
#include "ui/dialogs.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTimer>

namespace testwindows {

namespace {
// The give-up rule: a time-out that finds more than this many counted gives up.
constexpr int32_t MaxTimeouts = 5;
// Pause between an accepted reply and the next request.
constexpr int PollIntervalMs = 1000;
} // namespace

QString TrimControls(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first).unicode() <= 32)
        ++first;
    while (last > first && text.at(last - 1).unicode() <= 32)
        --last;
    return text.mid(first, last - first);
}

int32_t HexTextToInt(const QString& text) {
    return modbus::HexStrToInt(text.toStdString());
}

// Texts as devices' users know them, misspellings and cut-off sentences included.
const std::pair<uint32_t, const char*> PollForm::ReceiveErrorTexts[9] = {
    {CE_BREAK, "The hardware detected a break condition. (no support now)"},
    {CE_DNS, "Windows 95 only: A parallel device is not selected."},
    {CE_IOE, "An I/O error occurred during communications with the device."},
    {CE_MODE, "The requested mode is not supported, or the hFile parameteris invalid. If this "
              "value is specified, it is the only valid error."},
    {CE_OOP, "Windows 95 only: A parallel device signaled that it is out of paper."},
    {CE_OVERRUN, "A character-buffer overrun has occurred. The next character is lost."},
    {CE_PTO, "Windows 95 only: A time-out occurred on a parallel device."},
    {CE_RXOVER, "An input buffer overflow has occurred. There is either no"},
    {CE_RXPARITY, "The hardware detected a parity error. (no support) CE_TXFULL"},
};

PollForm::PollForm(QWidget* parent, uint8_t manualKind, const char* timerName)
    : QDialog(parent), manualKind_(manualKind) {
    Comm32 = new TComm(this);
    Comm32->setObjectName(QStringLiteral("Comm32"));
    ConfigureComm32(*Comm32);
    // TComm raises its events from the event loop: nothing may escape them.
    Comm32->OnReceiveData = [this](QObject* sender, const void* buffer, uint16_t length) {
        Guarded([&] { Comm32ReceiveData(sender, buffer, length); });
    };
    Comm32->OnReceiveError = [this](QObject* sender, uint32_t mask) {
        Guarded([&] { Comm32ReceiveError(sender, mask); });
    };
    Comm32->OnLineBreak = [this](QObject* sender) { Guarded([&] { Comm32LineBreak(sender); }); };

    pollTimer_ = new QTimer(this);
    pollTimer_->setObjectName(QString::fromLatin1(timerName));
    pollTimer_->setInterval(PollIntervalMs);
}

PollForm::~PollForm() {
    // The window is half destroyed from here on: no port event may reach its handlers.
    Comm32->OnReceiveData = nullptr;
    Comm32->OnReceiveError = nullptr;
    Comm32->OnLineBreak = nullptr;
    Guarded([this] { Comm32->ClosePort(); });
}

void PollForm::Bind(Controls controls) {
    controls_ = std::move(controls);
    // The spinner's own edit is the slave-number box the user sees.
    if (auto* edit = controls_.upDown->findChild<QLineEdit*>())
        edit->setObjectName(QStringLiteral("Editbegin"));

    QFont windowFont(QStringLiteral("宋体"));
    windowFont.setPixelSize(12);
    setFont(windowFont);
    QFont memoFont(QStringLiteral("宋体"));
    memoFont.setPixelSize(10);
    controls_.memo->setFont(memoFont);
    QFont labelFont(QStringLiteral("宋体"));
    labelFont.setPixelSize(14);
    labelFont.setBold(true);
    controls_.cjLabel->setFont(labelFont);
    QPalette labelPalette = controls_.cjLabel->palette();
    labelPalette.setColor(QPalette::WindowText, Qt::red);
    controls_.cjLabel->setPalette(labelPalette);

    const auto wire = [this](QAbstractButton* button, void (PollForm::*handler)()) {
        connect(button, &QAbstractButton::clicked, this,
                [this, handler] { Guarded([&] { (this->*handler)(); }); });
    };
    wire(controls_.sendButton, &PollForm::SendBitbtnClick);
    wire(controls_.clearButton, &PollForm::ClearBitBtnClick);
    wire(controls_.stopButton, &PollForm::StopBitBtnClick);
    wire(controls_.exitButton, &PollForm::BitBtn2Click);
}

void PollForm::ClearDataEdits() {
    for (QLineEdit* edit : controls_.dataEdits)
        edit->clear();
}

void PollForm::EnableButtons() {
    for (QAbstractButton* button : controls_.startButtons)
        button->setEnabled(true);
}

void PollForm::DisableButtons() {
    for (QAbstractButton* button : controls_.startButtons)
        button->setEnabled(false);
}

bool PollForm::InputsFilled() const {
    return !TrimControls(controls_.addressEdit->text()).isEmpty() &&
           !TrimControls(controls_.currentNumberEdit->text()).isEmpty() &&
           !TrimControls(controls_.byteCountEdit->text()).isEmpty();
}

void PollForm::PreparePort(uint32_t baudRate, const QString& commName) {
    Comm32->setBaudRate(baudRate);
    Comm32->setCommName(commName);
    controls_.memo->clear();
    // Reopening the window is a user start: time-outs of its last showing do not count.
    TimeoutCount = 1;
}

std::pair<int32_t, uint16_t> PollForm::ManualFields() const {
    // Read on every request, so an edit made while polling takes effect with the next tick.
    const auto quantity = static_cast<uint16_t>(HexTextToInt(controls_.byteCountEdit->text()));
    const int32_t start = HexTextToInt(controls_.addressEdit->text());
    return {start, quantity};
}

void PollForm::LayOutRequest(std::vector<uint8_t>& frame, uint8_t function, int32_t start,
                             uint16_t quantity) {
    const auto bytes = modbus::BuildRequest(SlaveNumber, function, start, quantity);
    frame.assign(bytes.begin(), bytes.end());
    SendText = modbus::FrameLine(frame);
}

void PollForm::StartPolling(uint8_t kind) {
    Start(kind, controls_.upDown->value());
}

void PollForm::Start(uint8_t kind, int32_t slave) {
    ClearDataEdits();
    Stopped = false;
    ReplySeen = false;
    TimeoutCount = 1; // a user start: time-outs of earlier starts do not count
    DisableButtons();
    // The slave number is taken once per start; polling never moves to another slave.
    SlaveNumber = slave;
    SendRequest(kind);
}

void PollForm::SendBitbtnClick() {
    if (!InputsFilled()) {
        ui::ShowMessage(QStringLiteral("填写数据不能为空"));
        return;
    }
    Start(manualKind_, HexTextToInt(TrimControls(controls_.currentNumberEdit->text())));
}

void PollForm::ClearBitBtnClick() {
    controls_.currentNumberEdit->clear();
    controls_.addressEdit->clear();
    controls_.byteCountEdit->clear();
}

void PollForm::SendRequest(uint8_t kind) {
    // TimeoutCount is deliberately left alone: it counts consecutive unanswered requests of
    // one start, and resetting it on every repeat would keep the give-up rule from acting.
    RequestKind = kind;
    const std::span<const uint8_t> frame = BuildRequestFrame(kind);
    if (!Comm32->SendData(frame.data(), static_cast<uint16_t>(frame.size())))
        ui::ShowMessage(QStringLiteral("writeerror"));
    else
        LogSent(controls_.memo, SendText);
    ShowSlaveNumber();
}

void PollForm::PollTick() {
    pollTimer_->stop();
    if (ReplySeen)
        SendRequest(RequestKind);
}

void PollForm::Comm32ReceiveData(QObject*, const void* Buffer, uint16_t BufferLength) {
    const std::span<const uint8_t> delivery = CopyDelivery(ReceiveBuffer, Buffer, BufferLength);
    if (!modbus::CrcTestPasses(delivery)) {
        Stopped = true;
        return;
    }
    ReceiveText = modbus::FrameLine(delivery);
    LogReceived(controls_.memo, ReceiveText);
    if (!modbus::LengthTestComplete(delivery) && !Stopped) {
        ArmPollTimer();
        return;
    }
    // A short reply while stopped is decoded from what the buffer holds.
    if (modbus::RefusalTestRefused(delivery))
        return;
    DecodeReply(RequestKind);
    ShowSlaveNumber();
    ReplySeen = true;
    TimeoutCount = 1;
    ArmPollTimer();
}

void PollForm::Comm32ReceiveError(QObject*, uint32_t EventMask) {
    for (const auto& [mask, text] : ReceiveErrorTexts) {
        if (EventMask == mask)
            ui::ShowMessage(QString::fromLatin1(text));
    }
}

void PollForm::Comm32LineBreak(QObject*) {
    // After Stop there is nothing left to give up: the user ended polling, so no message.
    if (TimeoutCount > MaxTimeouts && !Stopped) {
        ui::ShowMessage(QStringLiteral("line break"));
        pollTimer_->stop();
        Stopped = true;
        EnableButtons();
        TimeoutCount = 1;
        return;
    }
    ++TimeoutCount;
    ArmPollTimer();
}

void PollForm::StopBitBtnClick() {
    EnableButtons();
    Stopped = true;
}

void PollForm::BitBtn2Click() {
    reject();
}

void PollForm::FormClose() {
    Comm32->ClosePort();
    Stopped = true;
    pollTimer_->stop();
}

void PollForm::keyPressEvent(QKeyEvent* event) {
    if (!IgnoreEscape(event))
        QDialog::keyPressEvent(event);
}

void PollForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    CentreOnScreen(this);
}

void PollForm::done(int result) {
    Guarded([this] { FormClose(); });
    QDialog::done(result);
}

void PollForm::ShowSlaveNumber() {
    controls_.cjLabel->setText(QString::number(SlaveNumber));
}

void PollForm::ArmPollTimer() {
    if (!Stopped)
        pollTimer_->start();
}

} // namespace testwindows
