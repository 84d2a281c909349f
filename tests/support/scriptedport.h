#pragma once
// A port whose far end and driver are played by a test: it delivers reads, line errors and
// modem events on demand, lets any call fail, scripts partial and empty writes, and records
// what the component did to it. It stands in only for what a pseudo-terminal cannot produce;
// everything else is tested on real terminals.
//
// The test keeps a ScriptedLine and hands TComm a ScriptedPortFactory over it. All members
// are safe on any thread.

#include "serial/port.h"

#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace serial {

class ScriptedLine {
public:
    // clang-format off
    enum class Op { Open, SetCommMask, StartRead, StartEventWait, WaitReader, ReadResult,
                    EventResult, ClearCommError, Write, WaitWriterIdle };
    // clang-format on
    ScriptedLine();
    ~ScriptedLine();

    // --- the far end and the driver
    // The pending read completes with these bytes (the rest waits for the next read when
    // there are more than it asked for).
    void Receive(const std::vector<uint8_t>& bytes);
    // The pending read completes with nothing (as a read with a total time-out would).
    void ReceiveEmpty();
    // A line error: the event wait completes with EV_ERR; ClearCommError returns the bits.
    void RaiseErrors(uint32_t errorBits);
    // The event wait completes with `mask` (EV_RLSD, EV_RING; 0 = an empty event).
    void RaiseEvents(uint32_t mask);
    // The next call of `op` fails (Failed: a platform failure; InvalidHandle: the handle
    // vanished).
    void FailNext(Op op, IoStatus status = IoStatus::Failed);
    // A coming Write call accepts only `count` bytes (0: its time-out ran out with nothing
    // sent); without one queued, a Write accepts everything.
    void ScriptWrite(uint32_t count);
    // From now on the sender's own write (Port::WriteNow) takes whole blocks; until then it
    // leaves every block to the writer.
    void AllowWriteNow();

    // --- what the component did
    std::vector<uint8_t> Written() const;
    std::vector<std::vector<uint8_t>> WriteCalls() const;
    std::vector<uint32_t> Purges() const;
    std::vector<uint32_t> Escapes() const;
    Dcb LastDcb() const;
    CommTimeouts LastTimeouts() const;
    bool ReadPending() const; // the reader has a read outstanding

private:
    friend class ScriptedPort;
    friend class ScriptedPortFactory;
    bool TakeFailure(Op op, IoResult& r); // mutex_ held
    void Wake();                          // mutex_ held: the reader re-checks the script

    mutable std::mutex mutex_;
    int wakeFd_;
    std::deque<std::vector<uint8_t>> incoming_; // one entry per read completion ({} = empty)
    uint32_t errors_ = 0, events_ = 0;
    bool eventsRaised_ = false; // RaiseEvents(0) must complete the wait too
    std::map<Op, IoStatus> failures_;
    std::deque<uint32_t> writeSteps_;
    bool writeNow_ = false;
    std::vector<uint8_t> written_;
    std::vector<std::vector<uint8_t>> writeCalls_;
    std::vector<uint32_t> purges_, escapes_;
    Dcb dcb_;
    CommTimeouts timeouts_;
    bool readPending_ = false;
};

class ScriptedPortFactory final : public PortFactory {
public:
    explicit ScriptedPortFactory(std::shared_ptr<ScriptedLine> line) : line_(std::move(line)) {}
    std::unique_ptr<Port> Open(const std::string& path, OpenFailure& failure) override;
    std::string LastPath() const { return lastPath_; } // the path of the last Open call

private:
    std::shared_ptr<ScriptedLine> line_;
    std::string lastPath_; // Open runs on the user-interface thread, as the test does
};

} // namespace serial
