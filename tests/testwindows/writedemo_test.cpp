// The write test window against a real pseudo-terminal: the test holds the far end of the
// line, reads the requests the window sends and writes the replies a device would give.
#include "testwindows/writedemo.h"

#include "modbus/codec.h"
#include "serial/co.h"
#include "support/frames.h"
#include "support/pty.h"
#include "support/wait.h"
#include "testwindows/dialogs.h"
#include "testwindows/formutil.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using testsupport::WaitUntil;

Bytes Hex(const std::string& text) {
    Bytes out;
    std::istringstream in(text);
    unsigned value = 0;
    while (in >> std::hex >> value)
        out.push_back(static_cast<uint8_t>(value));
    return out;
}

using testsupport::WithCrc;

// `count` data lines holding the hexadecimal numbers 0, 1, 2, ...
std::string Lines(int count) {
    std::string text;
    for (int k = 0; k < count; ++k)
        text += QString::number(k, 16).toStdString() + "\n";
    return text;
}

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

QString SentLog(const Bytes& frame) {
    return QStringLiteral("发送:\n") + Q(modbus::FrameLine(frame));
}

enum class Button { F06, F10 };

class WriteFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        ui::SetBoxSink([this](const ui::BoxRecord& box) { boxes.push_back(box); });
    }
    void TearDown() override { ui::SetBoxSink({}); }

    void Open() {
        form.Comm32->setCommName(Q(pty.SlavePath()));
        form.Comm32->setReadIntervalTimeout(20); // keeps deliveries quick; 1000 ms in use
        form.Comm32->OpenPort();
    }
    void SetInputs(const std::string& number, const std::string& address, const std::string& data) {
        form.NumberEdit->setText(Q(number));
        form.AddressEdit->setText(Q(address));
        form.DataMemo->setPlainText(Q(data));
    }
    void Click(Button button) {
        (button == Button::F06 ? form.DanLuBitBtn : form.WJCBitBtn)->click();
    }
    // Types like a keyboard would: the key press goes through the window's key filter.
    void Type(QWidget* target, int key, const QString& text,
              Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
        QCoreApplication::sendEvent(target, &press);
        QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
        QCoreApplication::sendEvent(target, &release);
    }
    void TypeText(QWidget* target, const QString& text) {
        for (QChar c : text)
            Type(target, QChar(c).toUpper().unicode(), QString(c));
    }
    std::vector<QString> Messages() const {
        std::vector<QString> out;
        for (const auto& box : boxes)
            if (box.kind == ui::BoxKind::Message)
                out.push_back(box.text);
        return out;
    }
    int Beeps() const {
        return static_cast<int>(std::count_if(boxes.begin(), boxes.end(), [](const auto& box) {
            return box.kind == ui::BoxKind::Beep;
        }));
    }
    QString Log() const { return form.MemoMsg->toPlainText(); }

    testsupport::PtyPair pty; // declared first: the window closes its port before the line goes
    TWriteForm form;
    std::vector<ui::BoxRecord> boxes;
};

// --- Requests on the line --------------------------------------------------------------

struct FrameCase {
    const char* name;
    const char* number;
    const char* address;
    const char* data;
    Button button;
    Bytes expected;
    const char* logLine = nullptr; // when given, the log line exactly as the user reads it
};

void PrintTo(const FrameCase& c, std::ostream* os) {
    *os << c.name;
}

class WriteFrames : public WriteFormTest, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(WriteFrames, SendsTheFrameAndLogsItInDecimal) {
    const FrameCase& c = GetParam();
    Open();
    SetInputs(c.number, c.address, c.data);
    Click(c.button);
    EXPECT_EQ(pty.ReadExactly(c.expected.size()), c.expected);
    EXPECT_TRUE(Messages().empty());
    const QString line =
        c.logLine ? QString::fromUtf8(c.logLine) : Q(modbus::FrameLine(c.expected));
    EXPECT_EQ(Log(), QStringLiteral("发送:\n") + line);
    if (c.button == Button::F06) {
        EXPECT_EQ(form.Frame06, c.expected);
        EXPECT_EQ(Q(form.SendText06), line);
    } else {
        EXPECT_EQ(form.Frame10, c.expected);
        EXPECT_EQ(Q(form.SendText10), line);
    }
}

