// The polling exchange both reading windows share, run once through the register window;
// windows_test.cpp covers what each window adds (frames, decoding, buttons).
#include "poll_test_support.h"
#include "testwindows/JC.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <functional>

using namespace polltest;
using testsupport::WaitUntil;

namespace {

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

TEST_F(Exchange, StartLogsDisablesTheStartButtonsAndRepollsOnceAfterThePause) {
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
    EXPECT_FALSE(form.Timer03->isActive());
    EXPECT_TRUE(w.Silent(150));
}

// None is decoded and polling halts until Stop. Those failing the CRC test (split ones part
// by part, too short ones without reading past their end) are not logged and stop; refused
// ones are logged first.
TEST_F(Exchange, FailedRepliesHaltUntilStop) {
    Bytes badCrc = Reply;
    badCrc.back() ^= 0x01;
    const auto refused = [](uint8_t count) {
        Bytes bytes(count + 3u, 0x01);
        bytes[1] = 0x03;
        bytes[2] = count;
        return WithCrc(bytes);
    };
    const struct {
        const char* name;
        std::vector<Bytes> deliveries;
        bool logged;
    } cases[] = {
        {"CrcFailure", {badCrc}, false},
        {"Split", {{Reply.begin(), Reply.begin() + 3}, {Reply.begin() + 3, Reply.end()}}, false},
        {"OneByte", {{0xFF}}, false},
        {"TwoBytesWithTheCrcOfNoBytes", {{0xFF, 0xFF}}, false},
        {"ByteCount81", {refused(0x81)}, true},
        {"ByteCount82", {refused(0x82)}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        form.StopBitBtnClick();
        Find<QPlainTextEdit>(form, "MemoMsg")->clear();
        Click(form, "GKBitBtn");
        w.Request();
        form.ReceiveBuffer.fill(0xEE);
        for (const Bytes& delivery : c.deliveries)
            ASSERT_TRUE(w.Reply(delivery));
        EXPECT_EQ(form.ReceiveBuffer[c.deliveries.back().size()], 0xEE);
        EXPECT_EQ(Log(form),
                  Sent() + (c.logged ? "\n" + Received(c.deliveries.back()) : QString()));
        EXPECT_EQ(form.Stopped, !c.logged);
        EXPECT_FALSE(form.ReplySeen);
        EXPECT_EQ(Text(form, "Edit1"), "");
        EXPECT_FALSE(form.Timer03->isActive());
        EXPECT_FALSE(AnyStartEnabled());
    }
    EXPECT_TRUE(boxes.texts.isEmpty());
    Click(form, "StopBitBtn");
    EXPECT_TRUE(AllStartEnabled());
}

TEST_F(Exchange, SendEmptiesALogOfMoreThanHundredLinesRepliesNever) {
    auto* memo = Find<QPlainTextEdit>(form, "MemoMsg");
    for (int i = 0; i < 100; ++i)
        memo->appendPlainText(QStringLiteral("x"));
    Click(form, "GKBitBtn"); // exactly 100 lines are kept
    EXPECT_EQ(testwindows::LineCount(memo), 102);
    ASSERT_TRUE(w.Reply(Reply));
    EXPECT_EQ(testwindows::LineCount(memo), 104);
    form.StopBitBtnClick();
    Click(form, "GKBitBtn");
    EXPECT_EQ(Log(form), Sent());
}

// One English box per single recognised flag; polling goes on.
TEST_F(Exchange, ASingleErrorFlagShowsItsTextOtherMasksNothing) {
    const std::pair<uint32_t, const char*> cases[] = {
        {0x0002, "A character-buffer overrun has occurred. The next character is lost."},
        {0x0004, "The hardware detected a parity error. (no support) CE_TXFULL"},
        {0x0006, nullptr}, // two flags
        {0x0008, nullptr}, // framing error
    };
    StartAndAccept();
    for (const auto& [mask, text] : cases) {
        boxes.texts.clear();
        form.Comm32ReceiveError(form.Comm32, mask);
        EXPECT_EQ(boxes.texts, text ? QStringList{text} : QStringList()) << mask;
    }
    EXPECT_TRUE(form.Timer03->isActive());
}

TEST_F(Exchange, StopDuringThePauseStillSendsOneMoreRequestAndArmsNothing) {
    StartAndAccept();
    Click(form, "StopBitBtn");
    EXPECT_TRUE(AllStartEnabled());
    ASSERT_TRUE(form.Timer03->isActive());
    form.Timer03Timer();
    EXPECT_EQ(w.Request(), Request);
    Find<QLineEdit>(form, "Edit1")->clear();
    ASSERT_TRUE(w.Reply(Reply));
    EXPECT_EQ(Text(form, "Edit1"), "1");
    EXPECT_FALSE(form.Timer03->isActive());
}

// Counted since the last accepted reply or user start; a time-out after Stop counts but
// gives nothing up. Before any accepted reply a time-out halts the cycle until Stop.
TEST_F(Exchange, GivesUpAtTheSixthConsecutiveTimeoutSinceTheLastAcceptedReplyOrStart) {
    form.Comm32->setLineBreakTime(30);
    // One unanswered request, sent by `send`; waits for its time-out.
    const auto timeOut = [this](const std::function<void()>& send) {
        send(); // a start resets the count first
        const int32_t before = form.TimeoutCount;
        EXPECT_EQ(w.Request(), Request); // also the manual defaults' frame
        return WaitUntil([&] { return form.TimeoutCount != before || !boxes.texts.isEmpty(); });
    };
    const auto tick = [this] { form.Timer03Timer(); };
    for (const char* start : {"GKBitBtn", "SendBitbtn", "GKBitBtn", "SendBitbtn", "GKBitBtn"}) {
        form.StopBitBtnClick();
        ASSERT_TRUE(timeOut([&] { Click(form, start); }));
    }
    EXPECT_EQ(form.TimeoutCount, 2);
    EXPECT_TRUE(boxes.texts.isEmpty());
    ASSERT_TRUE(form.Timer03->isActive());
    form.Timer03Timer();
    EXPECT_TRUE(w.Silent(100));
    EXPECT_FALSE(AnyStartEnabled());

    for (const bool stopFirst : {false, true}) {
        SCOPED_TRACE(stopFirst ? "stopped" : "polling");
        boxes.texts.clear();
        form.StopBitBtnClick();
        form.Comm32->setLineBreakTime(5000);
        StartAndAccept();
        form.Comm32->setLineBreakTime(30);
        for (int i = 1; i <= 3; ++i)
            ASSERT_TRUE(timeOut(tick));
        // A request does not reset the count, an accepted reply does.
        form.Comm32->setLineBreakTime(5000);
        form.Timer03Timer();
        w.Request();
        EXPECT_EQ(form.TimeoutCount, 4);
        ASSERT_TRUE(w.Reply(Reply));
        EXPECT_EQ(form.TimeoutCount, 1);
        form.Comm32->setLineBreakTime(30);
        for (int i = 1; i <= 5; ++i)
            ASSERT_TRUE(timeOut(tick));
        EXPECT_TRUE(boxes.texts.isEmpty());
        EXPECT_TRUE(form.Timer03->isActive());
        if (stopFirst)
            Click(form, "StopBitBtn");
        ASSERT_TRUE(timeOut(tick));
        EXPECT_EQ(boxes.texts, stopFirst ? QStringList() : QStringList{"line break"});
        EXPECT_FALSE(form.Timer03->isActive());
        EXPECT_TRUE(form.Stopped);
        EXPECT_TRUE(AllStartEnabled());
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
    const char* inputs[] = {"CurrentNumberEdit", "AddressEdit", "ByteCountEdit"};
    for (const char* name : inputs) {
        SCOPED_TRACE(name);
        const QString kept = Text(form, name);
        SetText(form, name, QStringLiteral(" \t\r\n"));
        boxes.texts.clear();
        Click(form, "SendBitbtn");
        EXPECT_EQ(boxes.texts, QStringList{QStringLiteral("填写数据不能为空")});
        EXPECT_TRUE(AllStartEnabled());
        EXPECT_TRUE(w.Silent(50));
        SetText(form, name, kept);
    }
    Click(form, "ClearBitBtn");
    for (const char* name : inputs)
        EXPECT_EQ(Text(form, name), "") << name;
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

} // namespace
