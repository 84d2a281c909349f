#pragma once
// PollForm: the polling exchange of the two reading test windows (registers, switch states).
//
// A reading window sends one 8-byte request, logs it, waits for the reply, checks it (CRC,
// length, refusal), logs and decodes it, and after each accepted reply pauses 1000 ms and
// sends the same request again until the user stops or closes the window. That cycle, the
// handling of reply time-outs and port errors, and the common controls (log, slave label,
// manual request group, Stop and Exit) live here once; a window adds its frame layout, its
// decoding and its own controls through the two hooks BuildRequestFrame and DecodeReply.
//
// Threading: user-interface thread only. Every handler runs there (buttons, the poll timer,
// and Comm32's events, which TComm raises on that thread), so handlers never overlap.

#include "testwindows/formutil.h"

#include <QDialog>
#include <QList>
#include <QString>

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

class QAbstractButton;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QSpinBox;
class QTimer;
class TComm;

namespace testwindows {

// Removes the characters with codes up to 32 (blanks and control characters) from both ends;
// the trimming applied to hexadecimal input before it is tested for emptiness or taken as a
// slave number.
QString TrimControls(const QString& text);

// The value of a hexadecimal number typed into an edit box (modbus::HexStrToInt on its text).
int32_t HexTextToInt(const QString& text);

class PollForm : public QDialog {
    Q_OBJECT
public:
    // The window's serial port, owned by the window and configured with the test windows'
    // settings; its three events are wired to the Comm32 handlers below.
    TComm* Comm32 = nullptr;

    // Window state: the slave of the current request (bits 7..0 go into the frame, cjLabel
    // shows the whole value), the kind the poll tick repeats, and whether re-arming the
    // poll timer is suppressed.
    int32_t SlaveNumber = 0;
    uint8_t RequestKind = 0;
    bool Stopped = false;

    // The unit's module state. The window is created once for the whole run, so holding it
    // here gives exactly one instance per unit.
    TReceiveBuffer ReceiveBuffer{};
    std::string SendText;    // frame line of the last request built
    std::string ReceiveText; // frame line of the last delivery that passed the CRC test
    bool ReplySeen = false;  // a delivery passed all checks since the last start
    // Consecutive reply time-outs since the last reply that passed all checks or the last
    // user start (a start button, "发送", reopening the window), counted from 1. A time-out
    // that finds it above 5 while polling gives up (see Comm32LineBreak).
    int32_t TimeoutCount = 1;

    // --- Handlers shared by both windows (public so that tests can call them directly) ---

    // Manual request: "填写数据不能为空" when a manual input is empty; otherwise starts
    // polling the request built from the manual inputs for the hexadecimal slave number.
    void SendBitbtnClick();
    // Empties the three manual inputs.
    void ClearBitBtnClick();
    // Enables the start buttons and stops re-arming; a pause already running still ends in
    // one more request.
    void StopBitBtnClick();
    // Closes the window (modal result: rejected); FormClose runs.
    void BitBtn2Click();
    // Runs whenever the window closes: closes the port, stops polling.
    void FormClose();

    // One delivery of received bytes, taken as one whole reply (deliveries are never
    // joined). At most ReceiveBuffer's 1024 bytes are copied; the checks use the delivered
    // bytes. CRC failure halts silently; a complete, accepted reply is logged, decoded and
    // re-polled 1000 ms later.
    void Comm32ReceiveData(QObject* Sender, const void* Buffer, uint16_t BufferLength);
    // Communication error flags: one English message box for each single recognised flag;
    // masks with several bits set show nothing. Polling goes on.
    void Comm32ReceiveError(QObject* Sender, uint32_t EventMask);
    // Reply time-out: counts it and pauses before a repeat; the sixth consecutive time-out
    // gives up ("line break", timer off, stopped, start buttons enabled) unless the user
    // has already stopped. Before the first accepted reply of a start the pause ends in no
    // request: the cycle halts with the start buttons disabled until Stop.
    void Comm32LineBreak(QObject* Sender);

