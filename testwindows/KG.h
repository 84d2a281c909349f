#pragma once
// TKGForm, "读开关量测试": reads the twelve switch and alarm states of one slave with
// function 02 and shows each as "是" (set) or "否" (clear).
//
// The fixed request asks for 12 inputs from 0300 hex of the spinner's slave (0..99); the
// manual request is built from hexadecimal slave, start address and quantity and is only
// logged, never decoded. Sending, polling, reply checks and time-outs are PollForm's.
// User-interface thread only.

#include "testwindows/pollexchange.h"

#include <QString>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

class QTimer;
namespace Ui {
class TKGForm;
}

class TKGForm : public testwindows::PollForm {
    Q_OBJECT
public:
    // Request kinds (RequestKind).
    enum : uint8_t { SwitchStates = 0, ManualRequest = 1 };

    explicit TKGForm(QWidget* parent = nullptr);
    ~TKGForm() override;

    // Applies the settings to Comm32, empties the log and the state fields, enables the
    // start buttons, opens the port and shows the window modally; returns when it has been
    // closed. Throws ECommsError (unchanged, before the window shows) when the port cannot
    // be opened.
    void ShowWithPort(uint32_t baudRate, const QString& commName);

    // Start button: poll the twelve states of the spinner's slave.
    void KGBitBtnClick();
    // The poll tick (Timer02 is turned off first).
    void Timer02Timer();
    // Lays out the function 02 request for SlaveNumber into Frame02 and its log line into
    // SendText. Start address and quantity enter the frame modulo 65536.
    void BuildFrame02(int32_t start, uint16_t quantity);

    QTimer* const Timer02;
    std::vector<uint8_t> Frame02;       // the 8 bytes of the last request
    std::array<QString, 12> StateTexts; // last decoded states, as in Edit1..Edit12

protected:
    std::span<const uint8_t> BuildRequestFrame(uint8_t kind) override;
    void DecodeReply(uint8_t kind) override;

private:
    std::unique_ptr<Ui::TKGForm> ui_;
};
