// What each reading window adds to the shared exchange: its request frames, its decoding,
// its port settings, and its modal run from opening to closing.
#include "poll_test_support.h"
#include "testwindows/JC.h"
#include "testwindows/KG.h"

#include <gtest/gtest.h>

#include <QSpinBox>
#include <QTimer>

using namespace polltest;
using testsupport::WaitUntil;

namespace {

const Bytes JCReply = WithCrc({1, 3, 10, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5});
const Bytes KGReply = {0x01, 0x02, 0x02, 0x85, 0x0A, 0x5B, 0x2F};

// The address byte is the slave number's low 8 bits, the label shows the whole number.
struct FrameCase {
    const char* name;
    bool kg;
    const char* button;
    int spinner;
    const char* slave; // with start and quantity the manual inputs; none: the window's own
    const char* start;
    const char* quantity;
    Bytes frame;
    const char* cjLabel;
};

template <class Form> void CheckFrame(const FrameCase& c) {
    OpenWindow<Form> w;
    Find<QSpinBox>(w.form, "UpDownbegin")->setValue(c.spinner);
    if (c.slave) {
        SetText(w.form, "CurrentNumberEdit", QString::fromLatin1(c.slave));
        SetText(w.form, "AddressEdit", QString::fromLatin1(c.start));
        SetText(w.form, "ByteCountEdit", QString::fromLatin1(c.quantity));
    }
    Click(w.form, c.button);
    EXPECT_EQ(w.Request(), c.frame);
    EXPECT_EQ(Log(w.form), QStringLiteral("发送:\n") + Line(c.frame));
    EXPECT_EQ(Text(w.form, "cjLabel"), QString::fromLatin1(c.cjLabel));
}

TEST(ReadingWindows, RequestOnTheWireLogAndSlaveLabel) {
    const Bytes kgFixed = {0x01, 0x02, 0x03, 0x00, 0x00, 0x0C, 0x78, 0x4B};
    const FrameCase cases[] = {
        {"JCWorking", false, "GKBitBtn", 1, nullptr, "", "", {1, 3, 0, 0, 0, 5, 0x85, 0xC9}, "1"},
        {"JCRegisters",
         false,
         "SjJCBitBtn",
         1,
         nullptr,
         "",
         "",
         {1, 3, 1, 0, 0, 8, 0x45, 0xF0},
         "1"},
        {"JCSlave99", false, "GKBitBtn", 99, nullptr, "", "", Frame(0x63, 3, 0, 5), "99"},
        {"JCSpinnerStopsAt1", false, "GKBitBtn", 0, nullptr, "", "", Frame(1, 3, 0, 5), "1"},
        {"JCManualDefaults", false, "SendBitbtn", 1, nullptr, "", "", Frame(1, 3, 0, 5), "1"},
        {"JCManualTrimmedHex", false, "SendBitbtn", 1, " 1F\t", "0100", "8",
         Frame(0x1F, 3, 0x100, 8), "31"},
        {"JCManualNegative", false, "SendBitbtn", 1, "-1", "0", "1FFFF", Frame(-1, 3, 0, 0xFFFF),
         "-1"},
        {"JCManualStartLow16Bits", false, "SendBitbtn", 1, "1", "12345", "1",
         Frame(1, 3, 0x2345, 1), "1"},
        {"KGStates", true, "KGBitBtn", 1, nullptr, "", "", kgFixed, "1"},
        {"KGSpinnerSlave0", true, "KGBitBtn", 0, nullptr, "", "", Frame(0, 2, 0x300, 12), "0"},
        {"KGManualDefaults", true, "SendBitbtn", 1, nullptr, "", "", kgFixed, "1"},
        {"KGManual1FF", true, "SendBitbtn", 1, "1ff", "300", "C", Frame(0xFF, 2, 0x300, 12), "511"},
    };
    for (const FrameCase& c : cases) {
        SCOPED_TRACE(c.name);
        c.kg ? CheckFrame<TKGForm>(c) : CheckFrame<TJCForm>(c);
    }
}

TEST(ReadingWindows, RegistersAreSignAndMagnitudeInTheBoxesOfTheirKind) {
    OpenWindow<TJCForm> w;
    Click(w.form, "GKBitBtn");
    w.Request();
    ASSERT_TRUE(
        w.Reply(WithCrc({1, 3, 10, 0x00, 0x05, 0x80, 0x05, 0x7F, 0xFF, 0x80, 0x00, 0xFF, 0xFF})));
    const QStringList working = {"5", "-5", "32767", "-0", "-32767", "", "",
                                 "",  "",   "",      "",   "",       ""};
    for (int i = 1; i <= 13; ++i)
        EXPECT_EQ(EditText(w.form, i), working[i - 1]) << i;
    w.form.StopBitBtnClick();
    Click(w.form, "SjJCBitBtn"); // a start empties every box
    w.Request();
    ASSERT_TRUE(w.Reply(WithCrc({1, 3, 16, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0x80, 8})));
    const QStringList registers = {"", "", "", "", "", "1", "2", "3", "4", "5", "6", "7", "-8"};
    for (int i = 1; i <= 13; ++i)
        EXPECT_EQ(EditText(w.form, i), registers[i - 1]) << i;
}

// Inputs 0300..0307 are bits 0..7 of byte 3, 0308..030B bits 0..3 of byte 4.
TEST(ReadingWindows, SwitchStatesInBitOrderManualRepliesOnlyLogged) {
    OpenWindow<TKGForm> w;
    Click(w.form, "KGBitBtn");
    w.Request();
    ASSERT_TRUE(w.Reply(KGReply));
    const QString y = QStringLiteral("是"), n = QStringLiteral("否");
    const QStringList expected = {y, n, y, n, n, n, n, y, n, y, n, y};
    QStringList states;
    for (int i = 1; i <= 12; ++i)
        states << EditText(w.form, i);
    EXPECT_EQ(states, expected);
    w.form.StopBitBtnClick();
    Click(w.form, "SendBitbtn");
    w.Request();
    ASSERT_TRUE(w.Reply(KGReply));
    EXPECT_TRUE(Log(w.form).endsWith(QStringLiteral("接收:\n1 2 2 133 10 91 47 ")));
    EXPECT_EQ(EditText(w.form, 1), "");
}

// As the main window opens it: port open, log, values and the time-outs of the last showing
// gone, start buttons enabled; once closed (exit button or close box) stopped, timer off.
template <class Form>
void ModalRun(const char* start, const char* timer, const Bytes& reply, bool closeBox) {
    testsupport::PtyPair pty;
    Form form;
    BoxCapture boxes;
    form.Comm32->setReadIntervalTimeout(20);
    Find<QPlainTextEdit>(form, "MemoMsg")->setPlainText("old");
    SetText(form, "Edit1", "old");
    form.DisableButtons();
    form.TimeoutCount = 6;
    auto* pollTimer = Find<QTimer>(form, timer);
    QTimer::singleShot(0, &form, [&] {
        EXPECT_TRUE(form.isVisible() && form.Comm32->IsOpen());
        EXPECT_EQ(Log(form) + Text(form, "Edit1"), "");
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
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(form.Comm32->IsOpen());
    EXPECT_EQ(form.Comm32->BaudRate(), 19200u);
    EXPECT_TRUE(form.Stopped);
    EXPECT_FALSE(pollTimer->isActive());
}

TEST(ReadingWindows, ModalRunOpensEmptiesPollsAndStopsWhenClosed) {
    ModalRun<TJCForm>("GKBitBtn", "Timer03", JCReply, false);
    ModalRun<TKGForm>("KGBitBtn", "Timer02", KGReply, true);
}

} // namespace
