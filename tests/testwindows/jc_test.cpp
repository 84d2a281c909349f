// The register window: its controls, its function 03 frames and its decoding, and what a
// port that cannot be opened leaves.
#include "poll_test_support.h"
#include "testwindows/JC.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QSpinBox>
#include <QTimer>

using namespace polltest;

namespace {

TEST(JCForm, ControlsCaptionsAndDefaults) {
    TJCForm form;
    EXPECT_EQ(form.windowTitle(), QStringLiteral("读多路寄存器"));
    const std::pair<const char*, const char*> texts[] = {
        {"Label4", "当前从机号:"},
        {"cjLabel", ""},
        {"Label8", "系统电压:"},
        {"Label9", "机组电压:"},
        {"Label11", "系统频率:"},
        {"Label12", "机组频率:"},
        {"Label13", "并机号:"},
        {"Label14", "越前时间:"},
        {"Label15", "合闸时间:"},
        {"Label16", "允许压差:"},
        {"Label17", "允许频差:"},
        {"Label18", "均压周期:"},
        {"Label19", "均压脉冲宽度:"},
        {"Label20", "均频周期:"},
        {"Label21", "均频脉冲宽度:"},
        {"Label3", "报文:"},
        {"Label1", "从机地址:"},
        {"Label7", "从机地址:"},
        {"Label2", "起始地址:"},
        {"Label5", "数据路数:"},
        {"Label6", "请填写十六进制数如2B"},
        {"Label10", "手动测试只生成报文"},
        {"Editbegin", "1"},
        {"CurrentNumberEdit", "1"},
        {"AddressEdit", "0000"},
        {"ByteCountEdit", "5"},
    };
    for (const auto& [name, text] : texts)
        EXPECT_EQ(Text(form, name), QString::fromUtf8(text)) << name;
    const std::pair<const char*, const char*> captions[] = {
        {"GKBitBtn", "工况数据"}, {"SjJCBitBtn", "寄存器数据"}, {"ClearBitBtn", "清除"},
        {"SendBitbtn", "发送"},   {"StopBitBtn", "停止"},       {"BitBtn2", "退出"}};
    for (const auto& [name, text] : captions)
        EXPECT_EQ(Find<QAbstractButton>(form, name)->text(), QString::fromUtf8(text)) << name;
    EXPECT_EQ(Find<QWidget>(form, "SendBitbtn")->toolTip(), QStringLiteral("功能码03"));
    EXPECT_EQ(Find<QGroupBox>(form, "GroupBox1")->title(), QStringLiteral(" 程序生成发送报文 "));
    EXPECT_EQ(Find<QGroupBox>(form, "GroupBox2")->title(), QStringLiteral(" 手动输入发送报文 "));
    EXPECT_EQ(Find<QGroupBox>(form, "GroupBox3")->title(), QStringLiteral(" 工况数据 "));
    EXPECT_EQ(Find<QGroupBox>(form, "GroupBox4")->title(), QStringLiteral(" 寄存器数据 "));

    auto* spinner = Find<QSpinBox>(form, "UpDownbegin");
    ASSERT_NE(spinner, nullptr);
    EXPECT_EQ(spinner->minimum(), 1);
    EXPECT_EQ(spinner->maximum(), 99);
    EXPECT_EQ(spinner->value(), 1);
    EXPECT_FALSE(spinner->wrapping());
    spinner->setValue(42);
    EXPECT_EQ(Text(form, "Editbegin"), "42");

    auto* memo = Find<QPlainTextEdit>(form, "MemoMsg");
    EXPECT_TRUE(memo->isReadOnly());
    EXPECT_LT(memo->font().pixelSize(), form.font().pixelSize());
    EXPECT_EQ(form.Timer03->objectName(), "Timer03");
    EXPECT_FALSE(form.Timer03->isActive());
    EXPECT_EQ(form.Comm32->LineBreakTime(), 20000u);
    EXPECT_EQ(form.Comm32->ReadIntervalTimeout(), 1000u);
    EXPECT_EQ(form.Comm32->StopBits(), TStopBits::_2);
    EXPECT_EQ(form.Comm32->DtrControl(), TDtrControl::DtrDisable);
    EXPECT_TRUE(form.Comm32->OnReceiveData && form.Comm32->OnReceiveError &&
                form.Comm32->OnLineBreak);
}

struct FrameCase {
    const char* name;
    const char* button; // start button, or SendBitbtn with the manual inputs below
    int spinner;
    const char* slave;
    const char* start;
    const char* quantity;
    Bytes frame;
    const char* cjLabel;
};

class JCFrames : public ::testing::TestWithParam<FrameCase> {};

TEST_P(JCFrames, RequestOnTheWireLogAndSlaveLabel) {
    const FrameCase& c = GetParam();
    OpenWindow<TJCForm> w;
    Find<QSpinBox>(w.form, "UpDownbegin")->setValue(c.spinner);
    SetText(w.form, "CurrentNumberEdit", QString::fromLatin1(c.slave));
    SetText(w.form, "AddressEdit", QString::fromLatin1(c.start));
    SetText(w.form, "ByteCountEdit", QString::fromLatin1(c.quantity));
    Click(w.form, c.button);
    EXPECT_EQ(w.Request(), c.frame);
    EXPECT_EQ(w.form.Frame03, c.frame);
    EXPECT_EQ(Log(w.form), QStringLiteral("发送:\n") + Line(c.frame));
    EXPECT_EQ(Text(w.form, "cjLabel"), QString::fromLatin1(c.cjLabel));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, JCFrames,
    ::testing::Values(
        FrameCase{"WorkingData", "GKBitBtn", 1, "", "", "", {1, 3, 0, 0, 0, 5, 0x85, 0xC9}, "1"},
        FrameCase{"RegisterData", "SjJCBitBtn", 1, "", "", "", {1, 3, 1, 0, 0, 8, 0x45, 0xF0}, "1"},
        FrameCase{"Slave99", "GKBitBtn", 99, "", "", "", Frame(0x63, 3, 0, 5), "99"},
        FrameCase{"ManualHexSlave", "SendBitbtn", 1, "10", "0000", "5", Frame(16, 3, 0, 5), "16"},
        FrameCase{"ManualTrimmedSlave", "SendBitbtn", 1, " 1F\t", "0100", "8",
                  Frame(0x1F, 3, 0x100, 8), "31"},
        FrameCase{"ManualNegativeSlave", "SendBitbtn", 1, "-1", "0", "1FFFF",
                  Frame(-1, 3, 0, 0xFFFF), "-1"},
        FrameCase{"ManualStartKeepsItsLow16Bits", "SendBitbtn", 1, "1", "12345", "1",
                  Frame(1, 3, 0x2345, 1), "1"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JCDecoding, SignAndMagnitudeIntoTheBoxesOfTheKind) {
    OpenWindow<TJCForm> w;
    Click(w.form, "GKBitBtn");
    w.Request();
    ASSERT_TRUE(
        w.Reply(WithCrc({1, 3, 10, 0x00, 0x05, 0x80, 0x05, 0x7F, 0xFF, 0x80, 0x00, 0xFF, 0xFF})));
    const QStringList working = {"5", "-5", "32767", "-0", "-32767"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(EditText(w.form, i + 1), working[i]);
        EXPECT_EQ(w.form.WorkingTexts[i], working[i]);
    }
    for (int i = 6; i <= 13; ++i)
        EXPECT_EQ(EditText(w.form, i), "") << i;

    w.form.StopBitBtnClick();
    Click(w.form, "SjJCBitBtn");
    EXPECT_EQ(Text(w.form, "Edit1"), ""); // a start empties every box
    w.Request();
    ASSERT_TRUE(w.Reply(WithCrc({1, 3, 16, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0x80, 8})));
    const QStringList registers = {"1", "2", "3", "4", "5", "6", "7", "-8"};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(EditText(w.form, i + 6), registers[i]);
        EXPECT_EQ(w.form.RegisterTexts[i], registers[i]);
    }
    EXPECT_EQ(Text(w.form, "Edit1"), "");
}

TEST(JCDecoding, ShortReplyAfterStopIsDecodedFromWhatTheBufferHolds) {
    OpenWindow<TJCForm> w;
    Click(w.form, "GKBitBtn");
    w.Request();
    ASSERT_TRUE(w.Reply(WithCrc({1, 3, 10, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5})));
    Click(w.form, "StopBitBtn");
    w.form.Timer03Timer(); // the pause that was running
    w.Request();
    const Bytes exception = WithCrc({1, 0x83, 2});
    ASSERT_TRUE(w.Reply(exception));
    // Register 1 takes the exception's CRC bytes; 2..5 are what the earlier reply left.
    EXPECT_EQ(EditText(w.form, 1),
              QString::fromStdString(modbus::RegisterText(exception[3], exception[4])));
    EXPECT_EQ(EditText(w.form, 2), "2");
    EXPECT_EQ(EditText(w.form, 5), "5");
    EXPECT_FALSE(w.form.Timer03->isActive());
}

TEST(JCShowWithPort, PortThatCannotBeOpenedLeavesWithTheErrorBeforeShowing) {
    TJCForm form;
    Find<QPlainTextEdit>(form, "MemoMsg")->setPlainText("old");
    Find<QLineEdit>(form, "Edit1")->setText("kept");
    form.DisableButtons();
    try {
        form.ShowWithPort(4800, QStringLiteral("/nonexistent/ttyPOLL"));
        ADD_FAILURE() << "no exception";
    } catch (const ECommsError& e) {
        EXPECT_STREQ(e.what(), "Error opening serial port");
    }
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(Log(form), "");
    EXPECT_TRUE(Enabled(form, "GKBitBtn"));
    // The boxes are emptied only once the port is open.
    EXPECT_EQ(Text(form, "Edit1"), "kept");
    EXPECT_EQ(form.Comm32->CommName(), "/nonexistent/ttyPOLL");
    EXPECT_EQ(form.Comm32->BaudRate(), 4800u);
}

} // namespace
