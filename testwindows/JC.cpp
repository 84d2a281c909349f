#include "JC.h"

#include "modbus/codec.h"
#include "serial/co.h"
#include "ui_JC.h"

#include <QTimer>

TJCForm::TJCForm(QWidget* parent)
    : PollForm(parent, ManualRequest, "Timer03"), Timer03(PollTimer()),
      ui_(std::make_unique<Ui::TJCForm>()) {
    ui_->setupUi(this);
    BindControls(*ui_, {ui_->GKBitBtn, ui_->SjJCBitBtn, ui_->SendBitbtn, ui_->ClearBitBtn},
                 {ui_->Edit1, ui_->Edit2, ui_->Edit3, ui_->Edit4, ui_->Edit5, ui_->Edit6,
                  ui_->Edit7, ui_->Edit8, ui_->Edit9, ui_->Edit10, ui_->Edit11, ui_->Edit12,
                  ui_->Edit13});
    connect(ui_->GKBitBtn, &QAbstractButton::clicked, this,
            [this] { Guarded([this] { GKBitBtnClick(); }); });
    connect(ui_->SjJCBitBtn, &QAbstractButton::clicked, this,
            [this] { Guarded([this] { SjJCBitBtnClick(); }); });
    connect(Timer03, &QTimer::timeout, this, [this] { Guarded([this] { Timer03Timer(); }); });
}

TJCForm::~TJCForm() = default;

void TJCForm::ShowWithPort(uint32_t baudRate, const QString& commName) {
    PreparePort(baudRate, commName);
    EnableButtons();
    Comm32->OpenPort();
    ClearDataEdits();
    exec();
}

void TJCForm::GKBitBtnClick() {
    StartPolling(WorkingData);
}

void TJCForm::SjJCBitBtnClick() {
    StartPolling(RegisterData);
}

void TJCForm::Timer03Timer() {
    PollTick();
}

void TJCForm::BuildFrame03(int32_t start, uint16_t quantity) {
    LayOutRequest(Frame03, 0x03, start, quantity);
}

std::span<const uint8_t> TJCForm::BuildRequestFrame(uint8_t kind) {
    switch (kind) {
    case WorkingData:
        BuildFrame03(0x0000, 5);
        break;
    case RegisterData:
        BuildFrame03(0x0100, 8);
        break;
    default: {
        const auto [start, quantity] = ManualFields();
        BuildFrame03(start, quantity);
    }
    }
    return Frame03;
}

void TJCForm::DecodeReply(uint8_t kind) {
    // Register k (from 1) sits in bytes 2k+1 (high) and 2k+2 (low) of the reply.
    const auto text = [this](int k) {
        return QString::fromStdString(
            modbus::RegisterText(ReceiveBuffer[2 * k + 1], ReceiveBuffer[2 * k + 2]));
    };
    if (kind == WorkingData) {
        for (int k = 1; k <= 5; ++k) {
            WorkingTexts[k - 1] = text(k);
            DataEdit(k - 1)->setText(WorkingTexts[k - 1]);
        }
    } else if (kind == RegisterData) {
        for (int k = 1; k <= 8; ++k) {
            RegisterTexts[k - 1] = text(k);
            DataEdit(k + 4)->setText(RegisterTexts[k - 1]);
        }
    }
}
