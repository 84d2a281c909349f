#pragma once
// The reader and writer threads of an open TComm, the notifications they post, and the
// writer's queue.
//
// The threads never touch the component. They use only the Port, the stop event (an eventfd
// that is never read, so once signalled it stays signalled) and the notification target (a
// QObject on the user-interface thread), and report by posting CommEvents to it.

#include "serial/port.h"

#include <QEvent>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

class QObject;

namespace serial {

// Notification numbers (also the thread message the writer takes from its queue).
constexpr uint32_t WM_COMM_WRITE = 0x401;
constexpr uint32_t WM_COMM_DATA = 0x401;
constexpr uint32_t WM_COMM_ERROR = 0x402;
constexpr uint32_t WM_COMM_HANGUP = 0x403;
constexpr uint32_t WM_COMM_MODEM = 0x404;
constexpr uint32_t WM_COMM_SENT = 0x405;

// WParam of a WM_COMM_HANGUP the writer posts when its idle watch finds the device gone; a
// reader that is still running reports the same failure itself, after the data before it.
constexpr uint32_t HangupSeenByWriterWatch = 1;
// WParam of a WM_COMM_SENT the component posts itself for blocks it wrote without the writer.
constexpr uint32_t SentAfterDirectWrite = 1;

constexpr uint32_t ReadBufferSize = 2048;

// The Qt event type that carries notification `message`.
inline QEvent::Type CommEventType(uint32_t message) {
    return static_cast<QEvent::Type>(QEvent::User + static_cast<int>(message));
}

// Orders everything a thread wrote into a notification before whatever the receiving thread
// does with it. Qt's event queue orders them already, but with a lock the thread sanitizer
// cannot see into; this fence states the same order in terms it checks. Posters call it
// after building the event, receivers before touching one. Only the sanitizer build needs it:
// elsewhere it costs three lock round trips per notification for nothing, so it is empty.
#ifdef DEMOCOMM_TSAN
void PublicationFence();
#else
inline void PublicationFence() {}
#endif

// A notification. A received block travels inside its event and is freed with it, whether
// the event was handled or dropped (target destroyed first).
class CommEvent : public QEvent {
public:
    CommEvent(uint32_t message, uint32_t wParam, uint32_t lParam,
              std::unique_ptr<uint8_t[]> block = {})
        : QEvent(CommEventType(message)), Message(message), WParam(wParam), LParam(lParam),
          Block(std::move(block)) {}
    ~CommEvent() override { PublicationFence(); } // may be dropped without being delivered
    const uint32_t Message;
    const uint32_t WParam;
    const uint32_t LParam;
    std::unique_ptr<uint8_t[]> Block;
};

// Posts a notification to `target`; false when there is no target or the process is out of
// memory. Any thread.
bool PostNotification(QObject* target, uint32_t message, uint32_t wParam = 0, uint32_t lParam = 0,
                      std::unique_ptr<uint8_t[]> block = {});

// True when the eventfd `stopFd` is signalled (tested without waiting).
bool IsSignalled(int stopFd);

// A block queued for sending.
struct WriteBlockItem {
    std::unique_ptr<uint8_t[]> Data;
    uint32_t Length = 0;
};

// The writer's input queue: a mutex-guarded queue with an eventfd that wakes the writer.
// Post is called on the user-interface thread, the rest on the writer thread.
class WriteQueue {
public:
    WriteQueue();
    ~WriteQueue();
    WriteQueue(const WriteQueue&) = delete;
    WriteQueue& operator=(const WriteQueue&) = delete;

    enum class Posted { Refused, Queued, Written };

