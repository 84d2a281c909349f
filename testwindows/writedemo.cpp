#include "writedemo.h"

#include "ui_writedemo.h"

#include "modbus/codec.h"
#include "serial/co.h"
#include "serial/exception.h"
#include "ui/dialogs.h"

#include <QFont>
#include <QKeyEvent>
#include <QStringList>

#include <array>

namespace {

int32_t HexOf(const QString& text) {
    return modbus::HexStrToInt(text.toStdString());
}

// Keys that type no character (arrows, Home, Delete, function keys) never reach the key
// filter, and neither do Tab and Backtab, which move the focus between the controls.
bool IsCharacterPress(const QKeyEvent& key) {
    const QString text = key.text();
    if (text.isEmpty() || key.key() == Qt::Key_Tab || key.key() == Qt::Key_Backtab)
        return false;
    // Some platforms give the Delete key the text DEL; it still edits rather than types.
    return key.key() != Qt::Key_Delete && text != QString(QChar(0x7F));
}

} // namespace

TWriteForm::TWriteForm(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::TWriteForm>()) {
    ui_->setupUi(this);
    Panel1 = ui_->Panel1;
    Label1 = ui_->Label1;
    Label2 = ui_->Label2;
    Label3 = ui_->Label3;
    Label4 = ui_->Label4;
    Label5 = ui_->Label5;
    Label6 = ui_->Label6;
    Label7 = ui_->Label7;
    Label8 = ui_->Label8;
    NumberEdit = ui_->NumberEdit;
    AddressEdit = ui_->AddressEdit;
    DataMemo = ui_->DataMemo;
    MemoMsg = ui_->MemoMsg;
    BitBtn4 = ui_->BitBtn4;
    BitBtn5 = ui_->BitBtn5;
    DanLuBitBtn = ui_->DanLuBitBtn;
    WJCBitBtn = ui_->WJCBitBtn;

    // Designer files carry point sizes only; the window is laid out for pixel sizes.
    QFont windowFont(QStringLiteral("宋体"));
    windowFont.setPixelSize(12);
    setFont(windowFont);
    QFont logFont(windowFont);
    logFont.setPixelSize(10);
    MemoMsg->setFont(logFont);

    // The buttons' hints also go to the main window's status bar, as in the other windows.
    for (QPushButton* button : {DanLuBitBtn, WJCBitBtn, BitBtn4})
        button->setStatusTip(button->toolTip());

    // An input method would commit text past the key filter; hexadecimal needs none.
    for (QWidget* input : {static_cast<QWidget*>(NumberEdit), static_cast<QWidget*>(AddressEdit),
                           static_cast<QWidget*>(DataMemo)}) {
        input->setAttribute(Qt::WA_InputMethodEnabled, false);
        input->installEventFilter(this);
    }

    Comm32 = new TComm(this);
    Comm32->setObjectName(QStringLiteral("Comm32"));
    testwindows::ConfigureComm32(*Comm32);
    Comm32->OnReceiveData = [this](QObject* sender, const void* buffer, uint16_t length) {
        Guarded([&] { Comm32ReceiveData(sender, buffer, length); });
    };

    // Connected after the definition is loaded: the initial data line leaves Label6 at "0个".
    connect(DataMemo, &QPlainTextEdit::textChanged, this,
            [this] { Guarded([this] { DataMemoChange(DataMemo); }); });
    connect(DanLuBitBtn, &QPushButton::clicked, this,
            [this] { Guarded([this] { DanLuBitBtnClick(DanLuBitBtn); }); });
    connect(WJCBitBtn, &QPushButton::clicked, this,
            [this] { Guarded([this] { WJCBitBtnClick(WJCBitBtn); }); });
    connect(BitBtn4, &QPushButton::clicked, this,
            [this] { Guarded([this] { BitBtn4Click(BitBtn4); }); });
    connect(BitBtn5, &QPushButton::clicked, this,
            [this] { Guarded([this] { BitBtn5Click(BitBtn5); }); });
}

TWriteForm::~TWriteForm() {
    // No reply may reach a half-destroyed window.
    Comm32->OnReceiveData = nullptr;
    Guarded([this] { Comm32->ClosePort(); });
}

void TWriteForm::ShowWithPort(uint32_t baudRate, const QString& commName) {
    Comm32->setBaudRate(baudRate);
    Comm32->setCommName(commName);
    MemoMsg->clear();
    Comm32->OpenPort();
    exec();
    // done() has closed the port on every ordinary way out; a plain hide() ends the modal
    // loop without it.
    if (Comm32->IsOpen())
        FormClose(this);
}

bool TWriteForm::InputsFilled() const {
    return !AddressEdit->text().isEmpty() &&
           testwindows::TextLineCount(DataMemo->toPlainText()) >= 1 &&
           !NumberEdit->text().isEmpty();
}

void TWriteForm::BuildFrame06(int32_t Address, int32_t Value) {
    Frame06.clear();
    const auto frame = modbus::BuildRequest(SlaveNumber, 6, Address, Value);
    Frame06.assign(frame.begin(), frame.end());
    SendText06 = modbus::FrameLine(Frame06);
}

