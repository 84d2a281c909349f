// The two reading windows on a real pseudo-terminal (the test plays the slave at the master
// end). The polling exchange they share is tested once, through the register window; then
// what each window adds: its request frames, its decoding and its modal run.
#include "modbus/codec.h"
#include "serial/co.h"
#include "support/frames.h"
#include "support/pty.h"
#include "support/wait.h"
#include "testwindows/JC.h"
#include "testwindows/KG.h"
#include "ui/dialogs.h"
#include "testwindows/writedemo.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTimer>

#include <array>
#include <functional>
#include <vector>

namespace {

using testsupport::WaitUntil;
using testsupport::WithCrc;

using Bytes = std::vector<uint8_t>;

// The 8-byte request frame (codec layout) as a byte vector.
inline Bytes Frame(int32_t slave, uint8_t function, int32_t start, int32_t quantity) {
    const auto frame = modbus::BuildRequest(slave, function, start, quantity);
    return {frame.begin(), frame.end()};
}

// Captures every message box while alive; each carries the program's caption.
struct BoxCapture {
    QStringList texts;
    BoxCapture() {
        ui::SetBoxSink([this](const ui::BoxRecord& r) {
            EXPECT_EQ(r.caption, QStringLiteral("通讯演示"));
            texts << r.text;
        });
    }
    ~BoxCapture() { ui::SetBoxSink({}); }
};

template <class W> W* Find(QObject& form, const char* name) {
    return form.findChild<W*>(QString::fromLatin1(name));
}
// The text of an edit box or label.
inline QString Text(QObject& form, const QString& name) {
    return form.findChild<QWidget*>(name)->property("text").toString();
}
// The value boxes Edit1..Edit<count>, comma-separated.
inline QString Values(QObject& form, int count) {
    QStringList texts;
    for (int i = 1; i <= count; ++i)
        texts << Text(form, QStringLiteral("Edit%1").arg(i));
    return texts.join(',');
}
inline void SetText(QObject& form, const char* name, const QString& text) {
    Find<QLineEdit>(form, name)->setText(text);
}
inline void Click(QObject& form, const char* name) {
    Find<QAbstractButton>(form, name)->click();
}
inline bool Enabled(QObject& form, const char* name) {
    return Find<QWidget>(form, name)->isEnabled();
}
inline QString Log(QObject& form) {
    return Find<QPlainTextEdit>(form, "MemoMsg")->toPlainText();
}
inline QString Line(const Bytes& frame) {
    return QString::fromStdString(modbus::FrameLine(frame));
}

// A reading window with its port open on a pseudo-terminal, as ShowWithPort leaves it but
// without the modal loop, so tests can press buttons and call handlers directly. Deliveries
// are counted; reads complete after 20 ms of silence to keep the suite quick.
template <class Form> struct OpenWindow {
    testsupport::PtyPair pty;
    Form form;
    int deliveries = 0;

    OpenWindow() {
        form.Comm32->setReadIntervalTimeout(20);
        form.Comm32->setCommName(QString::fromStdString(pty.SlavePath()));
        auto handler = form.Comm32->OnReceiveData;
        form.Comm32->OnReceiveData = [this, handler](QObject* s, const void* b, uint16_t n) {
            ++deliveries;
            handler(s, b, n);
        };
        form.Comm32->OpenPort();
        form.EnableButtons();
    }
    ~OpenWindow() { form.FormClose(); }

    // The next request as it arrived at the far end.
    Bytes Request(int timeoutMs = 3000) { return pty.ReadExactly(8, timeoutMs); }
    // Writes a reply at the far end and waits until the window has been handed it.
    bool Reply(const Bytes& bytes) {
        const int before = deliveries;
        pty.Write(bytes);
        return testsupport::WaitUntil([&] { return deliveries > before; });
    }
    // Nothing arrives at the far end for `ms`.
    bool Silent(int ms = 150) { return pty.ReadFor(ms).empty(); }
};

const Bytes Request = {0x01, 0x03, 0x00, 0x00, 0x00, 0x05, 0x85, 0xC9}; // working data
const Bytes Reply = WithCrc({1, 3, 10, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5});

class Exchange : public ::testing::Test {
protected:
    OpenWindow<TJCForm> w;
    TJCForm& form = w.form;
    BoxCapture boxes;

