#include "co.h"

#include "serial/commthreads.h"
#include "serial/port.h"
#include "serial/portname.h"

#include <QCoreApplication>
#include <QObject>
#include <QTimerEvent>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>

namespace serial {

// The component's hidden notification window: lives on the user-interface thread, receives
// what the threads post and the ticks of timers 1 and 2, and hands both to the component.
class NotifyTarget : public QObject {
public:
    explicit NotifyTarget(TComm* comm) : comm_(comm) {}

protected:
    bool event(QEvent* e) override {
        PublicationFence();
        if (e->type() >= CommEventType(WM_COMM_DATA) && e->type() <= CommEventType(WM_COMM_SENT)) {
            comm_->CommWndProc(e);
            return true;
        }
        return QObject::event(e);
    }
    void timerEvent(QTimerEvent* e) override { comm_->HandleTimer(e->timerId()); }

private:
    TComm* const comm_;
};

} // namespace serial

namespace {

constexpr int kRtsTimer = 1;
constexpr int kLineBreakTimer = 2;
constexpr uint32_t kRtsPulseMs = 50;
constexpr int kThreadWaitMs = 10000;
// Reader two steps above normal, writer one (nice values; needs the right to raise them).
constexpr int kReaderNice = -2;
constexpr int kWriterNice = -1;

std::map<QString, ECommsError>& LostPorts() {
    static std::map<QString, ECommsError> lost;
    return lost;
}

bool openWaitsForConnection = false; // TComm::SetOpenWaitsForConnection

void Signal(int eventFd) {
    const uint64_t one = 1;
    // Never read, so it stays signalled; a write can only fail if the counter were full.
    [[maybe_unused]] ssize_t n = ::write(eventFd, &one, sizeof one);
}

} // namespace

std::optional<ECommsError> LostPortError(const QString& commName) {
    const auto it = LostPorts().find(commName);
    if (it == LostPorts().end())
        return std::nullopt;
    return it->second;
}

TComm::TComm(QObject* owner)
    : QObject(owner), factory_(serial::DefaultPortFactory()),
      notifyWindow_(std::make_unique<serial::NotifyTarget>(this)) {}

TComm::~TComm() {
    ClosePort();
    StopTimer(kLineBreakTimer);
    // Notifications still queued for the target are deleted with it, blocks included.
    notifyWindow_.reset();
}

void TComm::SetOpenWaitsForConnection(bool wait) {
    openWaitsForConnection = wait;
}

bool TComm::IsOpen() const {
    return port_ != nullptr;
}

void TComm::SetPortFactory(std::shared_ptr<serial::PortFactory> factory) {
    factory_ = factory ? std::move(factory) : serial::DefaultPortFactory();
}

void TComm::OpenPort() {
    if (port_)
        throw ECommsError("This serial port already opened");

    const std::string path = serial::ResolvePortName(commName_.toStdString());
    serial::OpenFailure failure;
    std::unique_ptr<serial::Port> port = factory_->Open(path, failure);
    if (!port)
        throw ECommsError("Error opening serial port", path, failure.systemError);
    if (!port->IsCommHandle())
        throw ECommsError("File handle is not a comm handle ", path, ENOTTY);
    if (!port->SetupComm(4096, 4096))
        throw ECommsError("Cannot setup comm buffer", path, 0);
    if (openWaitsForConnection) {
        if (const int error = port->AwaitConnection().systemError)
            throw ECommsError("Error opening serial port", path, error);
    }

    // A hangup still queued from an earlier opening is not news about this one.
    QCoreApplication::removePostedEvents(notifyWindow_.get(),
                                         serial::CommEventType(serial::WM_COMM_HANGUP));
    hangupRaised_ = false;
    LostPorts().erase(commName_);
    port_ = std::move(port);
    path_ = path;
    port_->Purge(serial::PURGE_TXABORT | serial::PURGE_RXABORT | serial::PURGE_TXCLEAR |
                 serial::PURGE_RXCLEAR);
    // A setting the driver refuses leaves its previous one in force; the port stays usable.
    ApplyCommTimeouts();
    ApplyCommState();

    stopEvent_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopEvent_ < 0) {
        const int err = errno;
        ReleasePort();
        throw ECommsError("Unable to create event", path, err);
    }

    try {
        readThread_ =
            std::make_unique<serial::TReadThread>(*port_, stopEvent_, notifyWindow_.get());
        if (!readThread_->Create())
            throw std::runtime_error("thread");
    } catch (...) {
        const int err = errno;
        readThread_.reset();
        ReleasePort();
        throw ECommsError("Unable to create read thread", path, err);
    }
    readThread_->SetPriority(kReaderNice);

    try {
        writeThread_ =
            std::make_unique<serial::TWriteThread>(*port_, stopEvent_, notifyWindow_.get());
        if (!writeThread_->Create())
            throw std::runtime_error("thread");
    } catch (...) {
        const int err = errno;
        StopReadThread();
        writeThread_.reset();
        ReleasePort();
        throw ECommsError("Unable to create write thread", path, err);
    }
    writeThread_->SetPriority(kWriterNice);

    readThread_->Resume();
    writeThread_->Resume();
}