    // --- Operations ---
    // Builds the request of `kind`, hands it to the port, logs it ("writeerror" when the
    // port refuses it) and shows the slave number. Manual inputs are read afresh each time.
    void SendRequest(uint8_t kind);
    // True when slave number, start address and quantity are all non-empty after trimming.
    bool InputsFilled() const;
    void ClearDataEdits();
    void EnableButtons();
    void DisableButtons();

    // The texts every receive-error mask is compared with, in the order they are tested.
    static const std::pair<uint32_t, const char*> ReceiveErrorTexts[9];

protected:
    // `manualKind` is the request kind of the manual request; `timerName` the objectName of
    // the poll timer.
    PollForm(QWidget* parent, uint8_t manualKind, const char* timerName);

    // Takes the controls both windows have, by their objectNames, from the window's
    // generated form, wires the shared buttons and sets the common fonts. Called once by
    // the window's constructor after setupUi; `startButtons` are those EnableButtons and
    // DisableButtons switch, `dataEdits` those ClearDataEdits empties.
    template <class Form>
    void BindControls(Form& form, QList<QAbstractButton*> startButtons,
                      QList<QLineEdit*> dataEdits) {
        Bind({form.MemoMsg, form.cjLabel, form.UpDownbegin, form.CurrentNumberEdit,
              form.AddressEdit, form.ByteCountEdit, form.SendBitbtn, form.ClearBitBtn,
              form.StopBitBtn, form.BitBtn2, std::move(startButtons), std::move(dataEdits)});
    }

    // Hook: lay out the request of `kind` (also setting SendText) and return its bytes; they
    // stay valid until the next call.
    virtual std::span<const uint8_t> BuildRequestFrame(uint8_t kind) = 0;
    // Hook: decode the accepted reply to a request of `kind` from ReceiveBuffer.
    virtual void DecodeReply(uint8_t kind) = 0;

    // A start button: clears the values, starts polling `kind` for the spinner's slave.
    void StartPolling(uint8_t kind);
    // The poll timer's tick: off first, then the same request again if a reply was accepted.
    void PollTick();
    // First steps of ShowWithPort: the port settings (baud rate first) and an empty log.
    void PreparePort(uint32_t baudRate, const QString& commName);
    // Start address and quantity of the manual request, read from the edits (quantity first).
    std::pair<int32_t, uint16_t> ManualFields() const;
    // Lays out the request `function` for SlaveNumber into `frame` and its log line into
    // SendText; start and quantity enter it modulo 65536.
    void LayOutRequest(std::vector<uint8_t>& frame, uint8_t function, int32_t start,
                       uint16_t quantity);

    // The value box `index` (from 0) of those given to BindControls.
    QLineEdit* DataEdit(qsizetype index) const { return controls_.dataEdits.at(index); }
    QTimer* PollTimer() const { return pollTimer_; }
    QSpinBox* SlaveSpinner() const { return controls_.upDown; }

    ~PollForm() override;

    // Every way of closing the window (Exit, close box) ends here; Esc is no way out.
    void done(int result) override;
    void keyPressEvent(QKeyEvent* event) override;
    // Opens centred on the screen, wherever the main window is.
    void showEvent(QShowEvent* event) override;

private:
    // Every user start (a read button, "发送"): values cleared, counts from nothing, first request.
    void Start(uint8_t kind, int32_t slave);
    struct Controls {
        QPlainTextEdit* memo = nullptr;
        QLabel* cjLabel = nullptr;
        QSpinBox* upDown = nullptr;
        QLineEdit* currentNumberEdit = nullptr;
        QLineEdit* addressEdit = nullptr;
        QLineEdit* byteCountEdit = nullptr;
        QAbstractButton* sendButton = nullptr;
        QAbstractButton* clearButton = nullptr;
        QAbstractButton* stopButton = nullptr;
        QAbstractButton* exitButton = nullptr;
        QList<QAbstractButton*> startButtons;
        QList<QLineEdit*> dataEdits;
    };
    void Bind(Controls controls);
    void ShowSlaveNumber();
    void ArmPollTimer();

    const uint8_t manualKind_;
    QTimer* pollTimer_ = nullptr;
    Controls controls_;
};

} // namespace testwindows
