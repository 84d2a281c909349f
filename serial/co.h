#pragma once
// TComm: a non-visual component that owns one serial port.
//
// It keeps the line settings as properties, opens the port, runs one reader and one writer
// thread on it, queues blocks to send, pulses RTS around each send, watches for a reply
// (OnLineBreak) and raises every event on the user-interface thread.
//
// Threading: every member of TComm is called on the thread that created it (the
// user-interface thread), and every event is raised there. The reader and writer threads
// never touch this object: they use only the port, the stop event and the notification
// target, and report by posting Qt events to the notification target.

#include "serial/exception.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class QEvent;
class QTimerEvent;

// Raised by OpenPort with a fixed English message. `Path()` and `SystemError()` tell which
// device was tried (for a network port its tcp:// name) and why the system refused (errno;
// for a host name not found the resolver's negative EAI_* code; 0 when not a system
// failure); the message text itself never changes.
class ECommsError : public Exception {
public:
    explicit ECommsError(const std::string& message, std::string path = {}, int systemError = 0)
        : Exception(message), path_(std::move(path)), systemError_(systemError) {}
    const std::string& Path() const { return path_; }
    int SystemError() const { return systemError_; }

private:
    std::string path_;
    int systemError_;
};

enum class TParity : uint8_t { None, Odd, Even, Mark, Space };
enum class TStopBits : uint8_t { _1, _1_5, _2 };
enum class TByteSize : uint8_t { _5, _6, _7, _8 };
// Note: value 0 means "enable" here; the platform numbering differs.
enum class TDtrControl : uint8_t { DtrEnable, DtrDisable, DtrHandshake };
enum class TRtsControl : uint8_t { RtsEnable, RtsDisable, RtsHandshake, RtsTransmissionAvailable };

// Communication error bits (OnReceiveError), as the platform reports them.
enum : uint32_t {
    CE_RXOVER = 0x0001,
    CE_OVERRUN = 0x0002,
    CE_RXPARITY = 0x0004,
    CE_FRAME = 0x0008,
    CE_BREAK = 0x0010,
    CE_TXFULL = 0x0100,
    CE_PTO = 0x0200,
    CE_IOE = 0x0400,
    CE_DNS = 0x0800,
    CE_OOP = 0x1000,
    CE_MODE = 0x8000,
};
// Modem event bits (OnModemStateChange).
enum : uint32_t { ModemRlsdChanged = 8, ModemRing = 4 };

// Events. `Sender` is always the component. A received `Buffer` is valid only during the
// call (copy what you keep); the byte after the last one is 0.
using TNotifyEvent = std::function<void(QObject* Sender)>;
using TReceiveDataEvent =
    std::function<void(QObject* Sender, const void* Buffer, uint16_t BufferLength)>;
using TReceiveErrorEvent = std::function<void(QObject* Sender, uint32_t EventMask)>;
using TModemStateChangeEvent = std::function<void(QObject* Sender, uint32_t ModemEvent)>;
using TSendDataEmptyEvent = std::function<void(QObject* Sender)>;

namespace serial {
class Port;
class PortFactory;
class NotifyTarget;
class TReadThread;
class TWriteThread;
} // namespace serial

class TComm : public QObject {
    Q_OBJECT
public:
    explicit TComm(QObject* owner = nullptr);
    // Closes the port if it is still open (the owner should have done so already).
    ~TComm() override;

