// TComm over the scripted port: what a pseudo-terminal cannot produce (line errors, modem
// events, failing platform calls, partial and empty writes) and what TComm does to its port.
#include "recorder.h"
#include "support/scriptedport.h"

using serial::IoStatus;
using serial::ScriptedLine;
using Op = serial::ScriptedLine::Op;

namespace {

struct Scripted {
    std::shared_ptr<ScriptedLine> line = std::make_shared<ScriptedLine>();
    Recorder r;
    Scripted() { r.comm.SetPortFactory(std::make_shared<serial::ScriptedPortFactory>(line)); }
    void Open() {
        const int before = r.sent;
        r.comm.OpenPort();
        ASSERT_TRUE(WaitUntil([&] { return r.sent == before + 1 && line->ReadPending(); }));
    }
};

// A freshly made component, untouched: its defaults, and what they put on the line.
TEST(CommScripted, FreshComponentOpensWithItsDefaults) {
    auto line = std::make_shared<ScriptedLine>();
    auto factory = std::make_shared<serial::ScriptedPortFactory>(line);
    TComm c;
    c.SetPortFactory(factory);
    EXPECT_EQ(c.CommName(), "COM2");
    EXPECT_EQ(c.LineBreakTime(), 10000u);
    c.setCommName("ttyUSB3");
    c.OpenPort();
    EXPECT_EQ(factory->LastPath(), "/dev/ttyUSB3");
    EXPECT_EQ(line->Purges().front(), 0x0Fu);
    // 9600 8N1, binary, DTR and RTS on, XON/XOFF both ways (0x11/0x13) and transmission on
    // XOFF, limits 500, error character 0.
    EXPECT_TRUE(line->LastDcb() == (serial::Dcb{9600, 0x1391, 500, 500}));
    EXPECT_EQ(line->LastTimeouts(), (serial::CommTimeouts{100, 0, 0, 0, 0}));
    // The flags that are off by default, and the other DTR and RTS modes.
    c.setDtrControl(TDtrControl::DtrHandshake);
    c.setRtsControl(TRtsControl::RtsHandshake);
    for (auto set :
         {&TComm::setParityCheck, &TComm::setOutx_CtsFlow, &TComm::setOutx_DsrFlow,
          &TComm::setDsrSensitivity, &TComm::setReplaceWhenParityError, &TComm::setIgnoreNullChar})
        (c.*set)(true);
    EXPECT_EQ(line->LastDcb().Flags, 0x2FFFu & ~0x0010u);
    // The line format and flow characters, each applied to the open port as it is set.
    c.setParity(TParity::Even);
    c.setXonChar('A');
    c.setXoffChar('B');
    c.setByteSize(TByteSize::_7);
    c.setReplacedChar('?');
    EXPECT_EQ(line->LastDcb().Parity, 2);
    EXPECT_EQ(line->LastDcb().XonChar, 'A');
    EXPECT_EQ(line->LastDcb().XoffChar, 'B');
    EXPECT_EQ(line->LastDcb().ByteSize, 7);
    EXPECT_EQ(line->LastDcb().ErrorChar, '?');
}

TEST(CommScripted, LineErrorsAndModemEventsAreReported) {
    Scripted s;
    s.Open();
    for (const uint32_t mask :
         {serial::EV_RLSD, serial::EV_RING, serial::EV_RING | serial::EV_RLSD | 0x4}) {
        const std::size_t before = s.r.modem.size();
        s.line->RaiseErrors(CE_FRAME | CE_OVERRUN);
        s.line->RaiseEvents(mask);
        ASSERT_TRUE(
            WaitUntil([&] { return s.r.modem.size() > before && s.r.errors.size() > before; }));
    }
    EXPECT_EQ(s.r.errors, std::vector<uint32_t>(3, CE_FRAME | CE_OVERRUN));
    EXPECT_EQ(s.r.modem, (std::vector<uint32_t>{8, 4, 12}));
}

// A failure injected into one platform call (or a trigger alone), and what the component
// reports: a hangup for an unexpected failure only, and which thread ends.
TEST(CommScripted, HangupOnlyForUnexpectedFailures) {
    using Trigger = void (*)(ScriptedLine&, Recorder&);
    const Trigger none = [](ScriptedLine&, Recorder&) {};
    const Trigger data = [](ScriptedLine& l, Recorder&) { l.Receive({1}); };
    const Trigger error = [](ScriptedLine& l, Recorder&) { l.RaiseErrors(CE_FRAME); };
    const Trigger send = [](ScriptedLine&, Recorder& r) { r.Send({1, 2}); };
    const IoStatus fail = IoStatus::Failed, gone = IoStatus::InvalidHandle, ok = IoStatus::Done;
    const struct {
        Op op;
        IoStatus status;
        int hangups;
        bool readerEnds, writerEnds;
        Trigger trigger;
    } cases[] = {
        {Op::SetCommMask, fail, 1, true, false, none},
        {Op::StartEventWait, fail, 1, true, false, none},
        {Op::StartRead, fail, 1, true, false, none},
        {Op::StartRead, gone, 0, true, false, none},
        {Op::WaitReader, fail, 1, true, false, none},
        {Op::ReadResult, fail, 1, true, false, data},
        {Op::EventResult, fail, 1, true, false, error},
        {Op::EventResult, gone, 0, true, false, error},
        {Op::ClearCommError, fail, 1, true, false, error},
        {Op::Open, ok, 1, true, false, [](ScriptedLine& l, Recorder&) { l.RaiseEvents(0); }},
        {Op::Open, ok, 0, true, false, [](ScriptedLine& l, Recorder&) { l.ReceiveEmpty(); }},
        {Op::Write, fail, 1, false, true, send},
        {Op::Write, gone, 0, false, true, send},
        {Op::WaitWriterIdle, fail, 1, false, true, none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(&c - cases));
        Scripted s;
        if (c.status != ok)
            s.line->FailNext(c.op, c.status);
        s.r.comm.OpenPort();
        ASSERT_TRUE(WaitUntil([&] { return s.r.sent >= 1 || s.r.hangups >= 1; }));
        c.trigger(*s.line, s.r);
        ASSERT_TRUE(WaitUntil([&] { return s.r.hangups >= c.hangups; }));
        ASSERT_TRUE(WaitUntil([&] { return !c.readerEnds || !s.line->ReadPending(); }));
        ASSERT_TRUE(WaitUntil([&] { return s.r.Send({5}) != c.writerEnds; }));
        const std::size_t pieces = s.r.pieces.size();
        s.line->Receive({9, 9});
        Pump(40);
        EXPECT_EQ(s.r.pieces.size() > pieces, !c.readerEnds);
        EXPECT_EQ(s.r.hangups, c.hangups);
        EXPECT_TRUE(s.r.comm.IsOpen()); // a thread that ended leaves the port open
    }
}

TEST(CommScripted, PartialAndEmptyWritesAreRetriedWithTheRestAndKeepTheirTurn) {
    Scripted s;
    s.Open();
    for (const uint32_t accepted : {2u, 0u, 0u}) // 0: a time-out with nothing sent
        s.line->ScriptWrite(accepted);
    ASSERT_TRUE(s.r.Send({1, 2, 3, 4, 5}));
    ASSERT_TRUE(WaitUntil([&] { return s.line->Written().size() == 5; }));
    EXPECT_EQ(s.line->Written(), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(s.line->WriteCalls().size(), 4u);

    for (int i = 0; i < 200000; ++i) // far more empty completions than the writer gets through
        s.line->ScriptWrite(0);
    ASSERT_TRUE(s.r.Send({1, 2, 3}));
    ASSERT_TRUE(WaitUntil([&] { return s.line->WriteCalls().size() > 4; }));
    s.line->AllowWriteNow(); // a block sent meanwhile waits behind the one the writer holds
    ASSERT_TRUE(s.r.Send({7}));
    QElapsedTimer t;
    t.start();
    s.r.comm.ClosePort(); // the stop wins between retries
    EXPECT_LT(t.elapsed(), 2000);
    EXPECT_EQ(s.line->Written().size(), 5u);
    EXPECT_EQ(s.r.hangups, 0);
}

TEST(CommScripted, EachSendPulsesRtsAndArmsTheReplyWatchdog) {
    Scripted s;
    s.r.comm.setLineBreakTime(300);
    s.Open();
    std::vector<std::string> reported; // what handlers throw goes to the application's report
    SetApplicationExceptionHandler([&](const std::exception& e) { reported.push_back(e.what()); });
    s.r.comm.OnLineBreak = [&](QObject*) { ++s.r.lineBreaks, throw Exception("handler"); };
    EXPECT_FALSE(s.r.comm.SendData("", 0)); // empty: an RTS pulse all the same, no watchdog
    EXPECT_EQ(s.line->Escapes(), (std::vector<uint32_t>{serial::SETRTS}));
    ASSERT_TRUE(WaitUntil([&] { return s.line->Escapes().size() == 2; }));
    EXPECT_EQ(s.line->Escapes()[1], serial::CLRRTS);
    ASSERT_TRUE(s.r.Send({1}));
    Pump(150);
    ASSERT_TRUE(s.r.Send({1})); // restarts with the full interval
    Pump(230);
    EXPECT_EQ(s.r.lineBreaks, 0);
    ASSERT_TRUE(WaitUntil([&] { return s.r.lineBreaks == 1; }));
    // A received piece stops both timers: RTS stays raised until a later pulse ends.
    ASSERT_TRUE(s.r.Send({1}));
    s.line->Receive({3});
    Pump(400);
    EXPECT_EQ(s.r.lineBreaks, 1);
    EXPECT_EQ(s.line->Escapes().back(), serial::SETRTS);
    ASSERT_TRUE(s.r.Send({1}));
    s.r.comm.ClosePort(); // a send just before closing still reports its missing reply
    ASSERT_TRUE(WaitUntil([&] { return s.r.lineBreaks == 2; }));
    EXPECT_EQ(reported, std::vector<std::string>(2, "handler"));
    SetApplicationExceptionHandler(nullptr);
}

} // namespace
