#pragma once
// TWriteForm: the write test window. Writes one holding register with function 06 or a run
// of registers with function 10 hex from hexadecimal input, and logs every frame handed to
// the port and every reply that passes the CRC test, byte by byte in decimal.
//
// Threading: user-interface thread only; Comm32 raises its events on that thread as well.

#include "testwindows/formutil.h"

#include <QChar>
#include <QDialog>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class TComm;

namespace Ui {
class TWriteForm;
}

class TWriteForm : public QDialog {
    Q_OBJECT
public:
    // Most data lines one function 10 hex request carries: the CRC-16 covers at most 255
    // bytes, which is 7 + 2 * 124.
    static constexpr int MaxLines10 = 124;

    explicit TWriteForm(QWidget* parent = nullptr);
    ~TWriteForm() override;

    // Applies baud rate and port name to Comm32, empties the log, opens the port and shows
    // the window modally; returns when it has been closed (the port is closed then).
    // Throws ECommsError when the port cannot be opened: the window stays hidden and the
    // log has already been emptied.
    void ShowWithPort(uint32_t baudRate, const QString& commName);

    // True when a write may proceed: AddressEdit not empty, DataMemo holding at least one
    // line, NumberEdit not empty.
    bool InputsFilled() const;
    // Lays out the function 06 request for SlaveNumber (bits 7..0), `Address` and `Value`
    // (bits 15..0 of each) into Frame06 and its log line into SendText06.
    void BuildFrame06(int32_t Address, int32_t Value);

    // Event handlers. Every one is reached from the event loop through Guarded(), so an
    // exception ends the action with the application's error report.
    //
    // Key filter of NumberEdit, AddressEdit and DataMemo: keeps backspace, carriage return,
    // 0-9, A-F and a-f (as typed); any other character becomes the null character (the
    // caller then drops the key press) and the system beep sounds.
    void DataMemoKeyPress(QObject* Sender, QChar& Key);
    // Label6 := "数据个数= " and DataMemo's number of lines.
    void DataMemoChange(QObject* Sender);
    // Function 06 with the one data line. Message boxes: "填写数据不能为空" for missing input,
    // "功能码06,数据只能填写一行!" for more than one line, "writeerror" when the port refuses
    // the frame (nothing logged then).
    void DanLuBitBtnClick(QObject* Sender);
    // Function 10 hex with every data line (an empty one writes 0000). Message boxes:
    // "填写数据不能为空", "功能码10,数据最多只能填写124行!" above MaxLines10 lines (nothing
    // sent), "writeerror".
    void WJCBitBtnClick(QObject* Sender);
    // Empties DataMemo, AddressEdit and NumberEdit, in that order; the log stays.
    void BitBtn4Click(QObject* Sender);
    // Closes the window.
    void BitBtn5Click(QObject* Sender);
    // Runs on every way of closing the window: closes the port.
    void FormClose(QObject* Sender);
    // One delivery from Comm32: copied into ReceiveBuffer (at most its 1024 bytes) and, when
    // the delivered bytes pass the CRC test, logged. Nothing else of a reply is checked.
    void Comm32ReceiveData(QObject* Sender, const void* Buffer, uint16_t BufferLength);

    // Controls (objectNames as here).
    QFrame* Panel1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* Label7 = nullptr;
    QLabel* Label8 = nullptr;
    QLineEdit* NumberEdit = nullptr;
    QLineEdit* AddressEdit = nullptr;
    QPlainTextEdit* DataMemo = nullptr;
    QPlainTextEdit* MemoMsg = nullptr;
    QPushButton* BitBtn4 = nullptr;
    QPushButton* BitBtn5 = nullptr;
    QPushButton* DanLuBitBtn = nullptr;
    QPushButton* WJCBitBtn = nullptr;
    // The window's serial port, owned by the window; only OnReceiveData is assigned.
    TComm* Comm32 = nullptr;

    // State of the window: the slave number converted by the last write, the last requests
    // and their log lines, the log line of the last accepted reply, and the bytes of the
    // last delivery (bytes beyond it keep older content).
    int32_t SlaveNumber = 0;
    std::vector<uint8_t> Frame06;
    std::vector<uint8_t> Frame10;
    std::string SendText06;
    std::string SendText10;
    std::string ReceiveText;
    testwindows::TReceiveBuffer ReceiveBuffer{};

protected:
    // Every way of closing the window (exit button, close box) ends here; Esc is no way out.
    void done(int result) override;
    void keyPressEvent(QKeyEvent* event) override;
    // Opens centred on the screen, wherever the main window is.
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Logs a frame handed to the port, or shows "writeerror" when the port refused it.
    void Send(const std::vector<uint8_t>& frame, const std::string& frameLine);

    std::unique_ptr<Ui::TWriteForm> ui_;
};
