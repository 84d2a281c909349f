#pragma once
// TJCForm, "读多路寄存器": reads holding registers of one slave with function 03.
//
// Three kinds of request: working data (5 registers from 0000), register data (8 set-point
// registers from 0100 hex), and a manual request from hexadecimal slave, start address and
// quantity. Replies to the first two are decoded into Edit1..Edit13 as sign-and-magnitude
// values; manual replies are only logged. Sending, polling, reply checks and time-outs are
// PollForm's. User-interface thread only.

#include "testwindows/pollexchange.h"

#include <QString>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

class QTimer;
namespace Ui {
class TJCForm;
}

class TJCForm : public testwindows::PollForm {
    Q_OBJECT
public:
    // Request kinds (RequestKind).
    enum : uint8_t { WorkingData = 0, RegisterData = 1, ManualRequest = 2 };

    explicit TJCForm(QWidget* parent = nullptr);
    ~TJCForm() override;

    // Applies the settings to Comm32, empties the log, enables the start buttons, opens the
    // port, empties the value boxes and shows the window modally; returns when it has been
    // closed. Throws ECommsError (unchanged, before the window shows) when the port cannot
    // be opened.
    void ShowWithPort(uint32_t baudRate, const QString& commName);

    // Start buttons: poll working data / register data of the spinner's slave (1..99).
    void GKBitBtnClick();
    void SjJCBitBtnClick();
    // The poll tick (Timer03 is turned off first).
    void Timer03Timer();
    // Lays out the function 03 request for SlaveNumber into Frame03 and its log line into
    // SendText. Only bits 15..0 of `start` are used.
    void BuildFrame03(int32_t start, uint16_t quantity);

    QTimer* const Timer03;
    std::vector<uint8_t> Frame03;         // the 8 bytes of the last request
    std::array<QString, 5> WorkingTexts;  // last decoded working data, as in Edit1..Edit5
    std::array<QString, 8> RegisterTexts; // last decoded register data, as in Edit6..Edit13

protected:
    std::span<const uint8_t> BuildRequestFrame(uint8_t kind) override;
    void DecodeReply(uint8_t kind) override;

private:
    std::unique_ptr<Ui::TJCForm> ui_;
};
