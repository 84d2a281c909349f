// The write test window against a real pseudo-terminal: the test holds the far end of the
// line, reads the requests the window sends and writes the replies a device would give.
// At the end, the details every window's error report gives for a port error.
#include "testwindows/writedemo.h"

#include "modbus/codec.h"
#include "serial/co.h"
#include "support/frames.h"
#include "support/pty.h"
#include "support/wait.h"
#include "ui/dialogs.h"
#include "testwindows/formutil.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using testsupport::WaitUntil;
using testsupport::WithCrc;

Bytes Hex(const std::string& text) {
    Bytes out;
    std::istringstream in(text);
    unsigned value = 0;
    while (in >> std::hex >> value)
        out.push_back(static_cast<uint8_t>(value));
    return out;
}

// `count` data lines holding the hexadecimal numbers 0, 1, 2, ...
QString Lines(int count) {
    QString text;
    for (int k = 0; k < count; ++k)
        text += QString::number(k, 16) + "\n";
    return text;
}

QString LogOf(const char* head, const Bytes& frame) {
    return QString::fromUtf8(head) + "\n" + QString::fromStdString(modbus::FrameLine(frame));
}

const Bytes Default06 = Hex("01 06 01 00 01 F4 88 21");
const Bytes Default10 = Hex("01 10 01 00 00 01 02 01 F4 B6 87");

class WriteForm : public ::testing::Test {
protected:
    void SetUp() override {
        ui::SetBoxSink([this](const ui::BoxRecord& box) {
            (box.kind == ui::BoxKind::Beep ? beeps : messages).push_back(box.text);
        });
        form.Comm32->setCommName(QString::fromStdString(pty.SlavePath()));
        form.Comm32->setReadIntervalTimeout(20); // keeps deliveries quick; 1000 ms in use
        form.Comm32->OpenPort();
    }
    void TearDown() override { ui::SetBoxSink({}); }
    // `inputs` is number, address and data, "|"-separated; none keeps the window's own
    // ("1", "100", "1F4").
    void Write(bool f10, const QString& inputs = {}) {
        if (!inputs.isEmpty()) {
            const QStringList parts = inputs.split('|');
            form.NumberEdit->setText(parts[0]);
            form.AddressEdit->setText(parts[1]);
            form.DataMemo->setPlainText(parts[2]);
        }
        (f10 ? form.WJCBitBtn : form.DanLuBitBtn)->click();
    }
    // Types like a keyboard would: the key press goes through the window's key filter.
    void Type(QWidget* target, int key, const QString& text) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
        QCoreApplication::sendEvent(target, &press);
    }
    QString Log() const { return form.MemoMsg->toPlainText(); }

    testsupport::PtyPair pty; // declared first: the window closes its port before the line goes
    TWriteForm form;
    std::vector<QString> messages;
    std::vector<QString> beeps;
};

TEST_F(WriteForm, SendsTheFrameAndLogsItInDecimal) {
    const std::tuple<bool, const char*, Bytes> cases[] = {
        {false, "", Default06},
        {true, "", Default10},
        {true, "1|100|1F4\n4B0", Hex("01 10 01 00 00 02 04 01 F4 04 B0 BD 45")},
        {false, "1|100|1F4\n", Default06}, // a line break after the one line
        {true, "1|100|1F4\n", Default10},
        {true, "1|100|1F4\n\n4B0", WithCrc(Hex("01 10 01 00 00 03 06 01 F4 00 00 04 B0"))},
        {true, "1|100|1F4\n\n", WithCrc(Hex("01 10 01 00 00 02 04 01 F4 00 00"))},
        {false, "1FF|10000|12345", WithCrc(Hex("FF 06 00 00 23 45"))}, // too large: cut
        {true, "1FF|10000|12345\n10000", WithCrc(Hex("FF 10 00 00 00 02 04 23 45 00 00"))},
        {true, "a|10a|1f4\n4b0", WithCrc(Hex("0A 10 01 0A 00 02 04 01 F4 04 B0"))},
        {false, "1|100|-1", WithCrc(Hex("01 06 01 00 FF FF"))},
    };
    for (const auto& [f10, inputs, expected] : cases) {
        SCOPED_TRACE(inputs);
        form.MemoMsg->clear();
        Write(f10, QString::fromUtf8(inputs));
        EXPECT_EQ(pty.ReadExactly(expected.size()), expected);
        EXPECT_EQ(Log(), LogOf("发送:", expected));
    }
    EXPECT_EQ(LogOf("发送:", Default06), QStringLiteral("发送:\n1 6 1 0 1 244 136 33 "));
    EXPECT_TRUE(messages.empty());
}