    // Opens the port named by CommName with the configured settings and starts the reader
    // and writer threads. Throws ECommsError ("This serial port already opened",
    // "Error opening serial port", "File handle is not a comm handle ",
    // "Cannot setup comm buffer", "Unable to create event", "Unable to create read thread",
    // "Unable to create write thread"); after a failure nothing stays allocated.
    // A network port (tcp://HOST:PORT) returns at once with its connection being made; blocks
    // sent meanwhile go out once it is up. A connection that cannot be made within the
    // connect time-out (3 s), or that is lost later, raises OnRequestHangup once, with its
    // reason left in LostPortError(); with no OnRequestHangup assigned that error goes to
    // the application's error report instead. Unless SetOpenWaitsForConnection(true).
    void OpenPort();
    // For a program without a user interface to keep responsive (democomm-cli): OpenPort
    // waits for a network port's connection, and one that cannot be made fails the open
    // ("Error opening serial port", the tcp:// name and the reason) as a serial port that
    // cannot be opened does. Process-wide; default false. Main thread, before any open.
    static void SetOpenWaitsForConnection(bool wait);
    // Stops both threads (at most 10 s each) and closes the port. Harmless when closed.
    void ClosePort();
    // Queues a copy of Length bytes for the writer (or, when the writer is idle, writes them
    // at once without waiting); never blocks. Always pulses RTS first (50 ms). False when
    // the port is closed, Length is 0, the writer has ended, or the reply watchdog
    // (LineBreakTime) could not be started.
    bool SendData(const void* Buffer, uint16_t Length);

    bool IsOpen() const;

    // Published properties. Setters: an equal value does nothing; otherwise the value is
    // stored and, while open, the whole group is re-applied (line settings or time-outs).
    // CommName, Parity and LineBreakTime are only stored.
    QString CommName() const { return commName_; }
    void setCommName(const QString& v);
    uint32_t BaudRate() const { return baudRate_; }
    void setBaudRate(uint32_t v);
    uint32_t LineBreakTime() const { return lineBreakTime_; }
    void setLineBreakTime(uint32_t v);
    bool ParityCheck() const { return parityCheck_; }
    void setParityCheck(bool v);
    bool Outx_CtsFlow() const { return outxCtsFlow_; }
    void setOutx_CtsFlow(bool v);
    bool Outx_DsrFlow() const { return outxDsrFlow_; }
    void setOutx_DsrFlow(bool v);
    TDtrControl DtrControl() const { return dtrControl_; }
    void setDtrControl(TDtrControl v);
    bool DsrSensitivity() const { return dsrSensitivity_; }
    void setDsrSensitivity(bool v);
    bool TxContinueOnXoff() const { return txContinueOnXoff_; }
    void setTxContinueOnXoff(bool v);
    bool Outx_XonXoffFlow() const { return outxXonXoffFlow_; }
    void setOutx_XonXoffFlow(bool v);
    bool Inx_XonXoffFlow() const { return inxXonXoffFlow_; }
    void setInx_XonXoffFlow(bool v);
    bool ReplaceWhenParityError() const { return replaceWhenParityError_; }
    void setReplaceWhenParityError(bool v);
    bool IgnoreNullChar() const { return ignoreNullChar_; }
    void setIgnoreNullChar(bool v);
    TRtsControl RtsControl() const { return rtsControl_; }
    void setRtsControl(TRtsControl v);
    uint16_t XonLimit() const { return xonLimit_; }
    void setXonLimit(uint16_t v);
    uint16_t XoffLimit() const { return xoffLimit_; }
    void setXoffLimit(uint16_t v);
    TByteSize ByteSize() const { return byteSize_; }
    void setByteSize(TByteSize v);
    TParity Parity() const { return parity_; }
    void setParity(TParity v);
    TStopBits StopBits() const { return stopBits_; }
    void setStopBits(TStopBits v);
    char XonChar() const { return xonChar_; }
    void setXonChar(char v);
    char XoffChar() const { return xoffChar_; }
    void setXoffChar(char v);
    char ReplacedChar() const { return replacedChar_; }
    void setReplacedChar(char v);
    uint32_t ReadIntervalTimeout() const { return readIntervalTimeout_; }
    void setReadIntervalTimeout(uint32_t v);
    uint32_t ReadTotalTimeoutMultiplier() const { return readTotalTimeoutMultiplier_; }
    void setReadTotalTimeoutMultiplier(uint32_t v);
    uint32_t ReadTotalTimeoutConstant() const { return readTotalTimeoutConstant_; }
    void setReadTotalTimeoutConstant(uint32_t v);
    uint32_t WriteTotalTimeoutMultiplier() const { return writeTotalTimeoutMultiplier_; }
    void setWriteTotalTimeoutMultiplier(uint32_t v);
    uint32_t WriteTotalTimeoutConstant() const { return writeTotalTimeoutConstant_; }
    void setWriteTotalTimeoutConstant(uint32_t v);