void TWriteForm::DataMemoKeyPress(QObject*, QChar& Key) {
    const char16_t typed = Key.unicode();
    // Upper-cased for the test only; an accepted a-f goes into the box as typed.
    const char16_t c = (typed >= u'a' && typed <= u'z') ? char16_t(typed - u'a' + u'A') : typed;
    const bool accepted = c == 8 || c == 13 || (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F');
    if (!accepted) {
        Key = QChar();
        ui::Beep();
    }
}

void TWriteForm::DataMemoChange(QObject*) {
    Label6->setText(QStringLiteral("数据个数= ") +
                    QString::number(testwindows::TextLineCount(DataMemo->toPlainText())));
}

void TWriteForm::DanLuBitBtnClick(QObject*) {
    if (!InputsFilled()) {
        ui::ShowMessage(QStringLiteral("填写数据不能为空"));
        return;
    }
    const QString data = DataMemo->toPlainText();
    if (testwindows::TextLineCount(data) > 1) {
        ui::ShowMessage(QStringLiteral("功能码06,数据只能填写一行!"));
        return;
    }
    SlaveNumber = HexOf(NumberEdit->text());
    // The whole text: a line break after the one line is trimmed away by the conversion.
    const int32_t value = HexOf(data);
    const int32_t address = HexOf(AddressEdit->text());
    BuildFrame06(address, value);
    Send(Frame06, SendText06);
}

void TWriteForm::WJCBitBtnClick(QObject*) {
    if (!InputsFilled()) {
        ui::ShowMessage(QStringLiteral("填写数据不能为空"));
        return;
    }
    const QString data = DataMemo->toPlainText();
    const int lines = testwindows::TextLineCount(data);
    // Beyond this the CRC would cover only part of the frame (its count is 8 bits wide) and
    // the device would get a broken request; refuse like the one-line rule of function 06.
    if (lines > MaxLines10) {
        ui::ShowMessage(QStringLiteral("功能码10,数据最多只能填写124行!"));
        return;
    }
    SlaveNumber = HexOf(NumberEdit->text());
    const int32_t address = HexOf(AddressEdit->text());
    Frame10.clear();

    std::array<uint8_t, 1024> buffer{};
    static_assert(9 + 2 * MaxLines10 <= static_cast<int>(std::tuple_size_v<decltype(buffer)>));
    std::size_t length = 0;
    buffer[length++] = static_cast<uint8_t>(SlaveNumber);
    buffer[length++] = 0x10;
    buffer[length++] = static_cast<uint8_t>(address >> 8);
    buffer[length++] = static_cast<uint8_t>(address);
    buffer[length++] = static_cast<uint8_t>(lines >> 8);
    buffer[length++] = static_cast<uint8_t>(lines);
    buffer[length++] = static_cast<uint8_t>(2 * lines);
    const QStringList texts = data.split(QLatin1Char('\n'));
    for (int k = 0; k < lines; ++k) {
        const int32_t value = HexOf(texts[k]); // an empty line gives 0000
        buffer[length++] = static_cast<uint8_t>(value >> 8);
        buffer[length++] = static_cast<uint8_t>(value);
    }
    const uint16_t crc = modbus::CRC16(buffer.data(), static_cast<uint8_t>(length));
    buffer[length++] = static_cast<uint8_t>(crc);
    buffer[length++] = static_cast<uint8_t>(crc >> 8);

    Frame10.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
    SendText10 = modbus::FrameLine(Frame10);
    Send(Frame10, SendText10);
}

void TWriteForm::BitBtn4Click(QObject*) {
    DataMemo->clear();
    AddressEdit->clear();
    NumberEdit->clear();
}

void TWriteForm::BitBtn5Click(QObject*) {
    close();
}

void TWriteForm::FormClose(QObject*) {
    Comm32->ClosePort();
}

void TWriteForm::Comm32ReceiveData(QObject*, const void* Buffer, uint16_t BufferLength) {
    const auto delivery = testwindows::CopyDelivery(ReceiveBuffer, Buffer, BufferLength);
    // Each delivery stands alone: a reply split over two deliveries is dropped part by part.
    if (!modbus::CrcTestPasses(delivery))
        return;
    ReceiveText = modbus::FrameLine(delivery);
    testwindows::LogReceived(MemoMsg, ReceiveText);
}

void TWriteForm::done(int result) {
    Guarded([this] { FormClose(this); });
    QDialog::done(result);
}

void TWriteForm::keyPressEvent(QKeyEvent* event) {
    if (!testwindows::IgnoreEscape(event))
        QDialog::keyPressEvent(event);
}

void TWriteForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    testwindows::CentreOnScreen(this);
}

bool TWriteForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress)
        return QDialog::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    if (!IsCharacterPress(*key))
        return false;
    bool discard = false;
    Guarded([&] {
        for (QChar typed : key->text()) {
            DataMemoKeyPress(watched, typed);
            discard = discard || typed.isNull();
        }
    });
    return discard;
}

void TWriteForm::Send(const std::vector<uint8_t>& frame, const std::string& frameLine) {
    // The frame is copied by the port before SendData returns, so logging it now is right
    // even though the bytes may not have left yet.
    if (!Comm32->SendData(frame.data(), static_cast<uint16_t>(frame.size()))) {
        ui::ShowMessage(QStringLiteral("writeerror"));
        return;
    }
    testwindows::LogSent(MemoMsg, frameLine);
}