void TComm::ReleasePort() {
    if (stopEvent_ >= 0)
        ::close(stopEvent_);
    stopEvent_ = -1;
    port_.reset();
}

void TComm::ClosePort() {
    if (!port_)
        return;
    // RTS stays as it is; the reply watchdog keeps running on purpose (a send just before
    // closing can still report its missing reply).
    StopTimer(kRtsTimer);
    StopReadThread();
    StopWriteThread();
    ReleasePort();
}

void TComm::StopReadThread() {
    if (!readThread_)
        return;
    Signal(stopEvent_);
    port_->Purge(serial::PURGE_RXABORT | serial::PURGE_RXCLEAR);
    if (!readThread_->WaitFor(kThreadWaitMs))
        readThread_->Terminate();
    readThread_.reset(); // waits for the thread to end
}

void TComm::StopWriteThread() {
    if (!writeThread_)
        return;
    Signal(stopEvent_);
    port_->Purge(serial::PURGE_TXABORT | serial::PURGE_TXCLEAR);
    if (!writeThread_->WaitFor(kThreadWaitMs))
        writeThread_->Terminate();
    writeThread_.reset(); // waits for the thread; frees blocks still queued
}

bool TComm::SendData(const void* Buffer, uint16_t Length) {
    StartTimer(kRtsTimer, kRtsPulseMs);
    if (rtsTimerId_ != 0) {
        if (port_)
            port_->EscapeCommFunction(serial::SETRTS); // a line that cannot switch is no error
    }
    if (!writeThread_ || Length == 0 || !Buffer)
        return false;
    serial::WriteBlockItem block;
    block.Data.reset(new uint8_t[Length + 1]());
    std::memcpy(block.Data.get(), Buffer, Length);
    block.Length = Length;
    // A block written here instead of by the idle writer is announced as the writer would
    // announce it: one notification after blocks sent back to back, none of its own when the
    // writer got the last of them and announces that.
    switch (writeThread_->Post(std::move(block))) {
    case serial::WriteQueue::Posted::Refused:
        return false;
    case serial::WriteQueue::Posted::Written:
        if (!directSentPosted_)
            directSentPosted_ = serial::PostNotification(notifyWindow_.get(), serial::WM_COMM_SENT,
                                                         serial::SentAfterDirectWrite);
        directSentVoid_ = false;
        break;
    case serial::WriteQueue::Posted::Queued:
        directSentVoid_ = directSentPosted_;
        break;
    }
    StartTimer(kLineBreakTimer, lineBreakTime_);
    return lineBreakTimerId_ != 0;
}

void TComm::StartTimer(int identifier, uint32_t ms) {
    int& id = identifier == kRtsTimer ? rtsTimerId_ : lineBreakTimerId_;
    if (id != 0)
        notifyWindow_->killTimer(id); // restarting gives the full interval again
    id = notifyWindow_->startTimer(std::chrono::milliseconds(ms), Qt::PreciseTimer);
}

void TComm::StopTimer(int identifier) {
    int& id = identifier == kRtsTimer ? rtsTimerId_ : lineBreakTimerId_;
    if (id != 0 && notifyWindow_)
        notifyWindow_->killTimer(id);
    id = 0;
}

void TComm::HandleTimer(int qtId) {
    if (qtId != 0 && qtId == lineBreakTimerId_) {
        StopTimer(kLineBreakTimer);
        Guarded([&] {
            if (OnLineBreak)
                OnLineBreak(this);
        });
        return;
    }
    // Timer 1 (or a stray one): end the RTS pulse.
    if (qtId == rtsTimerId_)
        StopTimer(kRtsTimer);
    else
        notifyWindow_->killTimer(qtId);
    Guarded([&] {
        if (port_)
            port_->EscapeCommFunction(serial::CLRRTS);
    });
}

