#include "KG.h"

#include "modbus/codec.h"
#include "serial/co.h"
#include "ui_KG.h"

#include <QTimer>

TKGForm::TKGForm(QWidget* parent)
    : PollForm(parent, ManualRequest, "Timer02"), Timer02(PollTimer()),
      ui_(std::make_unique<Ui::TKGForm>()) {
    ui_->setupUi(this);
    BindControls(*ui_, {ui_->KGBitBtn, ui_->SendBitbtn, ui_->ClearBitBtn},
                 {ui_->Edit1, ui_->Edit2, ui_->Edit3, ui_->Edit4, ui_->Edit5, ui_->Edit6,
                  ui_->Edit7, ui_->Edit8, ui_->Edit9, ui_->Edit10, ui_->Edit11, ui_->Edit12});
    connect(ui_->KGBitBtn, &QAbstractButton::clicked, this,
            [this] { Guarded([this] { KGBitBtnClick(); }); });
    connect(Timer02, &QTimer::timeout, this, [this] { Guarded([this] { Timer02Timer(); }); });
}

TKGForm::~TKGForm() = default;

void TKGForm::ShowWithPort(uint32_t baudRate, const QString& commName) {
    // Unlike the register window, the state fields are emptied before the port is opened,
    // so a failed open also leaves them empty.
    PreparePort(baudRate, commName);
    ClearDataEdits();
    EnableButtons();
    Comm32->OpenPort();
    exec();
}

void TKGForm::KGBitBtnClick() {
    StartPolling(SwitchStates);
}

void TKGForm::Timer02Timer() {
    PollTick();
}

void TKGForm::BuildFrame02(int32_t start, uint16_t quantity) {
    LayOutRequest(Frame02, 0x02, start, quantity);
}

std::span<const uint8_t> TKGForm::BuildRequestFrame(uint8_t kind) {
    if (kind == SwitchStates) {
        BuildFrame02(0x0300, 12);
    } else {
        const auto [start, quantity] = ManualFields();
        BuildFrame02(start, quantity);
    }
    return Frame02;
}

void TKGForm::DecodeReply(uint8_t kind) {
    if (kind != SwitchStates)
        return;
    // Inputs 0300..0307 are bits 0..7 of byte 3, 0308..030B bits 0..3 of byte 4. Both
    // bytes come from the buffer whatever the byte count says: beyond a short delivery
    // they hold what earlier deliveries left.
    for (std::size_t i = 0; i < StateTexts.size(); ++i) {
        const uint8_t bits = i < 8 ? ReceiveBuffer[3] : ReceiveBuffer[4];
        const bool set = (bits >> (i % 8)) & 1;
        StateTexts[i] = set ? QStringLiteral("是") : QStringLiteral("否");
        DataEdit(qsizetype(i))->setText(StateTexts[i]);
    }
}
