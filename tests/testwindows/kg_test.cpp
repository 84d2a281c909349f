// The switch-state window: its controls, its function 02 frames and the decoding of the
// twelve states, and a run through the modal ShowWithPort.
#include "poll_test_support.h"
#include "testwindows/KG.h"

#include <gtest/gtest.h>

#include <QFrame>
#include <QSpinBox>
#include <QTimer>

using namespace polltest;
using testsupport::WaitUntil;

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
    EXPECT_EQ(form.Timer02->interval(), 1000);
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

TEST(KGExchange, SlaveZeroFromTheSpinner) {
    OpenWindow<TKGForm> w;
    Find<QSpinBox>(w.form, "UpDownbegin")->setValue(0);
    Click(w.form, "KGBitBtn");
    const Bytes sent = w.Request();
    ASSERT_EQ(sent.size(), 8u);
    EXPECT_EQ(sent, Frame(0, 2, 0x300, 12));
    EXPECT_EQ(Text(w.form, "cjLabel"), "0");
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

struct ManualSlave {
    const char* text;
    uint8_t address;
    const char* cjLabel;
};
class KGManualSlaves : public ::testing::TestWithParam<ManualSlave> {};

TEST_P(KGManualSlaves, AddressByteIsTheLow8BitsLabelTheWholeNumber) {
    OpenWindow<TKGForm> w;
    SetText(w.form, "CurrentNumberEdit", QString::fromLatin1(GetParam().text));
    Click(w.form, "SendBitbtn");
    const Bytes sent = w.Request();
    ASSERT_EQ(sent.size(), 8u);
    EXPECT_EQ(sent[0], GetParam().address);
    EXPECT_EQ(Text(w.form, "cjLabel"), QString::fromLatin1(GetParam().cjLabel));
    EXPECT_TRUE(modbus::CrcTestPasses(sent));
}
INSTANTIATE_TEST_SUITE_P(Slaves, KGManualSlaves,
                         ::testing::Values(ManualSlave{"1F", 0x1F, "31"},
                                           ManualSlave{"1FF", 0xFF, "511"},
                                           ManualSlave{"-1", 0xFF, "-1"},
                                           ManualSlave{"1f", 0x1F, "31"}));

TEST(KGExchange, ManualStartAddress12345) {
    OpenWindow<TKGForm> w;
    SetText(w.form, "AddressEdit", "12345");
    Click(w.form, "SendBitbtn");
    const Bytes sent = w.Request();
    ASSERT_EQ(sent.size(), 8u);
    EXPECT_EQ(sent[2], 0x23);
    EXPECT_EQ(sent[3], 0x45);
    EXPECT_EQ(sent[5], 0x0C);
}

TEST(KGExchange, SplitReplyLogsNothingAndHalts) {
    OpenWindow<TKGForm> w;
    Click(w.form, "KGBitBtn");
    w.Request();
    ASSERT_TRUE(w.Reply({StatesReply.begin(), StatesReply.begin() + 4}));
    ASSERT_TRUE(w.Reply({StatesReply.begin() + 4, StatesReply.end()}));
    EXPECT_FALSE(Log(w.form).contains(QStringLiteral("接收:")));
    EXPECT_EQ(States(w.form), QStringList(12, QString()));
    EXPECT_FALSE(Enabled(w.form, "KGBitBtn"));
    EXPECT_FALSE(w.form.Timer02->isActive());
}

TEST(KGShowWithPort, ModalRunPollsAndClosesThePort) {
    testsupport::PtyPair pty;
    TKGForm form;
    form.Comm32->setReadIntervalTimeout(20);
    Bytes sent;
    QString edit1;
    QTimer::singleShot(0, &form, [&] {
        EXPECT_TRUE(form.isVisible());
        EXPECT_TRUE(Enabled(form, "KGBitBtn"));
        Click(form, "KGBitBtn");
        sent = pty.ReadExactly(8);
        pty.Write(StatesReply);
        WaitUntil([&] { return form.ReplySeen; });
        edit1 = Text(form, "Edit1");
        Click(form, "BitBtn2");
    });
    form.ShowWithPort(9600, QString::fromStdString(pty.SlavePath()));
    EXPECT_EQ(sent, FixedRequest);
    EXPECT_EQ(edit1, QStringLiteral("是"));
    EXPECT_FALSE(form.Comm32->IsOpen());
    EXPECT_TRUE(form.Stopped);
    EXPECT_FALSE(form.Timer02->isActive());
}

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