    bool Valid() const { return wakeFd_ >= 0; }
    int WakeFd() const { return wakeFd_; }
    // Hands the block to the writer; Refused (block freed) once the queue was closed. With
    // `port`, a block that would be the writer's only work is first offered to
    // port->WriteNow, under the queue's lock so that the writer cannot start a block
    // meanwhile: Written when the driver took it all, else the rest is queued. Waking the
    // writer costs more than the write itself, and the reply comes that much sooner.
    Posted Post(WriteBlockItem block, Port* port = nullptr);
    // Takes the next block without waiting; false when the queue is empty. The writer counts
    // as busy from a successful Take until the next one.
    bool Take(WriteBlockItem& block);
    // Clears the wake-up signal (before taking, so no post is missed).
    void ResetWake();
    // Refuses every later post and frees what is still queued.
    void Close();

private:
    std::mutex mutex_;
    std::deque<WriteBlockItem> blocks_;
    bool closed_ = false;
    bool busy_ = false; // the writer holds a block
    int wakeFd_ = -1;
};

// A worker thread that is created suspended, like the platform threads the component was
// designed around: Create() makes it, Resume() lets it run its Execute(). Destroying the
// object waits for the thread to end (a never-resumed thread is let go without running).
class TThread {
public:
    TThread() = default;
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Creates the (suspended) thread; false when the system refuses.
    bool Create();
    // `niceDelta` below 0 raises the priority (ignored where the system does not allow it).
    void SetPriority(int niceDelta) { nice_ = niceDelta; }
    void Resume();
    // Waits up to `ms` for the body to end; true when it has.
    bool WaitFor(int ms);
    // The terminate request; our bodies end on the stop event, this is only a flag.
    void Terminate() { terminated_ = true; }
    bool Terminated() const { return terminated_; }

protected:
    virtual void Execute() = 0;
    // Lets a never-resumed thread go and waits for the thread to end. Every derived class
    // calls it in its destructor, before its own members go away.
    void Join();

private:
    void Run();
    enum class Gate { Suspended, Running, Abandoned };
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    Gate gate_ = Gate::Suspended;
    bool finished_ = false;
    int nice_ = 0;
    std::atomic<bool> terminated_{false};
};

// Keeps one read of up to 2048 bytes and one comm-event wait outstanding and posts what they
// bring: WM_COMM_DATA blocks, WM_COMM_ERROR bits, WM_COMM_MODEM bits, WM_COMM_HANGUP on any
// unexpected failure. Ends on the stop event, a vanished handle or a read that completed
// empty (all without notification), or after posting WM_COMM_HANGUP.
class TReadThread : public TThread {
public:
    TReadThread(Port& port, int stopFd, QObject* notify)
        : port_(port), stopFd_(stopFd), notify_(notify) {}
    ~TReadThread() override;

    // True once the reader has ended without reporting a hangup (any thread).
    bool EndedQuietly() const { return endedQuietly_; }

protected:
    void Execute() override;

private:
    bool StartEventWait();
    bool StartRead();
    bool FinishRead();
    bool DeliverData(uint32_t count);
    bool ProcessCommEvent(bool fetchResult);
    bool HandleFailure(const IoResult& r); // false always; posts a hangup unless quiet
    void Hangup();

    Port& port_;
    const int stopFd_;
    QObject* const notify_;
    uint8_t buffer_[ReadBufferSize] = {};
    uint32_t eventMask_ = 0;
    bool hungUp_ = false;
    std::atomic<bool> endedQuietly_{false};
};

// Drains its queue in order with WriteBlock and posts WM_COMM_SENT whenever it finds the
// queue empty after writing (and once right after starting). Ends on the stop event (the
// rest of the queue is dropped) or on a failure (WM_COMM_HANGUP first). While idle it watches
// the port, so that a vanished device ends it at once and the next send fails, even when the
// reader has already ended.
class TWriteThread : public TThread {
public:
    TWriteThread(Port& port, int stopFd, QObject* notify)
        : port_(port), stopFd_(stopFd), notify_(notify) {}
    ~TWriteThread() override;

    // Hands a block to the writer (user-interface thread), or writes it at once when the
    // writer is idle (see WriteQueue::Post). Refused once the writer has ended.
    WriteQueue::Posted Post(WriteBlockItem block) { return queue_.Post(std::move(block), &port_); }

protected:
    void Execute() override;

private:
    bool WriteBlock(const uint8_t* data, uint32_t count);
    void Hangup(uint32_t how = 0);

    Port& port_;
    const int stopFd_;
    QObject* const notify_;
    WriteQueue queue_;
};

} // namespace serial