TEST_F(WriteForm, HundredTwentyFourLinesMakeOneFrameWithAFullCrc) {
    Write(true, "1|100|" + Lines(124));
    Bytes body = Hex("01 10 01 00 00 7C F8");
    for (int k = 0; k < 124; ++k)
        body.insert(body.end(), {0, static_cast<uint8_t>(k)});
    const Bytes expected = WithCrc(body); // CRC over 255 bytes
    EXPECT_EQ(pty.ReadExactly(257), expected);
    EXPECT_EQ(Log(), LogOf("发送:", expected));
}

TEST_F(WriteForm, RefusalsShowTheirMessageAndSendNothing) {
    const QString empty = QStringLiteral("填写数据不能为空");
    const QString oneLine = QStringLiteral("功能码06,数据只能填写一行!");
    const std::tuple<bool, QString, QString> cases[] = {
        {false, "1|100|1F4\n4B0", oneLine},
        {false, "1|100|\n1F4", oneLine},
        {false, "1|100|", empty},
        {true, "1|100|", empty},
        {true, "1||1F4", empty},
        {false, "|100|1F4", empty},
        {false, "1|100|" + Lines(125), oneLine},
        {true, "1|100|" + Lines(125), QStringLiteral("功能码10,数据最多只能填写124行!")},
    };
    for (const auto& [f10, inputs, message] : cases) {
        messages.clear();
        Write(f10, inputs);
        EXPECT_EQ(messages, std::vector<QString>{message}) << inputs.toStdString();
    }
    EXPECT_TRUE(pty.ReadFor(60).empty());
    EXPECT_TRUE(Log().isEmpty());
}

TEST_F(WriteForm, ClearEmptiesTheInputsButNotTheLogAClosedPortGivesWriteerror) {
    form.Comm32->ClosePort(); // a closed port takes no frame
    Write(false);
    Write(true);
    EXPECT_EQ(messages, (std::vector<QString>{"writeerror", "writeerror"}));
    EXPECT_TRUE(Log().isEmpty());
    form.MemoMsg->setPlainText(QStringLiteral("kept"));
    form.BitBtn4->click();
    EXPECT_EQ(form.DataMemo->toPlainText() + form.AddressEdit->text() + form.NumberEdit->text(),
              "");
    EXPECT_EQ(form.Label6->text(), QStringLiteral("数据个数= 0"));
    EXPECT_EQ(Log(), QStringLiteral("kept"));
}

TEST_F(WriteForm, KeyFilterKeepsHexDigitsAsTypedAndBeepsAtEverythingElse) {
    form.show();
    for (QWidget* input :
         std::initializer_list<QWidget*>{form.NumberEdit, form.AddressEdit, form.DataMemo}) {
        SCOPED_TRACE(input->objectName().toStdString());
        const auto text = [input] {
            return input->property(qobject_cast<QLineEdit*>(input) ? "text" : "plainText")
                .toString();
        };
        QMetaObject::invokeMethod(input, "clear");
        input->setFocus();
        beeps.clear();
        for (QChar c : QStringLiteral("09afAFG g-+.zＺ\x1b"))
            Type(input, c.toUpper().unicode(), QString(c));
        Type(input, Qt::Key_Backspace, QStringLiteral("\b")); // kept
        Type(input, Qt::Key_Left, QString());                 // keys that type nothing pass
        Type(input, Qt::Key_Delete, QStringLiteral("\x7f"));
        Type(input, Qt::Key_unknown, QStringLiteral("\x7f")); // DEL from another key: no beep
        EXPECT_EQ(text(), QStringLiteral("09af"));
        EXPECT_EQ(beeps.size(), 9u);
    }
    // Carriage return is kept: a new line in the data area.
    form.DataMemo->moveCursor(QTextCursor::End);
    Type(form.DataMemo, Qt::Key_Return, QStringLiteral("\r"));
    EXPECT_EQ(form.DataMemo->toPlainText(), QStringLiteral("09af\n"));
}

TEST_F(WriteForm, DataCountFollowsEveryChangeAndIgnoresALastEmptyLine) {
    EXPECT_EQ(form.Label6->text(), QStringLiteral("0个")); // the definition's line is no change
    const std::pair<const char*, const char*> cases[] = {
        {"1F4\n", "1"}, {"1F4\n\n", "2"}, {"\n1F4", "2"}, {"1\n2\n3", "3"}, {"", "0"}};
    for (const auto& [data, count] : cases) {
        form.DataMemo->setPlainText(QString::fromUtf8(data));
        EXPECT_EQ(form.Label6->text(), QStringLiteral("数据个数= ") + count) << data;
    }
}

