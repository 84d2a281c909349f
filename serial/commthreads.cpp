#include "commthreads.h"

#include <QCoreApplication>
#include <QObject>

#include <cerrno>
#include <new>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

namespace serial {

#ifdef DEMOCOMM_TSAN
void PublicationFence() {
    static std::mutex fence;
    std::lock_guard lock(fence);
}
#endif

bool PostNotification(QObject* target, uint32_t message, uint32_t wParam, uint32_t lParam,
                      std::unique_ptr<uint8_t[]> block) {
    if (!target)
        return false;
    auto* event = new (std::nothrow) CommEvent(message, wParam, lParam, std::move(block));
    if (!event)
        return false;
    PublicationFence();
    // Takes ownership; if the target is gone before delivery Qt deletes the event, and the
    // block with it.
    QCoreApplication::postEvent(target, event);
    return true;
}

bool IsSignalled(int stopFd) {
    pollfd p{stopFd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

// ---------------------------------------------------------------- WriteQueue

WriteQueue::WriteQueue() {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

WriteQueue::~WriteQueue() {
    Close();
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

WriteQueue::Posted WriteQueue::Post(WriteBlockItem block, Port* port) {
    {
        std::lock_guard lock(mutex_);
        if (closed_ || wakeFd_ < 0)
            return Posted::Refused;
        if (port && !busy_ && blocks_.empty()) {
            const IoResult r = port->WriteNow(block.Data.get(), block.Length);
            if (r.status == IoStatus::Done && r.count >= block.Length)
                return Posted::Written;
            if (r.status == IoStatus::Done && r.count > 0) {
                const uint32_t rest = block.Length - r.count;
                std::unique_ptr<uint8_t[]> tail(new uint8_t[rest + 1]());
                std::copy(block.Data.get() + r.count, block.Data.get() + block.Length, tail.get());
                block.Data = std::move(tail);
                block.Length = rest;
            }
        }
        blocks_.push_back(std::move(block));
    }
    const uint64_t one = 1;
    // The counter cannot overflow in practice; a failed wake-up would only delay the writer
    // until the next post, so the result is not needed.
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
    return Posted::Queued;
}

bool WriteQueue::Take(WriteBlockItem& block) {
    std::lock_guard lock(mutex_);
    busy_ = !blocks_.empty();
    if (!busy_)
        return false;
    block = std::move(blocks_.front());
    blocks_.pop_front();
    return true;
}

void WriteQueue::ResetWake() {
    uint64_t value = 0;
    [[maybe_unused]] ssize_t n = ::read(wakeFd_, &value, sizeof value);
}

void WriteQueue::Close() {
    std::deque<WriteBlockItem> dropped;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        dropped.swap(blocks_);
    }
    // `dropped` frees the unsent blocks here, outside the lock.
}

// ---------------------------------------------------------------- TThread

TThread::~TThread() {
    Join();
}

void TThread::Join() {
    if (!thread_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        if (gate_ == Gate::Suspended)
            gate_ = Gate::Abandoned;
    }
    cv_.notify_all();
    thread_.join();
}

bool TThread::Create() {
    try {
        thread_ = std::thread([this] { Run(); });
        return true;
    } catch (...) {
        return false;
    }
}

void TThread::Resume() {
    {
        std::lock_guard lock(mutex_);
        if (gate_ == Gate::Suspended)
            gate_ = Gate::Running;
    }
    cv_.notify_all();
}

bool TThread::WaitFor(int ms) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return finished_; });
}

void TThread::Run() {
    Gate gate;
    {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return gate_ != Gate::Suspended; });
        gate = gate_;
    }
    if (gate == Gate::Running) {
        // Raising the priority needs CAP_SYS_NICE; without it the thread runs at normal
        // priority, which is fine for the rates a serial line has.
        if (nice_ != 0)
            ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), nice_);
        Execute();
    }
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    cv_.notify_all();
}

// ---------------------------------------------------------------- TReadThread

TReadThread::~TReadThread() {
    Join();
}

void TReadThread::Hangup() {
    hungUp_ = true;
    PostNotification(notify_, WM_COMM_HANGUP);
}

bool TReadThread::HandleFailure(const IoResult& r) {
    if (r.status != IoStatus::InvalidHandle)
        Hangup();
    return false;
}

void TReadThread::Execute() {
    // The port keeps the state of the outstanding read and event wait itself, so there are
    // no per-operation events to create here.
    if (!port_.SetCommMask(EV_RLSD | EV_ERR | EV_RING)) {
        Hangup();
    } else if (StartEventWait() && StartRead()) {
        for (;;) {
            const WaitResult w = port_.WaitReader(stopFd_);
            if (w == WaitResult::Stop)
                break;
            if (w == WaitResult::Event) {
                if (!ProcessCommEvent(true) || !StartEventWait())
                    break;
            } else if (w == WaitResult::Read) {
                if (!FinishRead() || !StartRead())
                    break;
            } else {
                Hangup();
                break;
            }
        }
    }
    // The pending event wait and read refer to this object's storage: forget them first.
    port_.CancelReaderIo();
    port_.Purge(PURGE_RXABORT | PURGE_RXCLEAR);
    endedQuietly_ = !hungUp_;
}

