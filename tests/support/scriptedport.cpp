#include "scriptedport.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>

namespace serial {

using Lock = std::lock_guard<std::mutex>;
using Op = ScriptedLine::Op;

class ScriptedPort final : public Port {
public:
    explicit ScriptedPort(std::shared_ptr<ScriptedLine> line) : l_(std::move(line)) {}

    bool IsCommHandle() override { return true; }
    bool SetupComm(uint32_t, uint32_t) override { return true; }
    bool GetCommState(Dcb& dcb) override {
        return Locked([&] { dcb = l_->dcb_; });
    }
    bool SetCommState(const Dcb& dcb) override {
        Lock lock(l_->mutex_);
        if (dcb.BaudRate == 0 || dcb.BaudRate > 0x7FFFFFFFu)
            return false;
        l_->dcb_ = dcb;
        return true;
    }
    bool GetCommTimeouts(CommTimeouts& t) override {
        return Locked([&] { t = l_->timeouts_; });
    }
    bool SetCommTimeouts(const CommTimeouts& t) override {
        return Locked([&] { l_->timeouts_ = t; });
    }
    bool Purge(uint32_t flags) override {
        return Locked([&] { l_->purges_.push_back(flags); });
    }
    bool EscapeCommFunction(uint32_t function) override {
        return Locked([&] { l_->escapes_.push_back(function); });
    }
    bool SetCommMask(uint32_t mask) override {
        Lock lock(l_->mutex_);
        mask_ = mask;
        IoResult r;
        return !l_->TakeFailure(Op::SetCommMask, r);
    }
    IoResult StartRead(uint8_t* buffer, uint32_t size) override {
        Lock lock(l_->mutex_);
        IoResult r{IoStatus::Pending, 0, 0};
        if (l_->TakeFailure(Op::StartRead, r))
            return r;
        buffer_ = buffer;
        size_ = size;
        l_->readPending_ = true;
        return r;
    }
    IoResult StartEventWait(uint32_t* mask) override {
        Lock lock(l_->mutex_);
        IoResult r{IoStatus::Pending, 0, 0};
        if (!l_->TakeFailure(Op::StartEventWait, r))
            eventOut_ = mask;
        return r;
    }
    WaitResult WaitReader(int stopFd) override {
        for (;;) {
            pollfd fds[2] = {{stopFd, POLLIN, 0}, {l_->wakeFd_, POLLIN, 0}};
            {
                Lock lock(l_->mutex_);
                IoResult r;
                if (l_->TakeFailure(Op::WaitReader, r))
                    return WaitResult::Failed;
                if (::poll(fds, 1, 0) > 0)
                    return WaitResult::Stop;
                if (eventOut_ && l_->eventsRaised_)
                    return WaitResult::Event;
                if (buffer_ && !l_->incoming_.empty())
                    return WaitResult::Read;
            }
            ::poll(fds, 2, -1);
            uint64_t v;
            [[maybe_unused]] ssize_t n = ::read(l_->wakeFd_, &v, sizeof v);
        }
    }
    IoResult ReadResult() override {
        Lock lock(l_->mutex_);
        IoResult r;
        l_->readPending_ = false;
        if (l_->TakeFailure(Op::ReadResult, r))
            return r;
        auto& front = l_->incoming_.front();
        const uint32_t n = std::min<uint32_t>(size_, static_cast<uint32_t>(front.size()));
        std::copy(front.begin(), front.begin() + n, buffer_);
        front.erase(front.begin(), front.begin() + n);
        if (front.empty())
            l_->incoming_.pop_front();
        buffer_ = nullptr;
        return {IoStatus::Done, n, 0};
    }
    IoResult EventResult() override {
        Lock lock(l_->mutex_);
        IoResult r;
        if (l_->TakeFailure(Op::EventResult, r))
            return r;
        *eventOut_ = l_->events_ & mask_;
        l_->events_ = 0;
        l_->eventsRaised_ = false;
        eventOut_ = nullptr;
        return r;
    }
    IoResult ClearCommError(uint32_t* errors) override {
        Lock lock(l_->mutex_);
        IoResult r;
        if (!l_->TakeFailure(Op::ClearCommError, r))
            *errors = std::exchange(l_->errors_, 0);
        return r;
    }
    void CancelReaderIo() override {
        Locked([&] { eventOut_ = nullptr, buffer_ = nullptr, l_->readPending_ = false; });
    }
    IoResult Write(const uint8_t* data, uint32_t length, int) override {
        Lock lock(l_->mutex_);
        IoResult r;
        if (l_->TakeFailure(Op::Write, r))
            return r;
        if (!l_->writeSteps_.empty()) {
            length = std::min(l_->writeSteps_.front(), length);
            l_->writeSteps_.pop_front();
        }
        l_->written_.insert(l_->written_.end(), data, data + length);
        l_->writeCalls_.emplace_back(data, data + length);
        return {IoStatus::Done, length, 0};
    }
    IoResult WriteNow(const uint8_t* data, uint32_t length) override {
        Lock lock(l_->mutex_);
        if (!l_->writeNow_)
            return {IoStatus::Pending, 0, 0};
        l_->written_.insert(l_->written_.end(), data, data + length);
        l_->writeCalls_.emplace_back(data, data + length);
        return {IoStatus::Done, length, 0};
    }
    WaitResult WaitWriterIdle(int stopFd, int wakeFd) override {
        {
            Lock lock(l_->mutex_);
            IoResult r;
            if (l_->TakeFailure(Op::WaitWriterIdle, r))
                return WaitResult::Failed;
        }
        pollfd fds[2] = {{stopFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        while (::poll(fds, 2, -1) < 0) {
        }
        return fds[0].revents ? WaitResult::Stop : WaitResult::Input;
    }

private:
    template <class F> bool Locked(F f) {
        Lock lock(l_->mutex_);
        f();
        return true;
    }

    std::shared_ptr<ScriptedLine> l_;
    uint32_t mask_ = 0;
    uint8_t* buffer_ = nullptr;
    uint32_t size_ = 0;
    uint32_t* eventOut_ = nullptr;
};

ScriptedLine::ScriptedLine() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ScriptedLine::~ScriptedLine() {
    ::close(wakeFd_);
}

bool ScriptedLine::TakeFailure(Op op, IoResult& r) {
    const auto it = failures_.find(op);
    if (it == failures_.end())
        return false;
    r = {it->second, 0, EIO};
    failures_.erase(it);
    return true;
}

void ScriptedLine::Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

void ScriptedLine::Receive(const std::vector<uint8_t>& bytes) {
    Lock lock(mutex_);
    if (!bytes.empty())
        incoming_.push_back(bytes);
    Wake();
}

void ScriptedLine::ReceiveEmpty() {
    Lock lock(mutex_);
    incoming_.emplace_back();
    Wake();
}

void ScriptedLine::RaiseErrors(uint32_t errorBits) {
    Lock lock(mutex_);
    errors_ |= errorBits;
    events_ |= EV_ERR;
    eventsRaised_ = true;
    Wake();
}

void ScriptedLine::RaiseEvents(uint32_t mask) {
    Lock lock(mutex_);
    events_ |= mask;
    eventsRaised_ = true;
    Wake();
}

void ScriptedLine::FailNext(Op op, IoStatus status) {
    Lock lock(mutex_);
    failures_[op] = status;
    Wake();
}

void ScriptedLine::ScriptWrite(uint32_t count) {
    Lock lock(mutex_);
    writeSteps_.push_back(count);
}

void ScriptedLine::AllowWriteNow() {
    Lock lock(mutex_);
    writeNow_ = true;
}

#define SCRIPTED_GETTER(type, name, member)                                                        \
    type ScriptedLine::name() const {                                                              \
        Lock lock(mutex_);                                                                         \
        return member;                                                                             \
    }
SCRIPTED_GETTER(std::vector<uint8_t>, Written, written_)
SCRIPTED_GETTER(std::vector<std::vector<uint8_t>>, WriteCalls, writeCalls_)
SCRIPTED_GETTER(std::vector<uint32_t>, Purges, purges_)
SCRIPTED_GETTER(std::vector<uint32_t>, Escapes, escapes_)
SCRIPTED_GETTER(Dcb, LastDcb, dcb_)
SCRIPTED_GETTER(CommTimeouts, LastTimeouts, timeouts_)
SCRIPTED_GETTER(bool, ReadPending, readPending_)
#undef SCRIPTED_GETTER

std::unique_ptr<Port> ScriptedPortFactory::Open(const std::string& path, OpenFailure& failure) {
    lastPath_ = path;
    Lock lock(line_->mutex_);
    IoResult r;
    if (line_->TakeFailure(Op::Open, r)) {
        failure.systemError = r.error;
        return nullptr;
    }
    return std::make_unique<ScriptedPort>(line_);
}

} // namespace serial
