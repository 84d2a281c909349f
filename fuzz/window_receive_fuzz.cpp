// One test window's Comm32ReceiveData fed any sequence of deliveries of 0..2048 bytes,
// mixed with the other events that reach a window while it polls (poll timer ticks, reply
// time-outs, error flags, start and stop buttons). The window is built once, so its state is
// carried across calls and across inputs. Built three times, for DEMOCOMM_FUZZ_WINDOW 1
// (registers, TJCForm), 2 (switch states, TKGForm) and 3 (write window, TWriteForm).
//
// Each delivery is handed over in a buffer of exactly its length plus the terminating 0 the
// component guarantees, so that AddressSanitizer sees any read beyond it.
#include "fuzz/window_fuzz_support.h"
#include "modbus/codec.h"
#include "serial/co.h"
#include "testwindows/JC.h"
#include "testwindows/KG.h"
#include "testwindows/writedemo.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QAbstractButton>
#include <QLineEdit>
#include <QTimer>

#include <cstdint>
#include <cstdlib>
#include <vector>

#if DEMOCOMM_FUZZ_WINDOW == 1
using Window = TJCForm;
#elif DEMOCOMM_FUZZ_WINDOW == 2
using Window = TKGForm;
#elif DEMOCOMM_FUZZ_WINDOW == 3
using Window = TWriteForm;
#else
#error "DEMOCOMM_FUZZ_WINDOW must be 1, 2 or 3"
#endif

namespace {

Window* window = nullptr;

void Deliver(FuzzedDataProvider& in, bool fixCrc) {
    const auto length = in.ConsumeIntegralInRange<std::size_t>(0, 2048);
    std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(length);
    if (fixCrc && bytes.size() >= 3) {
        const auto count = static_cast<uint8_t>((bytes.size() - 2) & 0xFF);
        const uint16_t crc = modbus::CRC16(bytes.data(), count);
        bytes[bytes.size() - 2] = static_cast<uint8_t>(crc & 0xFF);
        bytes[bytes.size() - 1] = static_cast<uint8_t>(crc >> 8);
    }
    const std::size_t n = bytes.size();
    bytes.push_back(0);
    // A fresh heap block of exactly n + 1 bytes.
    std::vector<uint8_t> block(bytes.begin(), bytes.end());
    block.shrink_to_fit();
    window->Comm32ReceiveData(window->Comm32, block.data(), static_cast<uint16_t>(n));
}

void Click(const char* name) {
    if (auto* button = window->findChild<QAbstractButton*>(QString::fromLatin1(name)))
        button->click();
}

#if DEMOCOMM_FUZZ_WINDOW == 3
void OtherEvent(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
        window->NumberEdit->setText(QString::number(in.ConsumeIntegral<uint8_t>(), 16));
        window->AddressEdit->setText(QString::number(in.ConsumeIntegral<uint16_t>(), 16));
        window->DataMemo->setPlainText(QString::number(in.ConsumeIntegral<uint16_t>(), 16));
        break;
    case 1:
        Click("DanLuBitBtn");
        break;
    default:
        Click("WJCBitBtn");
        break;
    }
}
#else
void OtherEvent(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
#if DEMOCOMM_FUZZ_WINDOW == 1
        window->Timer03Timer();
#else
        window->Timer02Timer();
#endif
        break;
    case 1:
        window->Comm32LineBreak(window->Comm32);
        break;
    case 2:
        window->Comm32ReceiveError(window->Comm32, in.ConsumeIntegral<uint32_t>());
        break;
    case 3: {
        window->EnableButtons();
        // The start buttons of the window, and the manual request with fuzzed inputs.
#if DEMOCOMM_FUZZ_WINDOW == 1
        const char* starts[] = {"GKBitBtn", "SjJCBitBtn", "SendBitbtn"};
#else
        const char* starts[] = {"KGBitBtn", "SendBitbtn"};
#endif
        const char* start = in.PickValueInArray(starts);
        window->findChild<QLineEdit*>(QStringLiteral("CurrentNumberEdit"))
            ->setText(QString::number(in.ConsumeIntegral<uint8_t>(), 16));
        window->findChild<QLineEdit*>(QStringLiteral("AddressEdit"))
            ->setText(QString::number(in.ConsumeIntegral<uint16_t>(), 16));
        window->findChild<QLineEdit*>(QStringLiteral("ByteCountEdit"))
            ->setText(QString::number(in.ConsumeIntegral<uint16_t>(), 16));
        Click(start);
        break;
    }
    case 4:
        Click("StopBitBtn");
        break;
    default:
        window->Comm32ReceiveData(window->Comm32, nullptr, 0);
        break;
    }
}
#endif

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::StartApplication();
    window = new Window;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    while (in.remaining_bytes() > 0) {
        const int op = in.ConsumeIntegralInRange<int>(0, 3);
        if (op <= 1)
            Deliver(in, op == 1);
        else
            OtherEvent(in);
    }
    fuzzsupport::AfterInput(*window);
    return 0;
}
