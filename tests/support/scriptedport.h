#pragma once
// A port whose far end and driver are played by a test: it delivers reads, line errors and
// modem events on demand, lets any call fail, scripts partial and empty writes, and
// records what the component did to it. It stands in only for what a pseudo-terminal cannot
// produce; everything else is tested on real terminals.
//
// The test keeps a ScriptedLine and hands TComm a ScriptedPortFactory over it. All members
// are safe on any thread.

#include "serial/port.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace serial {

class ScriptedLine {
public:
    enum class Op {
        Open,
        IsCommHandle,
        SetupComm,
        SetCommMask,
        StartRead,
        StartEventWait,
        WaitReader,
        ReadResult,
        EventResult,
        ClearCommError,
        Write,
        WaitWriterIdle,
    };
    ScriptedLine();
    ~ScriptedLine();
    ScriptedLine(const ScriptedLine&) = delete;
    ScriptedLine& operator=(const ScriptedLine&) = delete;

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
    // vanished). For Open, `systemError` is the errno reported.
    void FailNext(Op op, IoStatus status = IoStatus::Failed, int systemError = EIO);
    // A coming Write call accepts only `count` bytes (0: its time-out ran out with nothing
    // sent); without one queued, a Write accepts everything.
    void ScriptWrite(uint32_t count);

    // --- what the component did
    std::vector<uint8_t> Written() const;
    std::vector<std::vector<uint8_t>> WriteCalls() const;
    std::vector<uint32_t> Purges() const;
    std::vector<uint32_t> Escapes() const;
    int SetCommStateCalls() const;
    int SetCommTimeoutsCalls() const;
    Dcb LastDcb() const;
    CommTimeouts LastTimeouts() const;
    int OpenPorts() const;    // ports alive right now
    bool ReadPending() const; // the reader has a read outstanding

    // Used by the ports.
    struct State;
    std::shared_ptr<State> Shared() const { return state_; }

private:
    std::shared_ptr<State> state_;
};

class ScriptedPortFactory final : public PortFactory {
public:
    explicit ScriptedPortFactory(std::shared_ptr<ScriptedLine> line) : line_(std::move(line)) {}
    std::unique_ptr<Port> Open(const std::string& path, OpenFailure& failure) override;
    // The path of the last Open call.
    std::string LastPath() const;

private:
    std::shared_ptr<ScriptedLine> line_;
    mutable std::mutex mutex_;
    std::string lastPath_;
};

} // namespace serial
