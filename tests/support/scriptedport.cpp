#include "scriptedport.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace serial {

struct ScriptedLine::State {
    mutable std::mutex mutex;
    // Written whenever the script changes so that waits re-check it; one per thread, as
    // each wait consumes its own.
    int readerWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int writerWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ~State() {
        ::close(readerWakeFd);
        ::close(writerWakeFd);
    }

    std::deque<std::vector<uint8_t>> incoming; // one entry per read completion ({} = empty)
    uint32_t errors = 0;
    uint32_t events = 0;
    bool eventsRaised = false; // RaiseEvents(0) must complete the wait too
    std::map<Op, std::pair<IoStatus, int>> failures;
    std::deque<uint32_t> writeSteps;

    std::vector<uint8_t> written;
    std::vector<std::vector<uint8_t>> writeCalls;
    std::vector<uint32_t> purges;
    std::vector<uint32_t> escapes;
    int setStateCalls = 0;
    int setTimeoutsCalls = 0;
    Dcb dcb;
    CommTimeouts timeouts;
    int openPorts = 0;
    bool readPending = false;

    void Wake() const {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(readerWakeFd, &one, sizeof one);
        n = ::write(writerWakeFd, &one, sizeof one);
    }
    // Takes a scripted failure of `op`, if any (mutex held).
    bool TakeFailure(Op op, IoResult& r) {
        auto it = failures.find(op);
        if (it == failures.end())
            return false;
        r = {it->second.first, 0, it->second.second};
        failures.erase(it);
        return true;
    }
};

namespace {

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

// Waits for `stopFd` or `wakeFd`, consuming the wake-up.
void WaitStopOrWake(int stopFd, int wakeFd) {
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    ::poll(fds, 2, -1);
    if (fds[1].revents & POLLIN) {
        uint64_t v;
        [[maybe_unused]] ssize_t n = ::read(wakeFd, &v, sizeof v);
    }
}

class ScriptedPort final : public Port {
public:
    explicit ScriptedPort(std::shared_ptr<ScriptedLine::State> s) : s_(std::move(s)) {
        std::lock_guard lock(s_->mutex);
        ++s_->openPorts;
    }
    ~ScriptedPort() override {
        std::lock_guard lock(s_->mutex);
        --s_->openPorts;
    }

    bool IsCommHandle() override { return !Fails(ScriptedLine::Op::IsCommHandle); }
    bool SetupComm(uint32_t, uint32_t) override { return !Fails(ScriptedLine::Op::SetupComm); }
    bool GetCommState(Dcb& dcb) override {
        std::lock_guard lock(s_->mutex);
        dcb = s_->dcb;
        return true;
    }
    bool SetCommState(const Dcb& dcb) override {
        std::lock_guard lock(s_->mutex);
        ++s_->setStateCalls;
        if (dcb.BaudRate == 0 || dcb.BaudRate > 0x7FFFFFFFu)
            return false;
        s_->dcb = dcb;
        return true;
    }
    bool GetCommTimeouts(CommTimeouts& t) override {
        std::lock_guard lock(s_->mutex);
        t = s_->timeouts;
        return true;
    }
    bool SetCommTimeouts(const CommTimeouts& t) override {
        std::lock_guard lock(s_->mutex);
        ++s_->setTimeoutsCalls;
        s_->timeouts = t;
        return true;
    }
    bool Purge(uint32_t flags) override {
        std::lock_guard lock(s_->mutex);
        s_->purges.push_back(flags);
        return true;
    }
    bool EscapeCommFunction(uint32_t function) override {
        std::lock_guard lock(s_->mutex);
        s_->escapes.push_back(function);
        return true;
    }
    bool SetCommMask(uint32_t mask) override {
        mask_ = mask;
        return !Fails(ScriptedLine::Op::SetCommMask);
    }
    IoResult StartRead(uint8_t* buffer, uint32_t size) override {
        std::lock_guard lock(s_->mutex);
        IoResult r;
        if (s_->TakeFailure(ScriptedLine::Op::StartRead, r))
            return r;
        buffer_ = buffer;
        size_ = size;
        s_->readPending = true;
        return {IoStatus::Pending, 0, 0};
    }
    IoResult StartEventWait(uint32_t* mask) override {
        std::lock_guard lock(s_->mutex);
        IoResult r;
        if (s_->TakeFailure(ScriptedLine::Op::StartEventWait, r))
            return r;
        eventOut_ = mask;
        return {IoStatus::Pending, 0, 0};
    }
    WaitResult WaitReader(int stopFd) override {
        for (;;) {
            {
                std::lock_guard lock(s_->mutex);
                IoResult r;
                if (s_->TakeFailure(ScriptedLine::Op::WaitReader, r))
                    return WaitResult::Failed;
                if (Readable(stopFd))
                    return WaitResult::Stop;
                if (eventOut_ && s_->eventsRaised)
                    return WaitResult::Event;
                if (buffer_ && !s_->incoming.empty())
                    return WaitResult::Read;
            }
            WaitStopOrWake(stopFd, s_->readerWakeFd);
        }
    }
    IoResult ReadResult() override {
        std::lock_guard lock(s_->mutex);
        IoResult r;
        s_->readPending = false;
        if (s_->TakeFailure(ScriptedLine::Op::ReadResult, r))
            return r;
        auto& front = s_->incoming.front();
        const uint32_t n = std::min<uint32_t>(size_, static_cast<uint32_t>(front.size()));
        if (n > 0)
            std::memcpy(buffer_, front.data(), n);
        front.erase(front.begin(), front.begin() + n);
        if (front.empty())
            s_->incoming.pop_front();
        buffer_ = nullptr;
        return {IoStatus::Done, n, 0};
    }
    IoResult EventResult() override {
        std::lock_guard lock(s_->mutex);
        IoResult r;
        if (s_->TakeFailure(ScriptedLine::Op::EventResult, r))
            return r;
        *eventOut_ = s_->events & mask_;
        s_->events = 0;
        s_->eventsRaised = false;
        eventOut_ = nullptr;
        return {IoStatus::Done, 0, 0};
    }
    IoResult ClearCommError(uint32_t* errors) override {
        std::lock_guard lock(s_->mutex);
        IoResult r;
        if (s_->TakeFailure(ScriptedLine::Op::ClearCommError, r))
            return r;
        *errors = s_->errors;
        s_->errors = 0;
        return {IoStatus::Done, 0, 0};
    }
    void CancelReaderIo() override {
        std::lock_guard lock(s_->mutex);
        eventOut_ = nullptr;
        buffer_ = nullptr;
        s_->readPending = false;
    }
    IoResult Write(const uint8_t* data, uint32_t length, int) override {
        std::lock_guard lock(s_->mutex);
        IoResult r;
        if (s_->TakeFailure(ScriptedLine::Op::Write, r))
            return r;
        uint32_t n = length;
        if (!s_->writeSteps.empty()) {
            n = std::min(s_->writeSteps.front(), length);
            s_->writeSteps.pop_front();
        }
        s_->written.insert(s_->written.end(), data, data + n);
        s_->writeCalls.emplace_back(data, data + n);
        return {IoStatus::Done, n, 0};
    }
    WaitResult WaitWriterIdle(int stopFd, int wakeFd) override {
        for (;;) {
            {
                std::lock_guard lock(s_->mutex);
                IoResult r;
                if (s_->TakeFailure(ScriptedLine::Op::WaitWriterIdle, r))
                    return WaitResult::Failed;
            }
            pollfd fds[3] = {
                {stopFd, POLLIN, 0}, {wakeFd, POLLIN, 0}, {s_->writerWakeFd, POLLIN, 0}};
            ::poll(fds, 3, -1);
            if (fds[0].revents)
                return WaitResult::Stop;
            if (fds[1].revents & POLLIN)
                return WaitResult::Input;
            if (fds[2].revents & POLLIN)
                WaitStopOrWake(-1, s_->writerWakeFd); // consumes the wake-up
        }
    }

private:
    bool Fails(ScriptedLine::Op op) {
        std::lock_guard lock(s_->mutex);
        IoResult r;
        return s_->TakeFailure(op, r);
    }

