// TComm over the scripted port: what a pseudo-terminal cannot produce (line errors, modem
// events, failing platform calls, partial and empty writes) and what the component does to
// its port (purges, RTS, how often settings are applied).
#include "recorder.h"
#include "serial/co.h"
#include "serial/commthreads.h"
#include "serial/port.h"
#include "serial/scriptedport.h"

#include "support/openerror.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <ostream>

#include <QElapsedTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using serial::IoStatus;
using serial::ScriptedLine;
using serialtest::Recorder;
using testsupport::Pump;
using testsupport::WaitUntil;
using Op = serial::ScriptedLine::Op;

namespace {

struct Scripted {
    std::shared_ptr<ScriptedLine> line = std::make_shared<ScriptedLine>();
    std::shared_ptr<serial::ScriptedPortFactory> factory =
        std::make_shared<serial::ScriptedPortFactory>(line);
    Recorder r;
    Scripted() { r.comm.SetPortFactory(factory); }
    void Open() {
        const int before = r.sent;
        r.comm.OpenPort();
        ASSERT_TRUE(WaitUntil([&] { return r.sent == before + 1 && line->ReadPending(); }));
    }
};

using testsupport::OpenError;

// ------------------------------------------------------------------ opening

struct OpenFailureCase {
    const char* name;
    Op op;
    const char* message;
};
void PrintTo(const OpenFailureCase& c, std::ostream* os) {
    *os << c.name;
}

class ScriptedOpenFailures : public ::testing::TestWithParam<OpenFailureCase> {};

TEST_P(ScriptedOpenFailures, LeaveNoPortBehindAndReopenWorks) {
    Scripted s;
    s.line->FailNext(GetParam().op);
    EXPECT_EQ(OpenError(s.r.comm), GetParam().message);
    EXPECT_FALSE(s.r.comm.IsOpen());
    EXPECT_EQ(s.line->OpenPorts(), 0);
    s.Open(); // the next attempt behaves as if nothing had happened
    EXPECT_EQ(s.line->OpenPorts(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    CommScripted, ScriptedOpenFailures,
    ::testing::Values(OpenFailureCase{"Open", Op::Open, "Error opening serial port"},
                      OpenFailureCase{"NotComm", Op::IsCommHandle,
                                      "File handle is not a comm handle "},
                      OpenFailureCase{"Setup", Op::SetupComm, "Cannot setup comm buffer"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CommScripted, NoDescriptorLeftForTheStopEvent) {
    Scripted s; // the scripted port itself needs no descriptor
    // Once through the whole path first: the undefined-behaviour checker needs descriptors
    // of its own the first time it checks a type, and will find none below.
    s.Open();
    s.r.comm.ClosePort();
    try {
        throw ECommsError("warm-up", "path", 1);
    } catch (const ECommsError& e) {
        EXPECT_EQ(e.SystemError() + static_cast<int>(e.Path().size()), 5);
    }
    const int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit old{};
    ::getrlimit(RLIMIT_NOFILE, &old);
    rlimit tight = old;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree); // no new descriptor can be made
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::string message;
    int err = 0;
    try {
        s.r.comm.OpenPort();
    } catch (const ECommsError& e) {
        ::setrlimit(RLIMIT_NOFILE, &old);
        message = e.what();
        err = e.SystemError();
    }
    ::setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(message, "Unable to create event");
    EXPECT_EQ(err, EMFILE);
    EXPECT_FALSE(s.r.comm.IsOpen());
    EXPECT_EQ(s.line->OpenPorts(), 0);
    s.Open();
}

TEST(CommScripted, OpenPurgesAllAndAppliesTestWindowLine) {
    Scripted s;
    s.r.comm.setCommName("COM1");
    s.Open();
    EXPECT_EQ(s.line->Purges().front(), 0x0Fu);
    serial::Dcb want;     // 9600 8N, XON 0x11 / XOFF 0x13
    want.Flags = 0x3001u; // binary + RTS toggle, nothing else
    want.StopBits = 2;
    want.XonLim = want.XoffLim = 500;
    EXPECT_TRUE(s.line->LastDcb() == want);
    EXPECT_EQ(s.line->LastTimeouts(), (serial::CommTimeouts{20, 0, 0, 0, 0}));
}

// A freshly made component, untouched: its defaults, and what they put on the line.
TEST(CommScripted, FreshComponentOpensWithItsDefaults) {
    auto line = std::make_shared<ScriptedLine>();
    TComm c;
    c.SetPortFactory(std::make_shared<serial::ScriptedPortFactory>(line));
    EXPECT_EQ(c.CommName(), "COM2");
    EXPECT_EQ(c.LineBreakTime(), 10000u);
    EXPECT_FALSE(c.OnReceiveData || c.OnReceiveError || c.OnModemStateChange || c.OnRequestHangup ||
                 c.OnSendDataEmpty || c.OnLineBreak);
    c.OpenPort();
    serial::Dcb want; // 9600 8N1, XON 0x11 / XOFF 0x13, error character 0
    want.Flags = 0x0001u | 0x0010u | 0x0080u | 0x0100u | 0x0200u | 0x1000u;
    want.XonLim = want.XoffLim = 500;
    EXPECT_TRUE(line->LastDcb() == want);
    EXPECT_EQ(line->LastTimeouts(), (serial::CommTimeouts{100, 0, 0, 0, 0}));
    // The flags that are off by default, and the other DTR and RTS modes.
    c.setDtrControl(TDtrControl::DtrHandshake);
    c.setRtsControl(TRtsControl::RtsHandshake);
    c.setParityCheck(true);
    c.setOutx_CtsFlow(true);
    c.setOutx_DsrFlow(true);
    c.setDsrSensitivity(true);
    c.setReplaceWhenParityError(true);
    c.setIgnoreNullChar(true);
    EXPECT_EQ(line->LastDcb().Flags, 0x2FFFu & ~0x0010u);
    c.ClosePort();
}

// ------------------------------------------------------------------ setters

TEST(CommScripted, SettersApplyTheirGroupOnlyOnChange) {
    Scripted s;
    s.Open();
    TComm& c = s.r.comm;
    const int states = s.line->SetCommStateCalls();
    const int timeouts = s.line->SetCommTimeoutsCalls();

    c.setBaudRate(9600); // equal values do nothing
    c.setStopBits(TStopBits::_2);
    c.setReadIntervalTimeout(20);
    c.setXonChar(0x11);
    EXPECT_EQ(s.line->SetCommStateCalls(), states);
    EXPECT_EQ(s.line->SetCommTimeoutsCalls(), timeouts);

    c.setParity(TParity::Even); // stored only
    c.setCommName("COM9");
    c.setLineBreakTime(5);
    EXPECT_EQ(s.line->SetCommStateCalls(), states);
    EXPECT_EQ(s.line->LastDcb().Parity, 0);

    c.setXoffLimit(100); // the next application carries the parity along
    EXPECT_EQ(s.line->SetCommStateCalls(), states + 1);
    EXPECT_EQ(s.line->LastDcb().Parity, 2);
    EXPECT_EQ(s.line->LastDcb().XoffLim, 100);

    c.setWriteTotalTimeoutConstant(7);
    EXPECT_EQ(s.line->SetCommTimeoutsCalls(), timeouts + 1);
    EXPECT_EQ(s.line->LastTimeouts().WriteTotalTimeoutConstant, 7u);
    EXPECT_EQ(s.line->SetCommStateCalls(), states + 1);

    c.setBaudRate(0); // refused by the port: the previous line settings stay
    EXPECT_EQ(s.line->LastDcb().BaudRate, 9600u);
    EXPECT_EQ(c.BaudRate(), 0u);
}

// ------------------------------------------------------------------ events from the reader

TEST(CommScripted, LineErrorsAndModemEventsAreReportedAndThreadsGoOn) {
    Scripted s;
    s.Open();
    s.line->RaiseErrors(CE_FRAME | CE_OVERRUN);
    ASSERT_TRUE(WaitUntil([&] { return s.r.errors.size() == 1; }));
    EXPECT_EQ(s.r.errors[0], static_cast<uint32_t>(CE_FRAME | CE_OVERRUN));

    s.line->RaiseEvents(serial::EV_RLSD);
    ASSERT_TRUE(WaitUntil([&] { return s.r.modem.size() == 1; }));
    s.line->RaiseEvents(serial::EV_RING);
    ASSERT_TRUE(WaitUntil([&] { return s.r.modem.size() == 2; }));
    s.line->RaiseEvents(serial::EV_RING | serial::EV_RLSD);
    ASSERT_TRUE(WaitUntil([&] { return s.r.modem.size() == 3; }));
    EXPECT_EQ(s.r.modem, (std::vector<uint32_t>{8, 4, 12}));

    s.line->RaiseErrors(CE_RXPARITY); // error and modem bits in one event: both reported
    s.line->RaiseEvents(serial::EV_RLSD);
    ASSERT_TRUE(WaitUntil([&] { return s.r.errors.size() == 2 && s.r.modem.size() == 4; }));

    s.line->Receive({1, 2, 3});
    ASSERT_TRUE(WaitUntil([&] { return s.r.pieces.size() == 1; }));
    EXPECT_TRUE(s.r.Send({4}));
    ASSERT_TRUE(WaitUntil([&] { return s.line->Written().size() == 1; }));
    EXPECT_EQ(s.r.hangups, 0);
}

// A failure injected into one platform call, and what the component reports.
struct FailureCase {
    const char* name;
    Op op;
    IoStatus status;
    int hangups;     // notifications expected
    bool readerEnds; // afterwards nothing is received
    bool writerEnds; // afterwards SendData returns false
    void (*trigger)(ScriptedLine&, Recorder&);
};
void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

void Nothing(ScriptedLine&, Recorder&) {}
void Data(ScriptedLine& l, Recorder&) {
    l.Receive({1});
}
void Error(ScriptedLine& l, Recorder&) {
    l.RaiseErrors(CE_FRAME);
}
void Send(ScriptedLine&, Recorder& r) {
    r.Send({1, 2});
}
void EmptyEvent(ScriptedLine& l, Recorder&) {
    l.RaiseEvents(0);
}
void EmptyRead(ScriptedLine& l, Recorder&) {
    l.ReceiveEmpty();
}

class ThreadFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ThreadFailures, HangupOnlyForUnexpectedFailures) {
    const FailureCase& c = GetParam();
    Scripted s;
    if (c.status != IoStatus::Done) // Done: no failure, the trigger alone does it
        s.line->FailNext(c.op, c.status);
    s.r.comm.OpenPort();
    ASSERT_TRUE(WaitUntil([&] { return s.r.sent >= 1 || s.r.hangups >= 1; }));
    c.trigger(*s.line, s.r);
    // Wait for the outcome itself rather than a fixed time: the machine may be busy.
    if (c.hangups > 0) {
        ASSERT_TRUE(WaitUntil([&] { return s.r.hangups >= c.hangups; }));
    }
    if (c.readerEnds) {
        ASSERT_TRUE(WaitUntil([&] { return !s.line->ReadPending(); }));
    }
    if (c.writerEnds) {
        ASSERT_TRUE(WaitUntil([&] { return !s.r.Send({5}); }));
    } else {
        EXPECT_TRUE(s.r.Send({5}));
    }
    Pump(30);
    EXPECT_EQ(s.r.hangups, c.hangups);
    const std::size_t piecesBefore = s.r.pieces.size();
    s.line->Receive({9, 9});
    if (c.readerEnds) {
        Pump(40);
        EXPECT_EQ(s.r.pieces.size(), piecesBefore);
    } else {
        EXPECT_TRUE(WaitUntil([&] { return s.r.pieces.size() > piecesBefore; }));
    }
    EXPECT_TRUE(s.r.comm.IsOpen()); // a thread that ended leaves the port open
    s.r.comm.ClosePort();
    EXPECT_EQ(s.line->OpenPorts(), 0);
}

const IoStatus kFail = IoStatus::Failed;
const IoStatus kGone = IoStatus::InvalidHandle;

INSTANTIATE_TEST_SUITE_P(
    CommScripted, ThreadFailures,
    ::testing::Values(
        FailureCase{"SetCommMask", Op::SetCommMask, kFail, 1, true, false, Nothing},
        FailureCase{"StartEventWait", Op::StartEventWait, kFail, 1, true, false, Nothing},
        FailureCase{"StartEventWaitGone", Op::StartEventWait, kGone, 0, true, false, Nothing},
        FailureCase{"StartRead", Op::StartRead, kFail, 1, true, false, Nothing},
        FailureCase{"StartReadGone", Op::StartRead, kGone, 0, true, false, Nothing},
        FailureCase{"WaitReader", Op::WaitReader, kFail, 1, true, false, Nothing},
        FailureCase{"ReadResult", Op::ReadResult, kFail, 1, true, false, Data},
        FailureCase{"ReadResultGone", Op::ReadResult, kGone, 0, true, false, Data},
        FailureCase{"EventResult", Op::EventResult, kFail, 1, true, false, Error},
        FailureCase{"EventResultGone", Op::EventResult, kGone, 0, true, false, Error},
        FailureCase{"ClearCommError", Op::ClearCommError, kFail, 1, true, false, Error},
        FailureCase{"EmptyEvent", Op::Open, IoStatus::Done, 1, true, false, EmptyEvent},
        FailureCase{"EmptyRead", Op::Open, IoStatus::Done, 0, true, false, EmptyRead},
        FailureCase{"Write", Op::Write, kFail, 1, false, true, Send},
        FailureCase{"WriteGone", Op::Write, kGone, 0, false, true, Send},
        FailureCase{"WaitWriterIdle", Op::WaitWriterIdle, kFail, 1, false, true, Nothing}),
    [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------------ the writer

TEST(CommScripted, BlocksQueuedBackToBackGiveOneSentNotification) {
    Scripted s;
    s.Open();
    s.line->HoldWrites(true);
    ASSERT_TRUE(s.r.Send({1, 1}));
    ASSERT_TRUE(WaitUntil([&] { return s.line->WriteWaiting(); }));
    ASSERT_TRUE(s.r.Send({2, 2, 2}));
    ASSERT_TRUE(s.r.Send({3}));
    s.line->HoldWrites(false);
    ASSERT_TRUE(WaitUntil([&] { return s.r.sent == 2; }));
    Pump(30);
    EXPECT_EQ(s.r.sent, 2); // one after opening, one after the run of three
    EXPECT_EQ(s.line->WriteCalls(), (std::vector<std::vector<uint8_t>>{{1, 1}, {2, 2, 2}, {3}}));
}

TEST(CommScripted, PartialAndEmptyWritesAreRetriedWithTheRest) {
    Scripted s;
    s.Open();
    s.line->ScriptWrite({ScriptedLine::WriteStep::Partial, 2});
    s.line->ScriptWrite({ScriptedLine::WriteStep::Partial, 0}); // a time-out with nothing sent
    s.line->ScriptWrite({ScriptedLine::WriteStep::Partial, 0});
    ASSERT_TRUE(s.r.Send({1, 2, 3, 4, 5}));
    ASSERT_TRUE(WaitUntil([&] { return s.line->Written().size() == 5; }));
    EXPECT_EQ(s.line->Written(), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    const auto calls = s.line->WriteCalls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[3], (std::vector<uint8_t>{3, 4, 5}));
    EXPECT_EQ(s.r.hangups, 0);
}

TEST(CommScripted, StopIsHonouredBetweenEmptyWriteRetries) {
    Scripted s;
    s.Open();
    for (int i = 0; i < 200000; ++i) // far more empty completions than the writer gets through
        s.line->ScriptWrite({ScriptedLine::WriteStep::Partial, 0});
    ASSERT_TRUE(s.r.Send({1, 2, 3}));
    ASSERT_TRUE(WaitUntil([&] { return !s.line->WriteCalls().empty(); }));
    QElapsedTimer t;
    t.start();
    s.r.comm.ClosePort();
    EXPECT_LT(t.elapsed(), 2000);
    EXPECT_TRUE(s.line->Written().empty());
    EXPECT_EQ(s.r.hangups, 0);
}

TEST(CommScripted, ClosePortWithStalledWriteDropsTheQueue) {
    Scripted s;
    s.Open();
    s.line->ScriptWrite({ScriptedLine::WriteStep::Stall, 0});
    ASSERT_TRUE(s.r.Send({1}));
    for (int i = 0; i < 50; ++i) // left in the queue; freed when the writer ends
        ASSERT_TRUE(s.r.Send(std::vector<uint8_t>(1000, 7)));
    ASSERT_TRUE(WaitUntil([&] { return s.line->WriteWaiting(); }));
    s.r.comm.ClosePort();
    EXPECT_TRUE(s.line->Written().empty());
    const auto purges = s.line->Purges();
    // Reader's side and writer's side, by ClosePort and by the threads themselves.
    EXPECT_EQ(std::count(purges.begin(), purges.end(), 0x0Au), 2);
    EXPECT_EQ(std::count(purges.begin(), purges.end(), 0x05u), 2);
    EXPECT_EQ(s.line->OpenPorts(), 0);
}

// ------------------------------------------------------------------ RTS and the timers

TEST(CommScripted, EverySendPulsesRtsFor50ms) {
    Scripted s;
    const uint8_t b = 1;
    EXPECT_FALSE(s.r.comm.SendData(&b, 1)); // closed: the timer runs but there is no port
    Pump(80);
    s.Open();
    EXPECT_FALSE(s.r.comm.SendData(&b, 0)); // empty: still a pulse
    EXPECT_EQ(s.line->Escapes(), (std::vector<uint32_t>{serial::SETRTS}));
    ASSERT_TRUE(WaitUntil([&] { return s.line->Escapes().size() == 2; }));
    EXPECT_EQ(s.line->Escapes()[1], serial::CLRRTS);

    // Received data stops the RTS timer: RTS stays raised until a later pulse ends.
    ASSERT_TRUE(s.r.Send({1}));
    s.line->Receive({2});
    ASSERT_TRUE(WaitUntil([&] { return s.r.pieces.size() == 1; }));
    Pump(100);
    EXPECT_EQ(s.line->Escapes().size(), 3u);
    EXPECT_EQ(s.line->Escapes().back(), serial::SETRTS);
}

TEST(CommScripted, ReceivedPieceStopsTheWatchdogAndEachSendRestartsIt) {
    Scripted s;
    s.r.comm.setLineBreakTime(300);
    s.Open();
    QElapsedTimer sinceLastSend;
    qint64 firedAfter = -1;
    s.r.comm.OnLineBreak = [&](QObject*) {
        ++s.r.lineBreaks;
        firedAfter = sinceLastSend.elapsed();
    };
    ASSERT_TRUE(s.r.Send({1}));
    Pump(150);
    sinceLastSend.start();
    ASSERT_TRUE(s.r.Send({1})); // restarts with the full interval
    ASSERT_TRUE(WaitUntil([&] { return s.r.lineBreaks == 1; }));
    EXPECT_GE(firedAfter, 290); // timed from the second send, not the first
    Pump(50);
    EXPECT_EQ(s.r.lineBreaks, 1); // once per send

    s.r.comm.setLineBreakTime(500);
    ASSERT_TRUE(s.r.Send({1}));
    s.line->Receive({3});
    ASSERT_TRUE(WaitUntil([&] { return s.r.pieces.size() == 1; }));
    Pump(600);
    EXPECT_EQ(s.r.lineBreaks, 1);
}

TEST(CommScripted, ExceptionsFromHandlersGoToTheApplicationReport) {
    std::vector<std::string> reported;
    SetApplicationExceptionHandler([&](const std::exception& e) { reported.push_back(e.what()); });
    Scripted s;
    s.r.comm.setLineBreakTime(10);
    s.r.comm.OnLineBreak = [](QObject*) { throw Exception("line break handler"); };
    s.r.comm.OnReceiveData = [](QObject*, const void*, uint16_t) {
        throw std::runtime_error("data handler");
    };
    s.Open();
    ASSERT_TRUE(s.r.Send({1}));
    ASSERT_TRUE(WaitUntil([&] { return reported.size() == 1; }));
    s.line->Receive({1, 2});
    ASSERT_TRUE(WaitUntil([&] { return reported.size() == 2; }));
    EXPECT_EQ(reported, (std::vector<std::string>{"line break handler", "data handler"}));
    // The component goes on working.
    s.r.comm.OnReceiveData = nullptr;
    ASSERT_TRUE(s.r.Send({2}));
    SetApplicationExceptionHandler(nullptr);
}

TEST(CommScripted, UnassignedEventsAreSkipped) {
    Scripted s;
    s.r.comm.OnReceiveData = nullptr;
    s.r.comm.OnReceiveError = nullptr;
    s.r.comm.OnModemStateChange = nullptr;
    s.r.comm.OnSendDataEmpty = nullptr;
    s.r.comm.OpenPort();
    s.line->Receive({1});
    s.line->RaiseErrors(CE_BREAK);
    s.line->RaiseEvents(serial::EV_RING);
    Pump(50);
    EXPECT_TRUE(s.r.Send({1}));
}

TEST(CommScripted, NotificationsLeftUnhandledAreFreedWithTheComponent) {
    auto line = std::make_shared<ScriptedLine>();
    auto comm = std::make_unique<TComm>();
    comm->SetPortFactory(std::make_shared<serial::ScriptedPortFactory>(line));
    comm->OpenPort();
    line->Receive(std::vector<uint8_t>(100, 1));
    line->Receive(std::vector<uint8_t>(3000, 2));
    // Give the reader time to post without letting the event loop deliver anything.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    comm.reset(); // the leak checker proves the blocks went with their events
    EXPECT_EQ(line->OpenPorts(), 0);
}

// A block whose posting fails goes with the failed posting (the leak checker watches).
TEST(CommNotifications, FailedPostingFreesTheBlock) {
    std::unique_ptr<uint8_t[]> block(new uint8_t[2049]());
    EXPECT_FALSE(
        serial::PostNotification(nullptr, serial::WM_COMM_DATA, 2048, 0, std::move(block)));
}

} // namespace