void TComm::CommWndProc(QEvent* e) {
    auto* ev = static_cast<serial::CommEvent*>(e);
    switch (ev->Message) {
    case serial::WM_COMM_DATA:
        StopTimer(kRtsTimer);
        StopTimer(kLineBreakTimer);
        Guarded([&] {
            if (OnReceiveData)
                OnReceiveData(this, ev->Block.get(), static_cast<uint16_t>(ev->WParam & 0xFFFF));
        });
        ev->Block.reset();
        break;
    case serial::WM_COMM_ERROR:
        Guarded([&] {
            if (OnReceiveError)
                OnReceiveError(this, ev->LParam);
        });
        break;
    case serial::WM_COMM_HANGUP:
        // One failure, one event: both threads may find the same vanished device, and each
        // ends after reporting, so there is nothing more to report until the next opening. A
        // reader that has not ended quietly reports the device itself, after the data that
        // came before.
        if (hangupRaised_ || (ev->WParam == serial::HangupSeenByWriterWatch && readThread_ &&
                              !readThread_->EndedQuietly()))
            break;
        hangupRaised_ = true;
        Guarded([&] {
            const std::optional<ECommsError> lost = NoteLostPort();
            if (OnRequestHangup)
                OnRequestHangup(this);
            else if (lost)
                throw *lost; // no one handles hang-ups: the report says what happened
        });
        break;
    case serial::WM_COMM_MODEM:
        Guarded([&] {
            if (OnModemStateChange)
                OnModemStateChange(this, ev->LParam);
        });
        break;
    case serial::WM_COMM_SENT:
        if (ev->WParam == serial::SentAfterDirectWrite) {
            directSentPosted_ = false;
            if (std::exchange(directSentVoid_, false))
                break;
        }
        Guarded([&] {
            if (OnSendDataEmpty)
                OnSendDataEmpty(this);
        });
        break;
    default:
        break;
    }
}

std::optional<ECommsError> TComm::NoteLostPort() {
    const serial::PortFault fault = port_ ? port_->Fault() : serial::PortFault{};
    if (fault.systemError == 0)
        return std::nullopt;
    const ECommsError error(fault.beforeUse ? "Error opening serial port" : "Serial port lost",
                            path_, fault.systemError);
    LostPorts().insert_or_assign(commName_, error);
    return error;
}

void TComm::ApplyCommState() {
    serial::Dcb dcb;
    port_->GetCommState(dcb);
    dcb.BaudRate = baudRate_;
    uint32_t f = serial::DCB_fBinary;
    if (parityCheck_)
        f |= serial::DCB_fParity;
    if (outxCtsFlow_)
        f |= serial::DCB_fOutxCtsFlow;
    if (outxDsrFlow_)
        f |= serial::DCB_fOutxDsrFlow;
    if (dtrControl_ == TDtrControl::DtrEnable)
        f |= serial::DCB_fDtrEnable;
    else if (dtrControl_ == TDtrControl::DtrHandshake)
        f |= serial::DCB_fDtrHandshake;
    if (dsrSensitivity_)
        f |= serial::DCB_fDsrSensitivity;
    if (txContinueOnXoff_)
        f |= serial::DCB_fTXContinueOnXoff;
    if (outxXonXoffFlow_)
        f |= serial::DCB_fOutX;
    if (inxXonXoffFlow_)
        f |= serial::DCB_fInX;
    if (replaceWhenParityError_)
        f |= serial::DCB_fErrorChar;
    if (ignoreNullChar_)
        f |= serial::DCB_fNull;
    switch (rtsControl_) {
    case TRtsControl::RtsEnable:
        f |= serial::DCB_fRtsEnable;
        break;
    case TRtsControl::RtsHandshake:
        f |= serial::DCB_fRtsHandshake;
        break;
    case TRtsControl::RtsTransmissionAvailable:
        f |= serial::DCB_fRtsToggle;
        break;
    case TRtsControl::RtsDisable:
        break;
    }
    dcb.Flags = f;
    dcb.XonLim = xonLimit_;
    dcb.XoffLim = xoffLimit_;
    dcb.ByteSize = static_cast<uint8_t>(static_cast<uint8_t>(byteSize_) + 5);
    dcb.Parity = static_cast<uint8_t>(parity_);
    dcb.StopBits = static_cast<uint8_t>(stopBits_);
    dcb.XonChar = xonChar_;
    dcb.XoffChar = xoffChar_;
    dcb.ErrorChar = replacedChar_;
    port_->SetCommState(dcb); // refused: the previous settings stay in force
}