TEST_F(WriteForm, SendsEmptyALogOfMoreThanHundredLinesRepliesNever) {
    const auto fill = [this](int lines) { form.MemoMsg->setPlainText(Lines(lines).trimmed()); };
    fill(100);
    Write(false);
    ASSERT_EQ(pty.ReadExactly(8), Default06);
    EXPECT_EQ(testwindows::LineCount(form.MemoMsg), 102); // exactly 100 is kept
    fill(101);
    pty.Write(Default06); // the device echoes
    ASSERT_TRUE(WaitUntil([&] { return testwindows::LineCount(form.MemoMsg) == 103; }));
    Write(true);
    ASSERT_EQ(pty.ReadExactly(11), Default10);
    EXPECT_EQ(Log(), LogOf("发送:", Default10));
}

// Each delivery is copied (at most 1024 bytes) and logged only when it passes its own CRC.
TEST_F(WriteForm, EachDeliveryIsCopiedAndLoggedOnlyWithItsOwnCrc) {
    Bytes long2048(2046); // its CRC test covers (2048 - 2) modulo 256 bytes
    for (std::size_t i = 0; i < long2048.size(); ++i)
        long2048[i] = static_cast<uint8_t>(i * 7 + 3);
    const uint16_t crc = modbus::CRC16(long2048.data(), 254);
    long2048.insert(long2048.end(), {uint8_t(crc), uint8_t(crc >> 8)});
    const std::pair<Bytes, bool> cases[] = {
        {Default06, true},
        {Hex("01 06 01 00 01 F4 88 22"), false},
        {WithCrc(Hex("01 86 02")), true},
        {Hex("01 06 01 00 01 F4"), false}, // a reply split in two
        {Hex("88 21"), false},
        {long2048, true},
    };
    testwindows::TReceiveBuffer expected{};
    for (const auto& [delivery, logged] : cases) {
        form.MemoMsg->clear();
        pty.Write(delivery);
        std::copy_n(delivery.begin(), std::min(delivery.size(), expected.size()), expected.begin());
        // The copy comes first in the handler, so once it shows the delivery is handled.
        ASSERT_TRUE(WaitUntil([&] { return form.ReceiveBuffer == expected; }));
        EXPECT_EQ(Log(), logged ? LogOf("接收:", delivery) : QString()) << delivery.size();
    }
    EXPECT_TRUE(messages.empty());
}

// The details of a port error's report: the device, the system's reason and what the user
// can do about it. The report itself (main text, full stop) on real failed opens is the
// shell test's.
TEST(ErrorReport, DetailsNameDeviceReasonAndRemedy) {
    const std::pair<int, const char*> cases[] = {
        {EACCES, "sudo adduser $USER dialout"},  {EPERM, "dialout"},
        {EBUSY, "held by another program"},      {ENOENT, "COMn stands for /dev/ttyS<n-1>"},
        {ENODEV, "Check the port name"},         {ENXIO, "Check the port name"},
        {ENOTTY, "This is not a serial device"}, {EIO, ""}};
    for (const auto& [code, remedy] : cases) {
        const QString details =
            ui::CommsErrorDetails(ECommsError("Error opening serial port", "/dev/ttyUSB3", code));
        const QString reason = QString::fromLocal8Bit(std::strerror(code));
        EXPECT_TRUE(details.startsWith("Device: /dev/ttyUSB3\nReason: " + reason))
            << details.toStdString();
        EXPECT_TRUE(details.contains(QString::fromUtf8(remedy))) << code;
    }
    // A network port: the server and port, the reason (the resolver's for a name not found)
    // and what to check; a malformed name, the form it takes.
    const std::tuple<const char*, int, const char*> network[] = {
        {"tcp://[::1]:4001", ECONNREFUSED, "Server: ::1, port 4001\nReason: Connection refused\n"},
        {"tcp://h:1", ETIMEDOUT, "Reason: Connection timed out\nThe server does not answer"},
        {"tcp://h:1", EAI_NONAME, "Reason: Name or service not known\nThe host name is not known"},
        {"tcp://h:1", ECONNRESET, "\nThe server ended the connection"},
        {"tcp://h", EINVAL, "Port name: tcp://h\nA serial device server is named tcp://HOST:PORT"}};
    for (const auto& [name, code, text] : network)
        EXPECT_TRUE(ui::CommsErrorDetails(ECommsError("Serial port lost", name, code))
                        .contains(QString::fromUtf8(text)))
            << code;
    // Nothing it does not know: no device tried, or no reason.
    EXPECT_EQ(ui::CommsErrorDetails(ECommsError("This serial port already opened")), "");
    EXPECT_EQ(ui::CommsErrorDetails(ECommsError("Cannot setup comm buffer", "/dev/ttyS0", 0)),
              "Device: /dev/ttyS0");
}

} // namespace