const Bytes kDefault06 = Hex("01 06 01 00 01 F4 88 21");
const Bytes kDefault10 = Hex("01 10 01 00 00 01 02 01 F4 B6 87");

INSTANTIATE_TEST_SUITE_P(
    Write, WriteFrames,
    ::testing::Values(
        FrameCase{"Defaults06", "1", "100", "1F4", Button::F06, kDefault06,
                  "1 6 1 0 1 244 136 33 "},
        FrameCase{"Defaults10", "1", "100", "1F4", Button::F10, kDefault10,
                  "1 16 1 0 0 1 2 1 244 182 135 "},
        FrameCase{"TwoLines10", "1", "100", "1F4\n4B0", Button::F10,
                  Hex("01 10 01 00 00 02 04 01 F4 04 B0 BD 45")},
        FrameCase{"LineBreakAfterOneLine06", "1", "100", "1F4\n", Button::F06, kDefault06},
        FrameCase{"LineBreakAfterOneLine10", "1", "100", "1F4\n", Button::F10, kDefault10},
        FrameCase{"EmptyMiddleLineWrittenAsZero10", "1", "100", "1F4\n\n4B0", Button::F10,
                  WithCrc(Hex("01 10 01 00 00 03 06 01 F4 00 00 04 B0"))},
        FrameCase{"TrailingEmptyLineCounts10", "1", "100", "1F4\n\n", Button::F10,
                  WithCrc(Hex("01 10 01 00 00 02 04 01 F4 00 00"))},
        FrameCase{"TooLargeNumbersCut06", "1FF", "10000", "12345", Button::F06,
                  WithCrc(Hex("FF 06 00 00 23 45"))},
        FrameCase{"TooLargeNumbersCut10", "1FF", "10000", "12345\n10000", Button::F10,
                  WithCrc(Hex("FF 10 00 00 00 02 04 23 45 00 00"))},
        FrameCase{"LowerCase06", "1", "100", "1f4", Button::F06, kDefault06},
        FrameCase{"LowerCase10", "a", "10a", "1f4\n4b0", Button::F10,
                  WithCrc(Hex("0A 10 01 0A 00 02 04 01 F4 04 B0"))},
        FrameCase{"MinusOneWrittenAsFFFF06", "1", "100", "-1", Button::F06,
                  WithCrc(Hex("01 06 01 00 FF FF"))},
        FrameCase{"MinusOneWrittenAsFFFF10", "1", "100", "1F4\n-1", Button::F10,
                  WithCrc(Hex("01 10 01 00 00 02 04 01 F4 FF FF"))}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WriteFormTest, HundredTwentyFourLinesMakeOneFrameWithAFullCrc) {
    Open();
    SetInputs("1", "100", Lines(124));
    Click(Button::F10);
    Bytes body = Hex("01 10 01 00 00 7C F8");
    for (int k = 0; k < 124; ++k) {
        body.push_back(0);
        body.push_back(static_cast<uint8_t>(k));
    }
    const Bytes expected = WithCrc(body); // CRC over 255 bytes
    ASSERT_EQ(expected.size(), 257u);
    EXPECT_EQ(pty.ReadExactly(expected.size()), expected);
    EXPECT_TRUE(modbus::CrcTestPasses(expected));
    EXPECT_EQ(Log(), SentLog(expected));
}

// --- Refusals --------------------------------------------------------------------------

struct RefusalCase {
    const char* name;
    const char* number;
    const char* address;
    std::string data;
    Button button;
    const char* message;
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class WriteRefusals : public WriteFormTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(WriteRefusals, ShowTheMessageAndSendNothing) {
    const RefusalCase& c = GetParam();
    Open();
    SetInputs(c.number, c.address, c.data);
    Click(c.button);
    EXPECT_EQ(Messages(), std::vector<QString>{QString::fromUtf8(c.message)});
    EXPECT_TRUE(pty.ReadFor(60).empty());
    EXPECT_TRUE(Log().isEmpty());
    EXPECT_TRUE(form.Frame06.empty());
    EXPECT_TRUE(form.Frame10.empty());
}

const char* const kEmpty = "填写数据不能为空";
const char* const kOneLine06 = "功能码06,数据只能填写一行!";
const char* const kMaxLines10 = "功能码10,数据最多只能填写124行!";

INSTANTIATE_TEST_SUITE_P(
    Write, WriteRefusals,
    ::testing::Values(
        RefusalCase{"TwoLines06", "1", "100", "1F4\n4B0", Button::F06, kOneLine06},
        RefusalCase{"LineBreakFirst06", "1", "100", "\n1F4", Button::F06, kOneLine06},
        RefusalCase{"NoData06", "1", "100", "", Button::F06, kEmpty},
        RefusalCase{"NoData10", "1", "100", "", Button::F10, kEmpty},
        RefusalCase{"NoAddress10", "1", "", "1F4", Button::F10, kEmpty},
        RefusalCase{"NoNumber06", "", "100", "1F4", Button::F06, kEmpty},
        RefusalCase{"HundredTwentyFiveLines10", "1", "100", Lines(125), Button::F10, kMaxLines10},
        RefusalCase{"HundredTwentyFiveLines06", "1", "100", Lines(125), Button::F06, kOneLine06}),
    [](const auto& info) { return std::string(info.param.name); });

// What empty inputs then give is WriteRefusals' part.
TEST_F(WriteFormTest, ClearEmptiesTheInputsButNotTheLog) {
    form.MemoMsg->setPlainText(QStringLiteral("kept"));
    form.BitBtn4->click();
    EXPECT_TRUE(form.DataMemo->toPlainText().isEmpty());
    EXPECT_TRUE(form.AddressEdit->text().isEmpty());
    EXPECT_TRUE(form.NumberEdit->text().isEmpty());
    EXPECT_EQ(form.Label6->text(), QStringLiteral("数据个数= 0"));
    EXPECT_EQ(Log(), QStringLiteral("kept"));
}

TEST_F(WriteFormTest, RefusedByThePortShowsWriteErrorAndLogsNothing) {
    // Never opened: the port takes no frame.
    Click(Button::F06);
    Click(Button::F10);
    EXPECT_EQ(Messages(), (std::vector<QString>{"writeerror", "writeerror"}));
    EXPECT_TRUE(Log().isEmpty());
}

// --- Typing ----------------------------------------------------------------------------

TEST_F(WriteFormTest, KeyFilterKeepsHexDigitsAsTypedAndBeepsAtEverythingElse) {
    form.show();
    for (QWidget* input :
         {static_cast<QWidget*>(form.NumberEdit), static_cast<QWidget*>(form.AddressEdit),
          static_cast<QWidget*>(form.DataMemo)}) {
        SCOPED_TRACE(input->objectName().toStdString());
        const auto text = [input] {
            if (auto* edit = qobject_cast<QLineEdit*>(input))
                return edit->text();
            return static_cast<QPlainTextEdit*>(input)->toPlainText();
        };
        if (auto* edit = qobject_cast<QLineEdit*>(input))
            edit->clear();
        else
            static_cast<QPlainTextEdit*>(input)->clear();
        input->setFocus();
        boxes.clear();

        TypeText(input, QStringLiteral("0123456789abcdefABCDEF"));
        EXPECT_EQ(text(), QStringLiteral("0123456789abcdefABCDEF"));
        EXPECT_EQ(Beeps(), 0);

        for (const char* refused : {" ", "-", "G", "g", "z", "+", ".", "x"})
            TypeText(input, QString::fromLatin1(refused));
        Type(input, Qt::Key_A, QStringLiteral("\x01"), Qt::ControlModifier); // Ctrl+A
        Type(input, Qt::Key_Escape, QStringLiteral("\x1b"));
        Type(input, Qt::Key_Z, QStringLiteral("Ｚ")); // a full-width letter
        EXPECT_EQ(text(), QStringLiteral("0123456789abcdefABCDEF"));
        EXPECT_EQ(Beeps(), 11);

        // Editing keys: backspace is a character and kept; arrows and Delete type nothing.
        Type(input, Qt::Key_Backspace, QStringLiteral("\b"));
        Type(input, Qt::Key_Left, QString());
        Type(input, Qt::Key_Left, QString());
        Type(input, Qt::Key_Delete, QStringLiteral("\x7f"));
        EXPECT_EQ(text(), QStringLiteral("0123456789abcdefABCE"));
        EXPECT_EQ(Beeps(), 11);
    }
    // Carriage return is kept: a new line in the data area, and in the one-line boxes it
    // presses no button (no clearing, no write) and does not close the window.
    const QString data = form.DataMemo->toPlainText();
    Type(form.NumberEdit, Qt::Key_Return, QStringLiteral("\r"));
    Type(form.AddressEdit, Qt::Key_Enter, QStringLiteral("\r"));
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.DataMemo->toPlainText(), data);
    EXPECT_TRUE(Messages().empty());
    form.DataMemo->moveCursor(QTextCursor::End);
    Type(form.DataMemo, Qt::Key_Return, QStringLiteral("\r"));
    EXPECT_EQ(form.DataMemo->toPlainText(), data + QStringLiteral("\n"));
    EXPECT_EQ(Beeps(), 11);
}

TEST_F(WriteFormTest, PastedTextIsNotFiltered) {
    Open();
    form.DataMemo->clear();
    form.DataMemo->insertPlainText(QStringLiteral("-1")); // as the context menu's paste does
    form.NumberEdit->clear();
    form.NumberEdit->insert(QStringLiteral(" 2 "));
    EXPECT_EQ(Beeps(), 0);
    Click(Button::F06);
    EXPECT_EQ(pty.ReadExactly(8), WithCrc(Hex("02 06 01 00 FF FF")));
}

TEST_F(WriteFormTest, DataCountFollowsEveryChangeAndIgnoresALastEmptyLine) {
    EXPECT_EQ(form.Label6->text(), QStringLiteral("0个")); // the definition's line is no change
    form.show();
    form.DataMemo->setFocus();
    form.DataMemo->moveCursor(QTextCursor::End);
    Type(form.DataMemo, Qt::Key_Return, QStringLiteral("\r"));
    EXPECT_EQ(form.Label6->text(), QStringLiteral("数据个数= 1"));
    Type(form.DataMemo, Qt::Key_Return, QStringLiteral("\r"));
    EXPECT_EQ(form.Label6->text(), QStringLiteral("数据个数= 2"));
    form.DataMemo->setPlainText(QStringLiteral("1\n2\n3"));
    EXPECT_EQ(form.Label6->text(), QStringLiteral("数据个数= 3"));
    EXPECT_EQ(Beeps(), 0);
}

// --- The log ---------------------------------------------------------------------------

TEST_F(WriteFormTest, SendsEmptyALogOfMoreThanHundredLinesRepliesNever) {
    Open();
    const auto fill = [this](int lines) {
        QStringList text;
        for (int k = 0; k < lines; ++k)
            text << QStringLiteral("x");
        form.MemoMsg->setPlainText(text.join(QLatin1Char('\n')));
    };
    fill(100);
    Click(Button::F06);
    ASSERT_EQ(pty.ReadExactly(8), kDefault06);
    EXPECT_EQ(testwindows::LineCount(form.MemoMsg), 102); // exactly 100 is kept

    Click(Button::F10);
    ASSERT_EQ(pty.ReadExactly(11), kDefault10);
    EXPECT_EQ(Log(), SentLog(kDefault10)); // 102 was emptied first

    fill(101);
    pty.Write(kDefault06); // the device echoes
    ASSERT_TRUE(WaitUntil([&] { return testwindows::LineCount(form.MemoMsg) == 103; }));
    Click(Button::F06);
    ASSERT_EQ(pty.ReadExactly(8), kDefault06);
    EXPECT_EQ(Log(), SentLog(kDefault06));
}

// --- Replies ---------------------------------------------------------------------------

struct ReplyCase {
    const char* name;
    std::vector<Bytes> deliveries; // written one after the other, each arriving on its own
    std::vector<Bytes> logged;     // the deliveries that pass the CRC test
};

void PrintTo(const ReplyCase& c, std::ostream* os) {
    *os << c.name;
}

class WriteReplies : public WriteFormTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(WriteReplies, EachDeliveryIsCopiedAndLoggedOnlyWithItsOwnCrc) {
    const ReplyCase& c = GetParam();
    Open();
    testwindows::TReceiveBuffer expectedBuffer{};
    for (const Bytes& delivery : c.deliveries) {
        pty.Write(delivery);
        const std::size_t copied = std::min(delivery.size(), expectedBuffer.size());
        std::copy_n(delivery.begin(), copied, expectedBuffer.begin());
        // The copy comes first in the handler, so once it shows the delivery is handled.
        ASSERT_TRUE(WaitUntil([&] { return form.ReceiveBuffer == expectedBuffer; }));
    }
    QString log;
    for (const Bytes& reply : c.logged)
        log += (log.isEmpty() ? QString() : QStringLiteral("\n")) + QStringLiteral("接收:\n") +
               Q(modbus::FrameLine(reply));
    EXPECT_EQ(Log(), log);
    EXPECT_EQ(form.ReceiveText,
              c.logged.empty() ? std::string() : modbus::FrameLine(c.logged.back()));
    EXPECT_TRUE(boxes.empty());
}

Bytes Long2048(bool crcPasses) {
    Bytes bytes(2046);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    // A delivery's CRC test covers (length - 2) modulo 256 bytes: 254 here.
    const uint16_t crc = modbus::CRC16(bytes.data(), 254);
    bytes.push_back(static_cast<uint8_t>(crc));
    bytes.push_back(static_cast<uint8_t>((crc >> 8) ^ (crcPasses ? 0 : 1)));
    return bytes;
}

const Bytes kEcho10 = WithCrc(Hex("01 10 01 00 00 01"));

INSTANTIATE_TEST_SUITE_P(
    Write, WriteReplies,
    ::testing::Values(
        ReplyCase{"EchoOfTheRequest", {kDefault06}, {kDefault06}},
        ReplyCase{"WrongCrc", {Hex("01 06 01 00 01 F4 88 22")}, {}},
        ReplyCase{"ExceptionReply", {WithCrc(Hex("01 86 02"))}, {WithCrc(Hex("01 86 02"))}},
        ReplyCase{"OneByte", {Hex("41")}, {}},
        ReplyCase{"TwoBytesEvenWithTheEmptyCrc", {Hex("FF FF")}, {}},
        ReplyCase{"SplitReplyDroppedPartByPart", {Hex("01 06 01 00 01 F4"), Hex("88 21")}, {}},
        ReplyCase{"TwoRepliesEachWithItsCrc", {kDefault06, kEcho10}, {kDefault06, kEcho10}},
        ReplyCase{"WrongThenRight", {Hex("02 06 01 00 01 F4 88 21"), kEcho10}, {kEcho10}},
        ReplyCase{"Delivery2048PassingItsCrcTest", {Long2048(true)}, {Long2048(true)}},
        ReplyCase{"Delivery2048FailingItsCrcTest", {Long2048(false)}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Opening and closing ---------------------------------------------------------------

// Each showing opens the port and empties the log but keeps the inputs; every way out closes
// the port with the window.
TEST_F(WriteFormTest, ShowWithPortOpensModallyAndEveryWayOutClosesThePort) {
    form.NumberEdit->setText(QStringLiteral("2"));
    const std::vector<std::pair<const char*, std::function<void()>>> ways = {
        {"exit button", [&] { form.BitBtn5->click(); }},
        {"window close", [&] { form.close(); }},
    };
    for (const auto& [name, closeIt] : ways) {
        SCOPED_TRACE(name);
        form.MemoMsg->setPlainText(QStringLiteral("from the last opening"));
        bool ran = false;
        QTimer::singleShot(0, &form, [&] {
            ran = true;
            EXPECT_TRUE(form.isModal() && form.isVisible());
            EXPECT_TRUE(form.Comm32->IsOpen());
            EXPECT_EQ(form.Comm32->BaudRate(), 19200u);
            EXPECT_TRUE(Log().isEmpty());
            EXPECT_EQ(form.NumberEdit->text(), QStringLiteral("2"));
            closeIt();
            EXPECT_FALSE(form.Comm32->IsOpen() || form.isVisible());
        });
        form.ShowWithPort(19200, Q(pty.SlavePath()));
        EXPECT_TRUE(ran);
        EXPECT_FALSE(form.Comm32->IsOpen());
    }
}

TEST_F(WriteFormTest, PortThatCannotBeOpenedLeavesTheWindowHiddenWithAnEmptyLog) {
    form.MemoMsg->setPlainText(QStringLiteral("old"));
    EXPECT_THROW(form.ShowWithPort(9600, QStringLiteral("/nonexistent/democomm-write-port")),
                 ECommsError);
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(form.Comm32->IsOpen());
    EXPECT_TRUE(Log().isEmpty());
}

// --- The definition --------------------------------------------------------------------

TEST_F(WriteFormTest, DefinitionTextsHintsAndTabOrder) {
    EXPECT_EQ(form.windowTitle(), QStringLiteral("写数据演示"));
    const std::pair<const char*, const char*> texts[] = {
        {"Label5", "从机号:"},
        {"NumberEdit", "1"},
        {"Label1", "地址:"},
        {"AddressEdit", "100"},
        {"Label3", "数据区:"},
        {"Label6", "0个"},
        {"BitBtn4", "清除数据"},
        {"Label4", "报文:"},
        {"Label7", "说明：所有数据请填十六进制数，数据区填写双字节数，如04B0"},
        {"Label8", "06功能数据区填写一个双字节数据。"},
        {"Label2", "10功能的数据个数及字节数自动以数据区的行数来计算。"},
        {"DanLuBitBtn", "写单路控制/报警"},
        {"WJCBitBtn", "写多路控制/报警"},
        {"BitBtn5", "退出"}};
    for (const auto& [name, text] : texts) {
        auto* widget = form.findChild<QWidget*>(QString::fromLatin1(name));
        ASSERT_NE(widget, nullptr) << name;
        EXPECT_EQ(widget->property("text").toString(), QString::fromUtf8(text)) << name;
    }
    EXPECT_EQ(form.DataMemo->toPlainText(), QStringLiteral("1F4"));
    EXPECT_EQ(form.BitBtn4->toolTip(), QStringLiteral("复位发送数据内容为空"));
    EXPECT_EQ(form.DanLuBitBtn->toolTip(), QStringLiteral("功能码06"));
    EXPECT_EQ(form.WJCBitBtn->toolTip(), QStringLiteral("功能码10"));
    EXPECT_EQ(form.Label6->palette().color(QPalette::WindowText), QColor(128, 0, 0));
    EXPECT_TRUE(form.MemoMsg->isReadOnly());
    EXPECT_LT(form.MemoMsg->font().pixelSize(), form.DataMemo->font().pixelSize());
    EXPECT_EQ(form.findChild<TComm*>(QStringLiteral("Comm32")), form.Comm32);
    EXPECT_TRUE(form.Comm32->OnReceiveData);
    EXPECT_FALSE(form.Comm32->OnReceiveError);
    EXPECT_FALSE(form.Comm32->OnLineBreak);

    QStringList tabOrder;
    QWidget* w = form.NumberEdit;
    do {
        if (w->focusPolicy() & Qt::TabFocus)
            tabOrder << w->objectName();
        w = w->nextInFocusChain();
    } while (w != form.NumberEdit);
    EXPECT_EQ(tabOrder, QStringList({"NumberEdit", "AddressEdit", "DataMemo", "BitBtn4",
                                     "DanLuBitBtn", "WJCBitBtn", "BitBtn5"}));
}

} // namespace