void TComm::ApplyCommTimeouts() {
    serial::CommTimeouts t;
    port_->GetCommTimeouts(t);
    t.ReadIntervalTimeout = readIntervalTimeout_;
    t.ReadTotalTimeoutMultiplier = readTotalTimeoutMultiplier_;
    t.ReadTotalTimeoutConstant = readTotalTimeoutConstant_;
    t.WriteTotalTimeoutMultiplier = writeTotalTimeoutMultiplier_;
    t.WriteTotalTimeoutConstant = writeTotalTimeoutConstant_;
    port_->SetCommTimeouts(t);
}

template <class T> void TComm::SetLineSetting(T& field, const T& value) {
    if (field == value)
        return;
    field = value;
    if (port_)
        ApplyCommState();
}

template <class T> void TComm::SetTimeout(T& field, const T& value) {
    if (field == value)
        return;
    field = value;
    if (port_)
        ApplyCommTimeouts();
}

void TComm::setCommName(const QString& v) {
    commName_ = v;
}
void TComm::setLineBreakTime(uint32_t v) {
    lineBreakTime_ = v;
}
void TComm::setParity(TParity v) {
    parity_ = v;
} // takes effect with the next line setting
void TComm::setBaudRate(uint32_t v) {
    SetLineSetting(baudRate_, v);
}
void TComm::setParityCheck(bool v) {
    SetLineSetting(parityCheck_, v);
}
void TComm::setOutx_CtsFlow(bool v) {
    SetLineSetting(outxCtsFlow_, v);
}
void TComm::setOutx_DsrFlow(bool v) {
    SetLineSetting(outxDsrFlow_, v);
}
void TComm::setDtrControl(TDtrControl v) {
    SetLineSetting(dtrControl_, v);
}
void TComm::setDsrSensitivity(bool v) {
    SetLineSetting(dsrSensitivity_, v);
}
void TComm::setTxContinueOnXoff(bool v) {
    SetLineSetting(txContinueOnXoff_, v);
}
void TComm::setOutx_XonXoffFlow(bool v) {
    SetLineSetting(outxXonXoffFlow_, v);
}
void TComm::setInx_XonXoffFlow(bool v) {
    SetLineSetting(inxXonXoffFlow_, v);
}
void TComm::setReplaceWhenParityError(bool v) {
    SetLineSetting(replaceWhenParityError_, v);
}
void TComm::setIgnoreNullChar(bool v) {
    SetLineSetting(ignoreNullChar_, v);
}
void TComm::setRtsControl(TRtsControl v) {
    SetLineSetting(rtsControl_, v);
}
void TComm::setXonLimit(uint16_t v) {
    SetLineSetting(xonLimit_, v);
}
void TComm::setXoffLimit(uint16_t v) {
    SetLineSetting(xoffLimit_, v);
}
void TComm::setByteSize(TByteSize v) {
    SetLineSetting(byteSize_, v);
}
void TComm::setStopBits(TStopBits v) {
    SetLineSetting(stopBits_, v);
}
void TComm::setXonChar(char v) {
    SetLineSetting(xonChar_, v);
}
void TComm::setXoffChar(char v) {
    SetLineSetting(xoffChar_, v);
}
void TComm::setReplacedChar(char v) {
    SetLineSetting(replacedChar_, v);
}
void TComm::setReadIntervalTimeout(uint32_t v) {
    SetTimeout(readIntervalTimeout_, v);
}
void TComm::setReadTotalTimeoutMultiplier(uint32_t v) {
    SetTimeout(readTotalTimeoutMultiplier_, v);
}
void TComm::setReadTotalTimeoutConstant(uint32_t v) {
    SetTimeout(readTotalTimeoutConstant_, v);
}
void TComm::setWriteTotalTimeoutMultiplier(uint32_t v) {
    SetTimeout(writeTotalTimeoutMultiplier_, v);
}
void TComm::setWriteTotalTimeoutConstant(uint32_t v) {
    SetTimeout(writeTotalTimeoutConstant_, v);
}