    std::shared_ptr<ScriptedLine::State> s_;
    uint32_t mask_ = 0;
    uint8_t* buffer_ = nullptr;
    uint32_t size_ = 0;
    uint32_t* eventOut_ = nullptr;
};

} // namespace

ScriptedLine::ScriptedLine() : state_(std::make_shared<State>()) {}

ScriptedLine::~ScriptedLine() = default;

void ScriptedLine::Receive(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(state_->mutex);
    if (!bytes.empty())
        state_->incoming.push_back(bytes);
    state_->Wake();
}

void ScriptedLine::ReceiveEmpty() {
    std::lock_guard lock(state_->mutex);
    state_->incoming.emplace_back();
    state_->Wake();
}

void ScriptedLine::RaiseErrors(uint32_t errorBits) {
    std::lock_guard lock(state_->mutex);
    state_->errors |= errorBits;
    state_->events |= EV_ERR;
    state_->eventsRaised = true;
    state_->Wake();
}

void ScriptedLine::RaiseEvents(uint32_t mask) {
    std::lock_guard lock(state_->mutex);
    state_->events |= mask;
    state_->eventsRaised = true;
    state_->Wake();
}

void ScriptedLine::FailNext(Op op, IoStatus status, int systemError) {
    std::lock_guard lock(state_->mutex);
    state_->failures[op] = {status, systemError};
    state_->Wake();
}

void ScriptedLine::ScriptWrite(uint32_t count) {
    std::lock_guard lock(state_->mutex);
    state_->writeSteps.push_back(count);
}

#define SCRIPTED_GETTER(type, name, expr)                                                          \
    type ScriptedLine::name() const {                                                              \
        std::lock_guard lock(state_->mutex);                                                       \
        return expr;                                                                               \
    }
SCRIPTED_GETTER(std::vector<uint8_t>, Written, state_->written)
SCRIPTED_GETTER(std::vector<std::vector<uint8_t>>, WriteCalls, state_->writeCalls)
SCRIPTED_GETTER(std::vector<uint32_t>, Purges, state_->purges)
SCRIPTED_GETTER(std::vector<uint32_t>, Escapes, state_->escapes)
SCRIPTED_GETTER(int, SetCommStateCalls, state_->setStateCalls)
SCRIPTED_GETTER(int, SetCommTimeoutsCalls, state_->setTimeoutsCalls)
SCRIPTED_GETTER(Dcb, LastDcb, state_->dcb)
SCRIPTED_GETTER(CommTimeouts, LastTimeouts, state_->timeouts)
SCRIPTED_GETTER(int, OpenPorts, state_->openPorts)
SCRIPTED_GETTER(bool, ReadPending, state_->readPending)
#undef SCRIPTED_GETTER

std::unique_ptr<Port> ScriptedPortFactory::Open(const std::string& path, OpenFailure& failure) {
    {
        std::lock_guard lock(mutex_);
        lastPath_ = path;
    }
    auto state = line_->Shared();
    {
        std::lock_guard lock(state->mutex);
        IoResult r;
        if (state->TakeFailure(ScriptedLine::Op::Open, r)) {
            failure.systemError = r.error;
            return nullptr;
        }
    }
    return std::make_unique<ScriptedPort>(state);
}

std::string ScriptedPortFactory::LastPath() const {
    std::lock_guard lock(mutex_);
    return lastPath_;
}

} // namespace serial
