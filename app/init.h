#pragma once
// TInitForm: the modal dialog in which the user picks the serial port and baud rate for the
// test windows. It neither checks nor applies them: the caller reads the result and, for
// OK, CommBaudRate() and CommPortName(). Created once and reused; every ShowWithPort starts
// from the caller's values, so edits abandoned earlier never reappear.
// The port list holds "COM1".."COM4" and then the ports present, read afresh by every
// ShowWithPort, each shown with its description in a dropdown wider than the box.
// User-interface thread only.

#include "serial/exception.h"
#include "serial/portlist.h"

#include <QDialog>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace Ui {
class TInitForm;
}

// A text that is not an integer; message "'<text>' is not a valid integer value".
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// The whole text as a decimal integer: an optional sign and digits, nothing else, within
// the 32-bit range. Throws EConvertError otherwise.
int32_t StrToInt(const QString& text);

class TInitForm : public QDialog {
    Q_OBJECT
public:
    // Modal results: "确定" gives mrOk, "取消" and Esc mrNo, the close box mrCancel.
    enum TModalResult : int { mrNone = 0, mrOk = 1, mrCancel = 2, mrNo = 7 };
    // How many characters may be typed into the baud box (list entries may be longer).
    static constexpr int BaudTypingLimit = 4;

    explicit TInitForm(QWidget* parent = nullptr);
    ~TInitForm() override;

    // Takes the caller's values into the fields and boxes, shows the dialog modally and
    // returns when it has closed; result() then holds the modal result.
    void ShowWithPort(int32_t baudRate, const QString& commName);

    // Where ShowWithPort reads the ports present; serial::ListPorts unless a test sets another.
    using TPortSource = std::function<std::vector<serial::PortInfo>()>;
    void SetPortSource(TPortSource source) { PortSource_ = std::move(source); }

    int32_t CommBaudRate() const { return CommBaudRate_; }
    QString CommPortName() const { return CommPortName_; }

    // Change handlers, run on every text change of their box (typing or choosing from the
    // list). BTComBoxChange throws EConvertError for a text that is not an integer and then
    // keeps the last valid value; CommNumberComBoxChange takes any text unchanged.
    void BTComBoxChange();
    void CommNumberComBoxChange();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override;
    void showEvent(QShowEvent* event) override;

private:
    void FillPortList();

    std::unique_ptr<Ui::TInitForm> ui_;
    TPortSource PortSource_ = serial::ListPorts;
    int32_t CommBaudRate_ = 0;
    QString CommPortName_;
};
