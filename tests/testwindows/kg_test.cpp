// The switch-state window: its controls, its function 02 frames, the decoding of the twelve
// states, and what a port that cannot be opened leaves.
#include "poll_test_support.h"
#include "testwindows/KG.h"

#include <gtest/gtest.h>

#include <QFrame>
#include <QSpinBox>

using namespace polltest;
namespace {

const Bytes FixedRequest = {0x01, 0x02, 0x03, 0x00, 0x00, 0x0C, 0x78, 0x4B};
const Bytes StatesReply = {0x01, 0x02, 0x02, 0x85, 0x0A, 0x5B, 0x2F};

QStringList States(QObject& form) {
    QStringList states;
    for (int i = 1; i <= 12; ++i)
        states << EditText(form, i);
    return states;
}

TEST(KGForm, ControlsCaptionsDefaultsAndTheTwoColumnsOfStates) {
    TKGForm form;
    EXPECT_EQ(form.windowTitle(), QStringLiteral("读开关量测试"));
    const std::pair<const char*, const char*> texts[] = {{"Label4", "当前从机号:"},
                                                         {"cjLabel", ""},
                                                         {"Label3", "报文:"},
                                                         {"Label1", "从机地址:"},
                                                         {"Label7", "从机地址:"},
                                                         {"Label2", "起始地址:"},
                                                         {"Label5", "单元数:"},
                                                         {"Label6", "请填写十六进制数如2B"},
                                                         {"Label16", "手动测试只生成报文"},
                                                         {"Editbegin", "1"},
                                                         {"CurrentNumberEdit", "1"},
                                                         {"AddressEdit", "300"},
                                                         {"ByteCountEdit", "C"}};
    for (const auto& [name, text] : texts)
        EXPECT_EQ(Text(form, name), QString::fromUtf8(text)) << name;
    const std::pair<const char*, const char*> captions[] = {{"KGBitBtn", "开关量报警"},
                                                            {"ClearBitBtn", "清除"},
                                                            {"SendBitbtn", "发送"},
                                                            {"StopBitBtn", "停止"},
                                                            {"BitBtn2", "退出"}};
    for (const auto& [name, text] : captions)
        EXPECT_EQ(Find<QAbstractButton>(form, name)->text(), QString::fromUtf8(text)) << name;
    EXPECT_EQ(Find<QWidget>(form, "SendBitbtn")->toolTip(), QStringLiteral("功能码02"));

    // Each state field sits in Panel1 with its label to its left: 7 left, 5 right.
    const char* labels[] = {
        "跃前动作:", "相位允许:", "频率允许:", "电压允许:", "压(频)差超差:", "信号断线:",
        "自检状态:", "键入状态:", "减速调控:", "增速调控:", "降压调控:",     "升压调控:"};
    auto* panel = Find<QFrame>(form, "Panel1");
    ASSERT_NE(panel, nullptr);
    const int leftColumn = Find<QWidget>(form, "Edit1")->x();
    for (int i = 1; i <= 12; ++i) {
        auto* edit = Find<QLineEdit>(form, QStringLiteral("Edit%1").arg(i).toLatin1().constData());
        ASSERT_NE(edit, nullptr) << i;
        EXPECT_EQ(edit->parentWidget(), panel) << i;
        EXPECT_EQ(edit->x() == leftColumn, i <= 7) << i;
        const QLabel* left = nullptr;
        for (auto* label : panel->findChildren<QLabel*>())
            if (label->y() + label->height() > edit->y() &&
                label->y() < edit->y() + edit->height() && label->x() < edit->x() &&
                (!left || label->x() > left->x()))
                left = label;
        ASSERT_NE(left, nullptr) << i;
        EXPECT_EQ(left->text(), QString::fromUtf8(labels[i - 1])) << i;
    }

    auto* spinner = Find<QSpinBox>(form, "UpDownbegin");
    EXPECT_EQ(spinner->minimum(), 0);
    EXPECT_EQ(spinner->maximum(), 99);
    EXPECT_EQ(spinner->value(), 1);
    EXPECT_TRUE(Find<QPlainTextEdit>(form, "MemoMsg")->isReadOnly());
    EXPECT_EQ(form.Timer02->objectName(), "Timer02");
    EXPECT_EQ(form.Comm32->LineBreakTime(), 20000u);
    EXPECT_EQ(form.Comm32->RtsControl(), TRtsControl::RtsTransmissionAvailable);
}

TEST(KGExchange, FixedRequestAndItsReplyDecodedIntoTheTwelveStates) {
    OpenWindow<TKGForm> w;
    Click(w.form, "KGBitBtn");
    EXPECT_EQ(w.Request(), FixedRequest);
    EXPECT_EQ(w.form.SendText, "1 2 3 0 0 12 120 75 ");
    ASSERT_TRUE(w.Reply(StatesReply));
    EXPECT_EQ(Log(w.form),
              QStringLiteral("发送:\n1 2 3 0 0 12 120 75 \n接收:\n1 2 2 133 10 91 47 "));
    const QString y = QStringLiteral("是"), n = QStringLiteral("否");
    const QStringList expected = {y, n, y, n, n, n, n, y, n, y, n, y};
    EXPECT_EQ(States(w.form), expected);
    EXPECT_EQ(QStringList(w.form.StateTexts.begin(), w.form.StateTexts.end()), expected);
    EXPECT_TRUE(w.form.Timer02->isActive());
}

TEST(KGExchange, SixByteReplyWithByteCountOneTakesByte4FromTheCrc) {
    OpenWindow<TKGForm> w;
    Click(w.form, "KGBitBtn");
    w.Request();
    const Bytes reply = WithCrc({0x01, 0x02, 0x01, 0xFF});
    ASSERT_TRUE(w.Reply(reply));
    ASSERT_TRUE(w.form.ReplySeen);
    const QStringList states = States(w.form);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(states[i], QStringLiteral("是")) << i;
    for (int i = 8; i < 12; ++i)
        EXPECT_EQ(states[i] == QStringLiteral("是"), bool(reply[4] >> (i - 8) & 1)) << i;
}

TEST(KGExchange, ManualDefaultsGiveTheFixedFrameButAreNeverDecoded) {
    OpenWindow<TKGForm> w;
    Click(w.form, "SendBitbtn");
    EXPECT_EQ(w.Request(), FixedRequest);
    ASSERT_TRUE(w.Reply(StatesReply));
    EXPECT_TRUE(Log(w.form).endsWith(QStringLiteral("接收:\n1 2 2 133 10 91 47 ")));
    EXPECT_EQ(Text(w.form, "cjLabel"), "1");
    EXPECT_EQ(States(w.form), QStringList(12, QString()));
    ASSERT_TRUE(w.form.Timer02->isActive());
    w.form.Timer02Timer();
    EXPECT_EQ(w.Request(), FixedRequest);
    EXPECT_EQ(w.form.RequestKind, TKGForm::ManualRequest);
}

// The address byte is the slave number's low 8 bits, the label shows the whole number.
struct FrameCase {
    const char* name;
    const char* button;
    int spinner;
    const char* slave;
    const char* start;
    Bytes frame;
    const char* cjLabel;
};
class KGFrames : public ::testing::TestWithParam<FrameCase> {};

TEST_P(KGFrames, RequestOnTheWireAndSlaveLabel) {
    const FrameCase& c = GetParam();
    OpenWindow<TKGForm> w;
    Find<QSpinBox>(w.form, "UpDownbegin")->setValue(c.spinner);
    SetText(w.form, "CurrentNumberEdit", QString::fromLatin1(c.slave));
    SetText(w.form, "AddressEdit", QString::fromLatin1(c.start));
    Click(w.form, c.button);
    EXPECT_EQ(w.Request(), c.frame);
    EXPECT_EQ(Text(w.form, "cjLabel"), QString::fromLatin1(c.cjLabel));
}
INSTANTIATE_TEST_SUITE_P(
    Requests, KGFrames,
    ::testing::Values(
        FrameCase{"SpinnerSlave0", "KGBitBtn", 0, "1", "300", Frame(0, 2, 0x300, 12), "0"},
        FrameCase{"Manual1F", "SendBitbtn", 1, "1F", "300", Frame(0x1F, 2, 0x300, 12), "31"},
        FrameCase{"ManualLowerCase", "SendBitbtn", 1, "1f", "300", Frame(0x1F, 2, 0x300, 12), "31"},
        FrameCase{"Manual1FF", "SendBitbtn", 1, "1FF", "300", Frame(0xFF, 2, 0x300, 12), "511"},
        FrameCase{"ManualMinusOne", "SendBitbtn", 1, "-1", "300", Frame(0xFF, 2, 0x300, 12), "-1"},
        FrameCase{"ManualStartKeepsItsLow16Bits", "SendBitbtn", 1, "1", "12345",
                  Frame(1, 2, 0x2345, 12), "1"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KGShowWithPort, PortThatCannotBeOpenedLeavesAfterEmptyingLogAndStates) {
    TKGForm form;
    Find<QPlainTextEdit>(form, "MemoMsg")->setPlainText("old");
    Find<QLineEdit>(form, "Edit1")->setText("old");
    form.DisableButtons();
    EXPECT_THROW(form.ShowWithPort(9600, QStringLiteral("/nonexistent/ttyPOLL")), ECommsError);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(Log(form), "");
    EXPECT_EQ(Text(form, "Edit1"), "");
    EXPECT_TRUE(Enabled(form, "KGBitBtn"));
}

} // namespace
