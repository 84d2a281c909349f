// The test windows (kept from input to input, ports never opened) under any text and keys in
// the write window, any button, any delivery: no crash, no access outside a buffer, no box
// but the windows' own messages, and every request built a whole frame with a good CRC.
#include "fuzz/common.h"
#include "serial/co.h"
#include "testwindows/JC.h"
#include "testwindows/KG.h"
#include "ui/dialogs.h"
#include "testwindows/writedemo.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSet>

#include <cstdio>
#include <cstdlib>

// Fontconfig's caches live as long as the process, unseen by LeakSanitizer.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace {

TJCForm* jc = nullptr;
TKGForm* kg = nullptr;
TWriteForm* writer = nullptr;

QString Text(FuzzedDataProvider& in) {
    const std::string bytes = in.ConsumeRandomLengthString(600);
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

void CheckFrame(const std::vector<uint8_t>& frame, std::size_t length) {
    if (!frame.empty() && (frame.size() != length || !modbus::CrcTestPasses(frame)))
        std::abort();
}

void WriteWindowText(FuzzedDataProvider& in) {
    writer->NumberEdit->setText(Text(in));
    writer->AddressEdit->setText(Text(in));
    writer->DataMemo->setPlainText(Text(in).repeated(in.ConsumeIntegralInRange<int>(1, 40)));
    for (int k = in.ConsumeIntegralInRange<int>(0, 4); k > 0; --k) {
        QChar key(in.ConsumeIntegral<char16_t>());
        writer->DataMemoKeyPress(writer->DataMemo, key);
    }
    writer->Frame06.clear();
    writer->Frame10.clear();
    (in.ConsumeBool() ? writer->DanLuBitBtn : writer->WJCBitBtn)->click();
    CheckFrame(writer->Frame06, 8);
    if (!writer->Frame10.empty()) {
        const std::size_t lines = std::size_t(writer->Frame10[4]) << 8 | writer->Frame10[5];
        if (lines > TWriteForm::MaxLines10)
            std::abort();
        CheckFrame(writer->Frame10, 9 + 2 * lines);
    }
}

// A polling window started, or a delivery in a block of exactly its length and the final 0.
void WindowEvent(FuzzedDataProvider& in) {
    testwindows::PollForm* poll = in.ConsumeBool() ? static_cast<testwindows::PollForm*>(jc) : kg;
    if (in.ConsumeBool()) {
        poll->EnableButtons();
        const char* buttons[] = {"SendBitbtn", "GKBitBtn", "SjJCBitBtn", "KGBitBtn", "StopBitBtn"};
        if (auto* b = poll->findChild<QPushButton*>(in.PickValueInArray(buttons)))
            b->click();
        CheckFrame(jc->Frame03, 8);
        CheckFrame(kg->Frame02, 8);
        return;
    }
    auto bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 2048));
    if (in.ConsumeBool())
        fuzzsupport::FixCrc(bytes);
    const auto n = static_cast<uint16_t>(bytes.size());
    bytes.push_back(0);
    bytes.shrink_to_fit();
    if (in.ConsumeBool())
        writer->Comm32ReceiveData(writer->Comm32, bytes.data(), n);
    else
        poll->Comm32ReceiveData(poll->Comm32, bytes.data(), n);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "democomm-fuzz", *argv[] = {name, nullptr};
    new QApplication(argc, argv);
    static QSet<QString> allowed{"writeerror", "line break", "填写数据不能为空",
                                 "功能码06,数据只能填写一行!", "功能码10,数据最多只能填写124行!"};
    for (const auto& [mask, text] : testwindows::PollForm::ReceiveErrorTexts)
        allowed << QString::fromLatin1(text);
    ui::SetBoxSink([](const ui::BoxRecord& box) {
        if (box.kind != ui::BoxKind::Beep &&
            (box.kind != ui::BoxKind::Message || !allowed.contains(box.text))) {
            std::fprintf(stderr, "unexpected box: %s\n", qPrintable(box.text));
            std::abort();
        }
    });
    jc = new TJCForm;
    kg = new TKGForm;
    writer = new TWriteForm;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    while (in.remaining_bytes() > 0)
        in.ConsumeBool() ? WindowEvent(in) : WriteWindowText(in);
    // Posted events delivered as between two port events; the logs kept to a bounded size.
    QCoreApplication::sendPostedEvents();
    for (QDialog* w : std::initializer_list<QDialog*>{jc, kg, writer})
        if (auto* log = w->findChild<QPlainTextEdit*>("MemoMsg"); log->blockCount() > 2000)
            log->clear();
    return 0;
}
