// The polling exchange, run through both reading windows: it exists once, but each window
// wires its own buttons, timer and decoding to it.
#include "poll_test_support.h"
#include "testwindows/JC.h"
#include "testwindows/KG.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>

#include <functional>

using namespace polltest;
using testsupport::WaitUntil;

namespace {

struct JCWindow {
    using Form = TJCForm;
    static constexpr const char* StartButton = "GKBitBtn";
    static QStringList StartButtons() {
        return {"GKBitBtn", "SjJCBitBtn", "SendBitbtn", "ClearBitBtn"};
    }
    static Bytes Request() { return {0x01, 0x03, 0x00, 0x00, 0x00, 0x05, 0x85, 0xC9}; }
    static uint8_t Function() { return 0x03; }
    // Working data 1..5.
    static Bytes Reply() { return WithCrc({1, 3, 10, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5}); }
    static QString DecodedEdit1() { return QStringLiteral("1"); }
    static QTimer* Timer(Form& f) { return f.Timer03; }
    static void Tick(Form& f) { f.Timer03Timer(); }
};

struct KGWindow {
    using Form = TKGForm;
    static constexpr const char* StartButton = "KGBitBtn";
    static QStringList StartButtons() { return {"KGBitBtn", "SendBitbtn", "ClearBitBtn"}; }
    static Bytes Request() { return {0x01, 0x02, 0x03, 0x00, 0x00, 0x0C, 0x78, 0x4B}; }
    static uint8_t Function() { return 0x02; }
    static Bytes Reply() { return {0x01, 0x02, 0x02, 0x85, 0x0A, 0x5B, 0x2F}; }
    static QString DecodedEdit1() { return QStringLiteral("是"); }
    static QTimer* Timer(Form& f) { return f.Timer02; }
    static void Tick(Form& f) { f.Timer02Timer(); }
};

template <class W> class PollExchange : public ::testing::Test {
protected:
    using Form = typename W::Form;
    OpenWindow<Form> w;
    Form& form = w.form;
    BoxCapture boxes;

    QTimer* Timer() { return W::Timer(form); }
    void Tick() { W::Tick(form); }
    qsizetype EnabledStarts() {
        qsizetype n = 0;
        for (const QString& name : W::StartButtons())
            n += Enabled(form, name.toLatin1().constData());
        return n;
    }
    bool AnyStartEnabled() { return EnabledStarts() > 0; }
    bool AllStartEnabled() { return EnabledStarts() == W::StartButtons().size(); }
    // Start, take the request at the far end, answer it with an accepted reply.
    void StartAndAccept() {
        Click(form, W::StartButton);
        ASSERT_EQ(w.Request(), W::Request());
        ASSERT_TRUE(w.Reply(W::Reply()));
        ASSERT_TRUE(form.ReplySeen);
    }
    static QString SentEntry() { return QStringLiteral("发送:\n") + Line(W::Request()); }
    static QString ReceivedEntry(const Bytes& b) { return QStringLiteral("接收:\n") + Line(b); }
};

using Windows = ::testing::Types<JCWindow, KGWindow>;
class WindowNames {
public:
    template <class T> static std::string GetName(int) {
        return std::is_same_v<T, JCWindow> ? "JC" : "KG";
    }
};
TYPED_TEST_SUITE(PollExchange, Windows, WindowNames);

TYPED_TEST(PollExchange, StartSendsTheRequestLogsItAndDisablesOnlyTheStartButtons) {
    Click(this->form, TypeParam::StartButton);
    EXPECT_EQ(this->w.Request(), TypeParam::Request());
    EXPECT_EQ(Log(this->form), this->SentEntry());
    EXPECT_EQ(Text(this->form, "cjLabel"), "1");
    EXPECT_FALSE(this->AnyStartEnabled());
    EXPECT_TRUE(Enabled(this->form, "StopBitBtn"));
    EXPECT_TRUE(Enabled(this->form, "BitBtn2"));
    EXPECT_FALSE(this->Timer()->isActive());
}

TYPED_TEST(PollExchange, AcceptedReplyIsLoggedAndTheSameRequestFollowsOnceAfterThePause) {
    this->StartAndAccept();
    QElapsedTimer sinceReply;
    sinceReply.start();
    EXPECT_EQ(Log(this->form), this->SentEntry() + "\n" + this->ReceivedEntry(TypeParam::Reply()));
    EXPECT_EQ(Text(this->form, "Edit1"), TypeParam::DecodedEdit1());
    // A second accepted reply during the pause restarts it; it does not add a request.
    ASSERT_TRUE(this->w.Reply(TypeParam::Reply()));
    EXPECT_EQ(this->Timer()->interval(), 1000);
    EXPECT_TRUE(this->Timer()->isActive());
    EXPECT_TRUE(this->w.Silent(500));
    EXPECT_EQ(this->w.Request(3000), TypeParam::Request());
    EXPECT_GE(sinceReply.elapsed(), 900);
    EXPECT_FALSE(this->Timer()->isActive());
    EXPECT_TRUE(this->w.Silent(150));
}

// Replies that fail a check: none is decoded and polling halts until Stop. Those that fail
// the CRC test (split ones fail it part by part, and deliveries too short to hold a CRC fail
// it without reading past their end) are not logged and stop the exchange; refused ones are
// logged first.
TYPED_TEST(PollExchange, FailedRepliesHaltUntilStop) {
    const Bytes reply = TypeParam::Reply();
    Bytes badCrc = reply;
    badCrc.back() ^= 0x01;
    const auto refused = [](uint8_t count) {
        Bytes bytes(count + 3u, 0x01); // byte count + 3 header bytes, then the CRC
        bytes[1] = TypeParam::Function();
        bytes[2] = count;
        return WithCrc(bytes);
    };
    const struct {
        const char* name;
        std::vector<Bytes> deliveries;
        bool logged;
    } cases[] = {
        {"CrcFailure", {badCrc}, false},
        {"SplitOverTwoDeliveries",
         {{reply.begin(), reply.begin() + 3}, {reply.begin() + 3, reply.end()}},
         false},
        {"OneByte", {{0xFF}}, false},
        {"TwoBytesWithTheCrcOfNoBytes", {{0xFF, 0xFF}}, false},
        {"ByteCount81", {refused(0x81)}, true},
        {"ByteCount82", {refused(0x82)}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        this->form.StopBitBtnClick();
        Find<QPlainTextEdit>(this->form, "MemoMsg")->clear();
        Click(this->form, TypeParam::StartButton);
        this->w.Request();
        this->form.ReceiveBuffer.fill(0xEE);
        for (const Bytes& delivery : c.deliveries)
            ASSERT_TRUE(this->w.Reply(delivery));
        EXPECT_EQ(this->form.ReceiveBuffer[c.deliveries.back().size()], 0xEE);
        EXPECT_EQ(Log(this->form),
                  this->SentEntry() +
                      (c.logged ? "\n" + this->ReceivedEntry(c.deliveries.back()) : QString()));
        EXPECT_EQ(this->form.Stopped, !c.logged);
        EXPECT_FALSE(this->form.ReplySeen);
        EXPECT_EQ(Text(this->form, "Edit1"), "");
        EXPECT_FALSE(this->Timer()->isActive());
        EXPECT_FALSE(this->AnyStartEnabled());
    }
    EXPECT_TRUE(this->boxes.texts.isEmpty());
    Click(this->form, "StopBitBtn");
    EXPECT_TRUE(this->AllStartEnabled());
}

TYPED_TEST(PollExchange, ExceptionReplyRepollsOnlyAfterAnAcceptedReply) {
    const Bytes exception = WithCrc({0x01, uint8_t(0x80 | TypeParam::Function()), 0x02});
    // First request of a start: logged, paused, but the tick sends nothing (Halted).
    Click(this->form, TypeParam::StartButton);
    this->w.Request();
    ASSERT_TRUE(this->w.Reply(exception));
    EXPECT_TRUE(Log(this->form).endsWith(this->ReceivedEntry(exception)));
    EXPECT_EQ(Text(this->form, "Edit1"), "");
    ASSERT_TRUE(this->Timer()->isActive());
    this->Tick();
    EXPECT_TRUE(this->w.Silent());
    EXPECT_FALSE(this->AnyStartEnabled());

    // A late reply that passes all checks leaves the Halted state and arms the pause.
    ASSERT_TRUE(this->w.Reply(TypeParam::Reply()));
    EXPECT_TRUE(this->form.ReplySeen);
    ASSERT_TRUE(this->Timer()->isActive());
    this->Tick();
    EXPECT_EQ(this->w.Request(), TypeParam::Request());
    // Now the same exception reply is followed by the same request again.
    ASSERT_TRUE(this->w.Reply(exception));
    ASSERT_TRUE(this->Timer()->isActive());
    this->Tick();
    EXPECT_EQ(this->w.Request(), TypeParam::Request());
}

TYPED_TEST(PollExchange, SendEmptiesALogOfMoreThanHundredLinesRepliesNever) {
    auto* memo = Find<QPlainTextEdit>(this->form, "MemoMsg");
    for (int i = 0; i < 101; ++i)
        memo->appendPlainText(QStringLiteral("x"));
    // A reply only adds.
    this->form.Comm32ReceiveData(this->form.Comm32, TypeParam::Reply().data(),
                                 uint16_t(TypeParam::Reply().size()));
    EXPECT_EQ(testwindows::LineCount(memo), 103);
    this->form.StopBitBtnClick();
    Click(this->form, TypeParam::StartButton);
    EXPECT_EQ(Log(this->form), this->SentEntry());
}

TYPED_TEST(PollExchange, EachSingleErrorFlagShowsItsTextOtherMasksNothing) {
    const std::pair<uint32_t, const char*> cases[] = {
        {0x0010, "The hardware detected a break condition. (no support now)"},
        {0x0800, "Windows 95 only: A parallel device is not selected."},
        {0x0400, "An I/O error occurred during communications with the device."},
        {0x8000, "The requested mode is not supported, or the hFile parameteris invalid. If "
                 "this value is specified, it is the only valid error."},
        {0x1000, "Windows 95 only: A parallel device signaled that it is out of paper."},
        {0x0002, "A character-buffer overrun has occurred. The next character is lost."},
        {0x0200, "Windows 95 only: A time-out occurred on a parallel device."},
        {0x0001, "An input buffer overflow has occurred. There is either no"},
        {0x0004, "The hardware detected a parity error. (no support) CE_TXFULL"},
        {0x0003, nullptr}, // two flags
        {0x0008, nullptr}, // framing error: not reported
        {0x0100, nullptr},
        {0x0000, nullptr},
    };
    this->StartAndAccept();
    for (const auto& [mask, text] : cases) {
        this->boxes.texts.clear();
        this->form.Comm32ReceiveError(this->form.Comm32, mask);
        if (text)
            EXPECT_EQ(this->boxes.texts, QStringList{QString::fromLatin1(text)}) << mask;
        else
            EXPECT_TRUE(this->boxes.texts.isEmpty()) << mask;
    }
    // Polling goes on.
    EXPECT_TRUE(this->Timer()->isActive());
    EXPECT_FALSE(this->form.Stopped);
}

TYPED_TEST(PollExchange, StopDuringThePauseStillSendsOneMoreRequestAndArmsNothing) {
    this->StartAndAccept();
    ASSERT_TRUE(this->Timer()->isActive());
    Click(this->form, "StopBitBtn");
    EXPECT_TRUE(this->AllStartEnabled());
    EXPECT_TRUE(this->Timer()->isActive());
    this->Tick();
    EXPECT_EQ(this->w.Request(), TypeParam::Request());
    Find<QLineEdit>(this->form, "Edit1")->clear();
    ASSERT_TRUE(this->w.Reply(TypeParam::Reply()));
    EXPECT_TRUE(Log(this->form).endsWith(this->ReceivedEntry(TypeParam::Reply())));
    EXPECT_EQ(Text(this->form, "Edit1"), TypeParam::DecodedEdit1());
    EXPECT_FALSE(this->Timer()->isActive());
}

// Counted since the last accepted reply or user start; a time-out after Stop counts but
// gives nothing up. Before any accepted reply a time-out halts the cycle until Stop.
TYPED_TEST(PollExchange, GivesUpAtTheSixthConsecutiveTimeoutSinceTheLastAcceptedReplyOrStart) {
    this->form.Comm32->setLineBreakTime(30);
    // One unanswered request, sent by `send`; waits for its time-out.
    const auto timeOut = [this](const std::function<void()>& send) {
        send(); // a start resets the count first
        const int32_t before = this->form.TimeoutCount;
        EXPECT_EQ(this->w.Request(), TypeParam::Request()); // also the manual defaults' frame
        return WaitUntil(
            [&] { return this->form.TimeoutCount != before || !this->boxes.texts.isEmpty(); });
    };
    const auto tick = [this] { this->Tick(); };
    for (const char* start : {TypeParam::StartButton, "SendBitbtn", TypeParam::StartButton,
                              "SendBitbtn", TypeParam::StartButton, "SendBitbtn"}) {
        this->form.StopBitBtnClick();
        ASSERT_TRUE(timeOut([&] { Click(this->form, start); }));
    }
    EXPECT_EQ(this->form.TimeoutCount, 2);
    EXPECT_TRUE(this->boxes.texts.isEmpty());
    ASSERT_TRUE(this->Timer()->isActive());
    this->Tick();
    EXPECT_TRUE(this->w.Silent(100));
    EXPECT_FALSE(this->AnyStartEnabled());

    for (const bool stopFirst : {false, true}) {
        SCOPED_TRACE(stopFirst ? "stopped" : "polling");
        this->boxes.texts.clear();
        this->form.StopBitBtnClick();
        this->form.Comm32->setLineBreakTime(5000);
        this->StartAndAccept();
        this->form.Comm32->setLineBreakTime(30);
        for (int i = 1; i <= 3; ++i)
            ASSERT_TRUE(timeOut(tick));
        EXPECT_EQ(this->form.TimeoutCount, 4);
        // A request does not reset the count, an accepted reply does.
        this->form.Comm32->setLineBreakTime(5000);
        this->Tick();
        this->w.Request();
        EXPECT_EQ(this->form.TimeoutCount, 4);
        ASSERT_TRUE(this->w.Reply(TypeParam::Reply()));
        EXPECT_EQ(this->form.TimeoutCount, 1);
        this->form.Comm32->setLineBreakTime(30);

        for (int i = 1; i <= 5; ++i)
            ASSERT_TRUE(timeOut(tick));
        EXPECT_TRUE(this->boxes.texts.isEmpty());
        EXPECT_TRUE(this->Timer()->isActive());
        if (stopFirst)
            Click(this->form, "StopBitBtn");
        ASSERT_TRUE(timeOut(tick));
        EXPECT_EQ(this->boxes.texts, stopFirst ? QStringList() : QStringList{"line break"});
        EXPECT_FALSE(this->Timer()->isActive());
        EXPECT_TRUE(this->form.Stopped);
        EXPECT_TRUE(this->AllStartEnabled());
        EXPECT_EQ(this->form.TimeoutCount, stopFirst ? 7 : 1);
    }
}

// As the main window opens it. The close box leaves through QDialog::done as the exit button
// does; the shell test closes each window by it.
TYPED_TEST(PollExchange, ModalRunOpensEmptiesPollsAndClosesThePort) {
    auto& form = this->form;
    form.FormClose();
    Find<QPlainTextEdit>(form, "MemoMsg")->setPlainText("old");
    Find<QLineEdit>(form, "Edit1")->setText("old");
    form.DisableButtons();
    form.TimeoutCount = 6; // five time-outs of the last showing
    QString edit1;
    QTimer::singleShot(0, &form, [&] {
        EXPECT_TRUE(form.isVisible() && form.Comm32->IsOpen());
        EXPECT_EQ(Log(form), "");
        EXPECT_EQ(Text(form, "Edit1"), "");
        EXPECT_TRUE(this->AllStartEnabled());
        EXPECT_EQ(form.TimeoutCount, 1);
        this->StartAndAccept();
        edit1 = Text(form, "Edit1");
        EXPECT_TRUE(this->Timer()->isActive());
        Click(form, "BitBtn2");
    });
    form.ShowWithPort(19200, QString::fromStdString(this->w.pty.SlavePath()));
    EXPECT_EQ(edit1, TypeParam::DecodedEdit1());
    EXPECT_EQ(form.result(), QDialog::Rejected);
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(form.Comm32->IsOpen());
    EXPECT_TRUE(form.Stopped);
    EXPECT_FALSE(this->Timer()->isActive());
    EXPECT_EQ(form.Comm32->BaudRate(), 19200u);
}

TYPED_TEST(PollExchange, OversizedDeliveryIsCheckedWholeButCopiedOnlyToTheBufferEnd) {
    // 2048 bytes whose CRC (over the first (2048 - 2) mod 256 bytes) is right.
    Bytes big(2048);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = uint8_t(i * 7);
    big[1] = TypeParam::Function();
    big[2] = 10;
    const uint16_t crc = modbus::CRC16(big.data(), uint8_t(2046 % 256));
    big[2046] = uint8_t(crc);
    big[2047] = uint8_t(crc >> 8);
    this->form.Comm32ReceiveData(this->form.Comm32, big.data(), uint16_t(big.size()));
    EXPECT_EQ(this->form.ReceiveText, modbus::FrameLine(big));
    EXPECT_TRUE(this->form.ReplySeen);
    EXPECT_TRUE(
        std::equal(this->form.ReceiveBuffer.begin(), this->form.ReceiveBuffer.end(), big.begin()));
    // And one that fails the test halts.
    big[2047] ^= 0xFF;
    this->form.Comm32ReceiveData(this->form.Comm32, big.data(), uint16_t(big.size()));
    EXPECT_TRUE(this->form.Stopped);
}

TYPED_TEST(PollExchange, RefusedSendShowsWriteerrorLogsNothingAndHalts) {
    this->form.Comm32->ClosePort();
    Click(this->form, TypeParam::StartButton);
    EXPECT_EQ(this->boxes.texts, QStringList{"writeerror"});
    EXPECT_EQ(Log(this->form), "");
    EXPECT_EQ(Text(this->form, "cjLabel"), "1");
    EXPECT_FALSE(this->AnyStartEnabled());
    EXPECT_FALSE(this->Timer()->isActive());
}

TYPED_TEST(PollExchange, ManualRequestNeedsAllThreeInputs) {
    for (const char* name : {"CurrentNumberEdit", "AddressEdit", "ByteCountEdit"}) {
        SCOPED_TRACE(name);
        const QString kept = Text(this->form, name);
        SetText(this->form, name, QStringLiteral(" \t\r\n"));
        this->boxes.texts.clear();
        Click(this->form, "SendBitbtn");
        EXPECT_EQ(this->boxes.texts, QStringList{QStringLiteral("填写数据不能为空")});
        EXPECT_TRUE(this->AllStartEnabled());
        EXPECT_TRUE(this->w.Silent(50));
        SetText(this->form, name, kept);
    }
    Click(this->form, "ClearBitBtn");
    for (const char* name : {"CurrentNumberEdit", "AddressEdit", "ByteCountEdit"})
        EXPECT_EQ(Text(this->form, name), "") << name;
}

TYPED_TEST(PollExchange, ManualRequestRereadsStartAndQuantityButNotTheSlaveWhilePolling) {
    SetText(this->form, "CurrentNumberEdit", "2");
    SetText(this->form, "AddressEdit", "10");
    SetText(this->form, "ByteCountEdit", "3");
    Click(this->form, "SendBitbtn");
    const Bytes first = this->w.Request();
    EXPECT_EQ(first, Frame(2, TypeParam::Function(), 0x10, 3));
    SetText(this->form, "CurrentNumberEdit", "7");
    SetText(this->form, "AddressEdit", "20");
    SetText(this->form, "ByteCountEdit", "4");
    const Bytes reply = WithCrc({0x02, TypeParam::Function(), 0x02, 0xFF, 0xFF});
    ASSERT_TRUE(this->w.Reply(reply));
    EXPECT_EQ(Text(this->form, "Edit1"), ""); // manual replies are only logged
    EXPECT_EQ(Text(this->form, "cjLabel"), "2");
    ASSERT_TRUE(this->Timer()->isActive());
    this->Tick();
    EXPECT_EQ(this->w.Request(), Frame(2, TypeParam::Function(), 0x20, 4));
}

} // namespace