    qsizetype EnabledStarts() {
        qsizetype n = 0;
        for (const char* name : {"GKBitBtn", "SjJCBitBtn", "SendBitbtn", "ClearBitBtn"})
            n += Enabled(form, name);
        return n;
    }
    bool AnyStartEnabled() { return EnabledStarts() > 0; }
    bool AllStartEnabled() { return EnabledStarts() == 4; }
    void StartAndAccept() {
        Click(form, "GKBitBtn");
        ASSERT_EQ(w.Request(), Request);
        ASSERT_TRUE(w.Reply(Reply));
        ASSERT_TRUE(form.ReplySeen);
    }
    static QString Sent() { return QStringLiteral("发送:\n") + Line(Request); }
    static QString Received(const Bytes& b) { return QStringLiteral("接收:\n") + Line(b); }
};

// Stop during the pause still lets it end in one more request, but arms nothing after it.
TEST_F(Exchange, StartLogsDisablesTheStartButtonsRepollsAfterThePauseUntilStop) {
    Click(form, "GKBitBtn");
    EXPECT_EQ(w.Request(), Request);
    EXPECT_EQ(Log(form), Sent());
    EXPECT_FALSE(AnyStartEnabled());
    EXPECT_TRUE(Enabled(form, "StopBitBtn") && Enabled(form, "BitBtn2"));
    ASSERT_TRUE(w.Reply(Reply));
    QElapsedTimer sinceReply;
    sinceReply.start();
    EXPECT_EQ(Log(form), Sent() + "\n" + Received(Reply));
    EXPECT_EQ(Text(form, "Edit1"), "1");
    // A second accepted reply during the pause restarts it; it does not add a request.
    ASSERT_TRUE(w.Reply(Reply));
    EXPECT_TRUE(w.Silent(500));
    EXPECT_EQ(w.Request(), Request);
    EXPECT_GE(sinceReply.elapsed(), 900);
    EXPECT_EQ(form.Timer03->interval(), 1000);
    EXPECT_FALSE(form.Timer03->isActive());
    EXPECT_TRUE(w.Silent(150));
    ASSERT_TRUE(w.Reply(Reply));
    Click(form, "StopBitBtn");
    EXPECT_TRUE(AllStartEnabled());
    ASSERT_TRUE(form.Timer03->isActive());
    form.Timer03Timer();
    EXPECT_EQ(w.Request(), Request);
    SetText(form, "Edit1", "");
    ASSERT_TRUE(w.Reply(Reply));
    EXPECT_EQ(Text(form, "Edit1"), "1");
    EXPECT_FALSE(form.Timer03->isActive());
}

// None is decoded and polling halts until Stop. Those failing the CRC test (split ones part
// by part, too short ones without reading past their end) are not logged and stop; refused
// ones are logged first.
TEST_F(Exchange, FailedRepliesHaltUntilStop) {
    Bytes badCrc = Reply;
    badCrc.back() ^= 0x01;
    const auto refused = [](uint8_t count) { // count + 3 header bytes, then the CRC
        Bytes bytes(count + 3u, 0x01);
        bytes[1] = 0x03;
        bytes[2] = count;
        return WithCrc(bytes);
    };
    const std::pair<std::vector<Bytes>, bool> cases[] = {
        {{badCrc}, false},
        {{{Reply.begin(), Reply.begin() + 3}, {Reply.begin() + 3, Reply.end()}}, false},
        {{{0xFF}}, false},
        {{{0xFF, 0xFF}}, false}, // the CRC of no bytes
        {{refused(0x81)}, true},
        {{refused(0x82)}, true},
    };
    for (const auto& [deliveries, logged] : cases) {
        SCOPED_TRACE(deliveries.back().size());
        form.StopBitBtnClick();
        Find<QPlainTextEdit>(form, "MemoMsg")->clear();
        Click(form, "GKBitBtn");
        w.Request();
        form.ReceiveBuffer.fill(0xEE);
        for (const Bytes& delivery : deliveries)
            ASSERT_TRUE(w.Reply(delivery));
        EXPECT_EQ(form.ReceiveBuffer[deliveries.back().size()], 0xEE);
        EXPECT_EQ(Log(form), Sent() + (logged ? "\n" + Received(deliveries.back()) : QString()));
        EXPECT_EQ(form.Stopped, !logged);
        EXPECT_FALSE(form.ReplySeen || form.Timer03->isActive() || AnyStartEnabled());
        EXPECT_EQ(Text(form, "Edit1"), "");
    }
    // One that passes its CRC but is shorter than its byte count (an exception reply) is
    // logged, not decoded, and does not halt.
    form.StopBitBtnClick();
    Click(form, "GKBitBtn");
    w.Request();
    ASSERT_TRUE(w.Reply(WithCrc({1, 0x83, 2})));
    EXPECT_FALSE(form.ReplySeen || form.Stopped);
    EXPECT_EQ(Text(form, "Edit1"), "");
    EXPECT_TRUE(boxes.texts.isEmpty());
    Click(form, "StopBitBtn");
    EXPECT_TRUE(AllStartEnabled());
}

// One English box per single recognised flag; polling goes on.
TEST_F(Exchange, ASingleErrorFlagShowsItsTextOtherMasksNothing) {
    const std::pair<uint32_t, const char*> cases[] = {
        {0x0002, "A character-buffer overrun has occurred. The next character is lost."},
        {0x0006, nullptr}, // two flags
        {0x0008, nullptr}, // framing error
    };
    StartAndAccept();
    for (const auto& [mask, text] : cases) {
        boxes.texts.clear();
        form.Comm32ReceiveError(form.Comm32, mask);
        EXPECT_EQ(boxes.texts, text ? QStringList{text} : QStringList()) << mask;
    }
    EXPECT_TRUE(form.Timer03->isActive()); // polling goes on
}

// Counted since the last accepted reply or user start; a time-out after Stop counts but
// gives nothing up. Before any accepted reply a time-out halts the cycle until Stop.
TEST_F(Exchange, GivesUpAtTheSixthConsecutiveTimeoutSinceTheLastAcceptedReplyOrStart) {
    form.Comm32->setLineBreakTime(30);
    // `times` unanswered requests, each sent by `send` and waited for until it times out.
    const auto timeOut = [this](const std::function<void()>& send, int times = 1) {
        for (int i = 0; i < times; ++i) {
            send(); // a start resets the count first
            const int32_t before = form.TimeoutCount;
            EXPECT_EQ(w.Request(), Request); // also the manual defaults' frame
            if (!WaitUntil([&] { return form.TimeoutCount != before || !boxes.texts.isEmpty(); }))
                return false;
        }
        return true;
    };
    const auto tick = [this] { form.Timer03Timer(); };
    for (const char* start : {"GKBitBtn", "SendBitbtn", "GKBitBtn", "SendBitbtn", "GKBitBtn"}) {
        form.StopBitBtnClick();
        ASSERT_TRUE(timeOut([&] { Click(form, start); }));
    }
    EXPECT_EQ(form.TimeoutCount, 2);
    tick(); // before any accepted reply the pause ends in nothing
    EXPECT_TRUE(w.Silent(100));
    EXPECT_FALSE(AnyStartEnabled());
    for (const bool stopFirst : {false, true}) {
        SCOPED_TRACE(stopFirst ? "stopped" : "polling");
        boxes.texts.clear();
        form.StopBitBtnClick();
        form.Comm32->setLineBreakTime(5000);
        StartAndAccept();
        form.Comm32->setLineBreakTime(30);
        ASSERT_TRUE(timeOut(tick, 3)); // requests do not reset the count, an accepted reply does
        form.Comm32->setLineBreakTime(5000);
        tick();
        w.Request();
        ASSERT_TRUE(w.Reply(Reply));
        form.Comm32->setLineBreakTime(30);
        ASSERT_TRUE(timeOut(tick, 5));
        EXPECT_TRUE(boxes.texts.isEmpty() && form.Timer03->isActive());
        if (stopFirst)
            Click(form, "StopBitBtn");
        ASSERT_TRUE(timeOut(tick));
        EXPECT_EQ(boxes.texts, stopFirst ? QStringList() : QStringList{"line break"});
        EXPECT_FALSE(form.Timer03->isActive());
        EXPECT_TRUE(form.Stopped && AllStartEnabled());
        EXPECT_EQ(form.TimeoutCount, stopFirst ? 7 : 1);
    }
}

TEST_F(Exchange, RefusedSendShowsWriteerrorLogsNothingAndHalts) {
    form.Comm32->ClosePort();
    Click(form, "GKBitBtn");
    EXPECT_EQ(boxes.texts, QStringList{"writeerror"});
    EXPECT_EQ(Log(form), "");
    EXPECT_FALSE(AnyStartEnabled());
    EXPECT_FALSE(form.Timer03->isActive());
}

TEST_F(Exchange, ManualRequestNeedsAllThreeInputsAndClearEmptiesThem) {
    for (const char* name : {"CurrentNumberEdit", "AddressEdit", "ByteCountEdit"}) {
        const QString kept = Text(form, name);
        SetText(form, name, QStringLiteral(" \t\r\n"));
        boxes.texts.clear();
        Click(form, "SendBitbtn");
        EXPECT_EQ(boxes.texts, QStringList{QStringLiteral("填写数据不能为空")}) << name;
        EXPECT_TRUE(AllStartEnabled() && w.Silent(50)) << name;
        SetText(form, name, kept);
    }
    Click(form, "ClearBitBtn");
    EXPECT_EQ(Text(form, "CurrentNumberEdit") + Text(form, "AddressEdit") +
                  Text(form, "ByteCountEdit"),
              "");
}

TEST_F(Exchange, ManualRequestRereadsStartAndQuantityButNotTheSlaveWhilePolling) {
    SetText(form, "CurrentNumberEdit", "2");
    SetText(form, "AddressEdit", "10");
    SetText(form, "ByteCountEdit", "3");
    Click(form, "SendBitbtn");
    EXPECT_EQ(w.Request(), Frame(2, 3, 0x10, 3));
    SetText(form, "CurrentNumberEdit", "7");
    SetText(form, "AddressEdit", "20");
    SetText(form, "ByteCountEdit", "4");
    ASSERT_TRUE(w.Reply(WithCrc({0x02, 0x03, 0x02, 0xFF, 0xFF})));
    EXPECT_EQ(Text(form, "Edit1"), ""); // manual replies are only logged
    EXPECT_EQ(Text(form, "cjLabel"), "2");
    form.Timer03Timer();
    EXPECT_EQ(w.Request(), Frame(2, 3, 0x20, 4));
}

// --- What each window adds ---

const Bytes KGReply = {0x01, 0x02, 0x02, 0x85, 0x0A, 0x5B, 0x2F};

// The address byte is the slave number's low 8 bits, the label shows the whole number.
struct FrameCase {
    const char* button;
    bool kg;
    int spinner;
    const char* manual; // slave, start and quantity typed, "|"-separated; none: the defaults
    Bytes frame;
    const char* cjLabel;
};

template <class Form> void CheckFrame(const FrameCase& c) {
    OpenWindow<Form> w;
    Find<QSpinBox>(w.form, "UpDownbegin")->setValue(c.spinner);
    const QStringList typed = QString::fromLatin1(c.manual).split('|');
    for (int i = 0; i < typed.size() && c.manual[0]; ++i)
        SetText(w.form, std::array{"CurrentNumberEdit", "AddressEdit", "ByteCountEdit"}[i],
                typed[i]);
    Click(w.form, c.button);
    EXPECT_EQ(w.Request(), c.frame);
    EXPECT_EQ(Log(w.form), QStringLiteral("发送:\n") + Line(c.frame));
    EXPECT_EQ(Text(w.form, "cjLabel"), QString::fromLatin1(c.cjLabel));
}

// The address byte is the slave number's low 8 bits; the label shows the whole number.
TEST(ReadingWindows, RequestOnTheWireLogAndSlaveLabel) {
    const Bytes kgFixed = {0x01, 0x02, 0x03, 0x00, 0x00, 0x0C, 0x78, 0x4B};
    const FrameCase cases[] = {
        {"GKBitBtn", false, 1, "", {1, 3, 0, 0, 0, 5, 0x85, 0xC9}, "1"},
        {"SjJCBitBtn", false, 1, "", {1, 3, 1, 0, 0, 8, 0x45, 0xF0}, "1"},
        {"GKBitBtn", false, 99, "", Frame(0x63, 3, 0, 5), "99"},
        {"GKBitBtn", false, 0, "", Frame(1, 3, 0, 5), "1"}, // the spinner stops at 1
        {"SendBitbtn", false, 1, "", Frame(1, 3, 0, 5), "1"},
        {"SendBitbtn", false, 1, " 1F\t|0100|8", Frame(0x1F, 3, 0x100, 8), "31"},
        {"SendBitbtn", false, 1, "-1|0|1FFFF", Frame(-1, 3, 0, 0xFFFF), "-1"},
        {"SendBitbtn", false, 1, "1|12345|1", Frame(1, 3, 0x2345, 1), "1"},
        {"KGBitBtn", true, 1, "", kgFixed, "1"},
        {"KGBitBtn", true, 0, "", Frame(0, 2, 0x300, 12), "0"},
        {"SendBitbtn", true, 1, "", kgFixed, "1"},
        {"SendBitbtn", true, 1, "1ff|300|C", Frame(0xFF, 2, 0x300, 12), "511"},
    };
    for (const FrameCase& c : cases) {
        SCOPED_TRACE(std::string(c.button) + " " + c.manual);
        c.kg ? CheckFrame<TKGForm>(c) : CheckFrame<TJCForm>(c);
    }
}

TEST(ReadingWindows, RegistersAreSignAndMagnitudeInTheBoxesOfTheirKind) {
    OpenWindow<TJCForm> w;
    Click(w.form, "GKBitBtn");
    w.Request();
    ASSERT_TRUE(
        w.Reply(WithCrc({1, 3, 10, 0x00, 0x05, 0x80, 0x05, 0x7F, 0xFF, 0x80, 0x00, 0xFF, 0xFF})));
    EXPECT_EQ(Values(w.form, 13), "5,-5,32767,-0,-32767,,,,,,,,");
    w.form.StopBitBtnClick();
    Click(w.form, "SjJCBitBtn"); // a start empties every box
    w.Request();
    ASSERT_TRUE(w.Reply(WithCrc({1, 3, 16, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0x80, 8})));
    EXPECT_EQ(Values(w.form, 13), ",,,,,1,2,3,4,5,6,7,-8");
}

// Inputs 0300..0307 are bits 0..7 of byte 3, 0308..030B bits 0..3 of byte 4.
TEST(ReadingWindows, SwitchStatesInBitOrderManualRepliesOnlyLogged) {
    OpenWindow<TKGForm> w;
    Click(w.form, "KGBitBtn");
    w.Request();
    ASSERT_TRUE(w.Reply(KGReply));
    EXPECT_EQ(Values(w.form, 12), QStringLiteral("是,否,是,否,否,否,否,是,否,是,否,是"));
    w.form.StopBitBtnClick();
    Click(w.form, "SendBitbtn");
    w.Request();
    ASSERT_TRUE(w.Reply(KGReply));
    EXPECT_TRUE(Log(w.form).endsWith(QStringLiteral("接收:\n1 2 2 133 10 91 47 ")));
    EXPECT_EQ(Values(w.form, 12), ",,,,,,,,,,,");
}

// As the main window opens it (the shell test checks the port and the log): values and the
// time-outs of the last showing gone, start buttons enabled; once closed (exit button or
// close box) stopped, timer off.
template <class Form>
void ModalRun(const char* start, const char* timer, const Bytes& reply, bool closeBox) {
    testsupport::PtyPair pty;
    Form form;
    BoxCapture boxes;
    form.Comm32->setReadIntervalTimeout(20);
    SetText(form, "Edit1", "old");
    form.DisableButtons();
    form.TimeoutCount = 6;
    auto* pollTimer = Find<QTimer>(form, timer);
    QTimer::singleShot(0, &form, [&] {
        EXPECT_EQ(Text(form, "Edit1"), "");
        EXPECT_TRUE(Enabled(form, start));
        EXPECT_EQ(form.TimeoutCount, 1);
        Click(form, start);
        pty.ReadExactly(8);
        pty.Write(reply);
        EXPECT_TRUE(WaitUntil([&] { return form.ReplySeen; }));
        EXPECT_TRUE(pollTimer->isActive());
        closeBox ? (void)form.close() : Click(form, "BitBtn2");
    });
    form.ShowWithPort(19200, QString::fromStdString(pty.SlavePath()));
    EXPECT_FALSE(form.isVisible() || form.Comm32->IsOpen());
    EXPECT_TRUE(form.Stopped);
    EXPECT_FALSE(pollTimer->isActive());
}

TEST(ReadingWindows, ModalRunOpensEmptiesPollsAndStopsWhenClosed) {
    ModalRun<TJCForm>("GKBitBtn", "Timer03", Reply, false);
    ModalRun<TKGForm>("KGBitBtn", "Timer02", KGReply, true);
}

// The line all three windows set up before opening, which the device expects: 9600 baud 8N2,
// no flow control, RTS only while sending, replies ended by 1 s of silence, a 20 s watchdog.
TEST(TestWindows, PortSettings) {
    TJCForm jc;
    TKGForm kg;
    TWriteForm write;
    for (const TComm* c : {jc.Comm32, kg.Comm32, write.Comm32}) {
        EXPECT_EQ(c->CommName(), "COM2");
        EXPECT_EQ(c->BaudRate(), 9600u);
        EXPECT_EQ(c->ByteSize(), TByteSize::_8);
        EXPECT_EQ(c->Parity(), TParity::None);
        EXPECT_EQ(c->StopBits(), TStopBits::_2);
        EXPECT_EQ(c->RtsControl(), TRtsControl::RtsTransmissionAvailable);
        EXPECT_EQ(c->DtrControl(), TDtrControl::DtrDisable);
        EXPECT_FALSE(c->ParityCheck() || c->Outx_CtsFlow() || c->Outx_DsrFlow() ||
                     c->Outx_XonXoffFlow() || c->Inx_XonXoffFlow());
        EXPECT_EQ(c->ReadIntervalTimeout(), 1000u);
        EXPECT_EQ(c->ReadTotalTimeoutConstant(), 0u);
        EXPECT_EQ(c->LineBreakTime(), 20000u);
    }
}

} // namespace