bool TReadThread::StartEventWait() {
    for (;;) {
        if (IsSignalled(stopFd_))
            return false;
        const IoResult r = port_.StartEventWait(&eventMask_);
        if (r.status == IoStatus::Done) {
            if (!ProcessCommEvent(false))
                return false;
            continue;
        }
        if (r.status == IoStatus::Pending)
            return true;
        return HandleFailure(r);
    }
}

bool TReadThread::StartRead() {
    for (;;) {
        const IoResult r = port_.StartRead(buffer_, ReadBufferSize);
        // A pending read is reported only through WaitReader, which lets the stop win; what
        // completes at once is checked here, before it is reported.
        if (r.status == IoStatus::Pending)
            return true;
        if (IsSignalled(stopFd_))
            return false;
        if (r.status == IoStatus::Done) {
            if (!DeliverData(r.count))
                return false;
            continue;
        }
        return HandleFailure(r);
    }
}

bool TReadThread::FinishRead() {
    const IoResult r = port_.ReadResult();
    if (r.status == IoStatus::Done)
        return DeliverData(r.count);
    return HandleFailure(r);
}

bool TReadThread::DeliverData(uint32_t count) {
    if (count == 0)
        return false; // a read that completed empty ends the reader quietly
    if (count > ReadBufferSize)
        count = ReadBufferSize;
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[count + 1]);
    if (!block) {
        Hangup();
        return false;
    }
    std::copy(buffer_, buffer_ + count, block.get());
    block[count] = 0;
    if (!PostNotification(notify_, WM_COMM_DATA, count, 0, std::move(block))) {
        // The block was freed with the failed posting.
        Hangup();
        return false;
    }
    return true;
}

bool TReadThread::ProcessCommEvent(bool fetchResult) {
    bool result = false;
    if (fetchResult) {
        const IoResult r = port_.EventResult();
        if (r.status != IoStatus::Done)
            return HandleFailure(r);
    }
    const uint32_t mask = eventMask_;
    if (mask & EV_ERR) {
        uint32_t errors = 0;
        const IoResult r = port_.ClearCommError(&errors);
        if (r.status != IoStatus::Done)
            return HandleFailure(r);
        if (!PostNotification(notify_, WM_COMM_ERROR, 0, errors)) {
            Hangup();
            return false;
        }
        result = true;
    }
    uint32_t modem = 0;
    if (mask & EV_RLSD)
        modem |= 8;
    if (mask & EV_RING)
        modem |= 4;
    if (modem != 0) {
        if (!PostNotification(notify_, WM_COMM_MODEM, 0, modem)) {
            Hangup();
            return false;
        }
        result = true;
    }
    if (!(mask & EV_ERR) && modem == 0)
        Hangup(); // an empty event: the driver ended the wait for no reason we know
    return result;
}

// ---------------------------------------------------------------- TWriteThread

TWriteThread::~TWriteThread() {
    Join();
}

void TWriteThread::Hangup(uint32_t how) {
    // Refuse new blocks first, so that a hangup handler that tries to send already gets
    // false instead of queueing into a writer that is ending.
    queue_.Close();
    PostNotification(notify_, WM_COMM_HANGUP, how);
}

void TWriteThread::Execute() {
    if (!queue_.Valid()) {
        Hangup();
    } else {
        bool notify = true;
        for (;;) {
            WriteBlockItem block;
            if (!queue_.Take(block)) {
                if (notify && !PostNotification(notify_, WM_COMM_SENT)) {
                    Hangup();
                    break;
                }
                notify = false;
                const WaitResult w = port_.WaitWriterIdle(stopFd_, queue_.WakeFd());
                if (w == WaitResult::Stop)
                    break;
                if (w == WaitResult::Input) {
                    queue_.ResetWake();
                    continue;
                }
                Hangup(w == WaitResult::Gone ? HangupSeenByWriterWatch : 0);
                break;
            }
            if (IsSignalled(stopFd_))
                break; // the block is dropped with `block`
            if (!WriteBlock(block.Data.get(), block.Length))
                break;
            notify = true;
        }
    }
    // No one may hand us more; what is left is freed here.
    queue_.Close();
    port_.Purge(PURGE_TXABORT | PURGE_TXCLEAR);
}

bool TWriteThread::WriteBlock(const uint8_t* data, uint32_t count) {
    uint32_t offset = 0;
    uint32_t remaining = count;
    while (remaining > 0) {
        const IoResult r = port_.Write(data + offset, remaining, stopFd_);
        if (r.status == IoStatus::Stopped || r.status == IoStatus::InvalidHandle)
            return false;
        if (r.status != IoStatus::Done) {
            Hangup();
            return false;
        }
        const uint32_t written = std::min(r.count, remaining);
        remaining -= written;
        offset += written;
        // A write time-out can complete with nothing written; it is retried with the same
        // rest, but a stop in between must still end the writer at once.
        if (remaining > 0 && IsSignalled(stopFd_))
            return false;
    }
    return true;
}

} // namespace serial
