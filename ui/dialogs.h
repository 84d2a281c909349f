#pragma once
// Message boxes and the standard error report, shared by every window of the program.
//
// All boxes are modal, captioned with the application title, and have one OK button.
// Tests install a sink to capture boxes (and beeps) instead of showing them.
// User-interface thread only.

#include <QString>

#include <functional>

class ECommsError;

namespace ui {

// "通讯演示": taskbar text and caption of every message box.
QString ApplicationTitle();

enum class BoxKind { Message, ErrorReport, Beep };
struct BoxRecord {
    BoxKind kind;
    QString text;        // the main text as shown (error report: with the full-stop rule applied)
    QString informative; // error report only: the smaller text beneath, may be empty
    QString caption;     // the box's caption (a beep has none)
};
using BoxSink = std::function<void(const BoxRecord&)>;

// With a sink set, boxes and beeps go to it and nothing is shown; an empty sink restores
// real boxes.
void SetBoxSink(BoxSink sink);

// A plain message box ("填写数据不能为空", "writeerror", ...).
void ShowMessage(const QString& text);

// The standard error report: stop icon, the text with a full stop appended when its last
// character sorts after "." (so "Error opening serial port" gains one and
// "File handle is not a comm handle " does not), and an optional informative text.
void ShowErrorReport(const QString& text, const QString& informative = {});

// The full-stop rule on its own.
QString WithFullStop(const QString& text);

// The system's default beep (key filter refusals).
void Beep();

// Makes the standard error report the application's exception handler: every exception
// that leaves a handler run through Guarded() is shown with it. An ECommsError keeps its
// message as the main text and gets CommsErrorDetails() as the informative text.
void InstallErrorReport();

// What a user can act on when a port failed to open, in English like the component's
// messages: the device path tried, the system's reason (strerror of SystemError()), and a
// remedy where there is one (permission denied: join the dialout group; busy: another
// program holds the port; no such device: check the name, COMn means /dev/ttyS<n-1> unless
// an alias exists). Lines are separated by '\n'. Empty when the error names no path.
QString CommsErrorDetails(const ECommsError& error);

} // namespace ui