    // Events, raised only when assigned, always on the user-interface thread.
    TReceiveDataEvent OnReceiveData;
    TReceiveErrorEvent OnReceiveError;
    TModemStateChangeEvent OnModemStateChange;
    TNotifyEvent OnRequestHangup;
    TSendDataEmptyEvent OnSendDataEmpty;
    TNotifyEvent OnLineBreak;

    // Test seam: where ports come from (the POSIX port layer by default).
    void SetPortFactory(std::shared_ptr<serial::PortFactory> factory);

private:
    friend class serial::NotifyTarget;

    // The notification target's message handler (user-interface thread).
    void CommWndProc(QEvent* event);
    void HandleTimer(int qtTimerId);
    void ApplyCommState();
    void ApplyCommTimeouts();
    void StopReadThread();
    void StopWriteThread();
    // Closes what OpenPort made so far (failure paths and ClosePort).
    void ReleasePort();
    void StartTimer(int identifier, uint32_t ms);
    void StopTimer(int identifier);
    template <class T> void SetLineSetting(T& field, const T& value);
    template <class T> void SetTimeout(T& field, const T& value);

    // Keeps the reason of a hangup where the port can tell it (LostPortError).
    std::optional<ECommsError> NoteLostPort();

    std::shared_ptr<serial::PortFactory> factory_;
    std::unique_ptr<serial::NotifyTarget> notifyWindow_;
    std::unique_ptr<serial::Port> port_; // set exactly while open
    std::string path_;                   // the device (or tcp:// name) port_ was opened on
    int stopEvent_ = -1;
    std::unique_ptr<serial::TReadThread> readThread_;
    std::unique_ptr<serial::TWriteThread> writeThread_;
    bool hangupRaised_ = false;     // OnRequestHangup was raised since the port was opened
    bool directSentPosted_ = false; // a WM_COMM_SENT for blocks SendData wrote is on its way
    bool directSentVoid_ = false;   // ... and the writer announces the last block instead
    int rtsTimerId_ = 0;            // Qt's id of timer 1, 0 when not running
    int lineBreakTimerId_ = 0;      // Qt's id of timer 2

    QString commName_ = QStringLiteral("COM2");
    uint32_t baudRate_ = 9600;
    uint32_t lineBreakTime_ = 10000;
    bool parityCheck_ = false;
    bool outxCtsFlow_ = false;
    bool outxDsrFlow_ = false;
    TDtrControl dtrControl_ = TDtrControl::DtrEnable;
    bool dsrSensitivity_ = false;
    bool txContinueOnXoff_ = true;
    bool outxXonXoffFlow_ = true;
    bool inxXonXoffFlow_ = true;
    bool replaceWhenParityError_ = false;
    bool ignoreNullChar_ = false;
    TRtsControl rtsControl_ = TRtsControl::RtsEnable;
    uint16_t xonLimit_ = 500;
    uint16_t xoffLimit_ = 500;
    TByteSize byteSize_ = TByteSize::_8;
    TParity parity_ = TParity::None;
    TStopBits stopBits_ = TStopBits::_1;
    char xonChar_ = 0x11;
    char xoffChar_ = 0x13;
    char replacedChar_ = 0x00;
    uint32_t readIntervalTimeout_ = 100;
    uint32_t readTotalTimeoutMultiplier_ = 0;
    uint32_t readTotalTimeoutConstant_ = 0;
    uint32_t writeTotalTimeoutMultiplier_ = 0;
    uint32_t writeTotalTimeoutConstant_ = 0;
};

// Why the port named `commName` (as given to setCommName) was last lost, when its port could
// tell (a network port): the error raised with that hangup, with the message OpenPort throws
// when the connection was never made ("Error opening serial port"), else "Serial port lost",
// the tcp:// name and the system's reason (refused, unreachable, name not found, reset).
// Kept until a TComm opens that name again. User-interface thread only.
std::optional<ECommsError> LostPortError(const QString& commName);
