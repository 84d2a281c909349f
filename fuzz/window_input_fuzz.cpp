// The three test windows' text inputs: any text (any Unicode, any length, control characters
// and line breaks included) set into the edits and the data memo, keys typed through the key
// filter, then the send buttons pressed. Nothing may crash or touch memory outside a buffer,
// the only boxes shown are the windows' own messages, and every request that is built is a
// whole frame with a good CRC.
#include "fuzz/window_fuzz_support.h"
#include "modbus/codec.h"
#include "serial/co.h"
#include "testwindows/JC.h"
#include "testwindows/KG.h"
#include "testwindows/writedemo.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QAbstractButton>
#include <QLineEdit>
#include <QSpinBox>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

TJCForm* jc = nullptr;
TKGForm* kg = nullptr;
TWriteForm* writer = nullptr;

QString Text(FuzzedDataProvider& in) {
    const std::string bytes = in.ConsumeRandomLengthString(600);
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

void Click(QObject& window, const char* name) {
    if (auto* button = window.findChild<QAbstractButton*>(QString::fromLatin1(name)))
        button->click();
}

void CheckFrame(const std::vector<uint8_t>& frame, std::size_t length) {
    if (frame.empty())
        return;
    if (frame.size() != length || !modbus::CrcTestPasses(frame))
        std::abort();
}

void PollWindow(testwindows::PollForm& window, FuzzedDataProvider& in, bool isJc) {
    for (const char* name : {"CurrentNumberEdit", "AddressEdit", "ByteCountEdit"})
        window.findChild<QLineEdit*>(QString::fromLatin1(name))->setText(Text(in));
    if (auto* spinner = window.findChild<QSpinBox*>(QStringLiteral("UpDownbegin")))
        spinner->setValue(in.ConsumeIntegral<int>());
    window.EnableButtons();
    if (isJc) {
        const char* buttons[] = {"SendBitbtn", "GKBitBtn", "SjJCBitBtn", "ClearBitBtn"};
        Click(window, in.PickValueInArray(buttons));
        CheckFrame(jc->Frame03, 8);
    } else {
        const char* buttons[] = {"SendBitbtn", "KGBitBtn", "ClearBitBtn"};
        Click(window, in.PickValueInArray(buttons));
        CheckFrame(kg->Frame02, 8);
    }
    Click(window, "StopBitBtn");
}

void WriteWindow(FuzzedDataProvider& in) {
    writer->NumberEdit->setText(Text(in));
    writer->AddressEdit->setText(Text(in));
    // Long memos too: more lines than one request may carry.
    const int repeat = in.ConsumeIntegralInRange<int>(1, 40);
    const QString line = Text(in);
    writer->DataMemo->setPlainText(line.repeated(repeat));
    const int keys = in.ConsumeIntegralInRange<int>(0, 4);
    for (int k = 0; k < keys; ++k) {
        QChar key(in.ConsumeIntegral<char16_t>());
        writer->DataMemoKeyPress(writer->DataMemo, key);
    }
    writer->Frame06.clear();
    writer->Frame10.clear();
    Click(*writer, in.ConsumeBool() ? "DanLuBitBtn" : "WJCBitBtn");
    CheckFrame(writer->Frame06, 8);
    if (!writer->Frame10.empty()) {
        const std::size_t lines = std::size_t(writer->Frame10[5]) | std::size_t(writer->Frame10[4])
                                                                        << 8;
        if (lines > TWriteForm::MaxLines10)
            std::abort();
        CheckFrame(writer->Frame10, 9 + 2 * lines);
    }
    if (in.ConsumeBool())
        Click(*writer, "BitBtn4");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::StartApplication();
    jc = new TJCForm;
    kg = new TKGForm;
    writer = new TWriteForm;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
        PollWindow(*jc, in, true);
        fuzzsupport::AfterInput(*jc);
        break;
    case 1:
        PollWindow(*kg, in, false);
        fuzzsupport::AfterInput(*kg);
        break;
    default:
        WriteWindow(in);
        fuzzsupport::AfterInput(*writer);
        break;
    }
    return 0;
}
