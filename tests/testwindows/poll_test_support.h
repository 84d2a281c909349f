#pragma once
// Helpers for the reading windows' tests: a window whose port is open on a real
// pseudo-terminal (the test plays the slave at the master end), captured message boxes,
// and replies with their CRC.

#include "modbus/codec.h"
#include "serial/co.h"
#include "support/frames.h"
#include "support/pty.h"
#include "support/wait.h"
#include "testwindows/dialogs.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace polltest {

using Bytes = std::vector<uint8_t>;

using testsupport::WithCrc;

// The 8-byte request frame (codec layout) as a byte vector.
inline Bytes Frame(int32_t slave, uint8_t function, int32_t start, int32_t quantity) {
    const auto frame = modbus::BuildRequest(slave, function, start, quantity);
    return {frame.begin(), frame.end()};
}

// Captures every message box while alive; each carries the program's caption.
struct BoxCapture {
    QStringList texts;
    BoxCapture() {
        ui::SetBoxSink([this](const ui::BoxRecord& r) {
            EXPECT_EQ(r.caption, QStringLiteral("通讯演示"));
            texts << r.text;
        });
    }
    ~BoxCapture() { ui::SetBoxSink({}); }
};

template <class W> W* Find(QObject& form, const char* name) {
    return form.findChild<W*>(QString::fromLatin1(name));
}
inline QString Text(QObject& form, const char* name) {
    if (auto* edit = Find<QLineEdit>(form, name))
        return edit->text();
    if (auto* label = Find<QLabel>(form, name))
        return label->text();
    return QStringLiteral("<no %1>").arg(QString::fromLatin1(name));
}
// The text of the value box Edit<i>.
inline QString EditText(QObject& form, int i) {
    return Text(form, QStringLiteral("Edit%1").arg(i).toLatin1().constData());
}
inline void SetText(QObject& form, const char* name, const QString& text) {
    Find<QLineEdit>(form, name)->setText(text);
}
inline void Click(QObject& form, const char* name) {
    Find<QAbstractButton>(form, name)->click();
}
inline bool Enabled(QObject& form, const char* name) {
    return Find<QWidget>(form, name)->isEnabled();
}
inline QString Log(QObject& form) {
    return Find<QPlainTextEdit>(form, "MemoMsg")->toPlainText();
}
inline QString Line(const Bytes& frame) {
    return QString::fromStdString(modbus::FrameLine(frame));
}

// A reading window with its port open on a pseudo-terminal, as ShowWithPort leaves it but
// without the modal loop, so tests can press buttons and call handlers directly. Deliveries
// are counted; reads complete after 20 ms of silence to keep the suite quick.
template <class Form> struct OpenWindow {
    testsupport::PtyPair pty;
    Form form;
    int deliveries = 0;

    OpenWindow() {
        form.Comm32->setReadIntervalTimeout(20);
        form.Comm32->setCommName(QString::fromStdString(pty.SlavePath()));
        auto handler = form.Comm32->OnReceiveData;
        form.Comm32->OnReceiveData = [this, handler](QObject* s, const void* b, uint16_t n) {
            ++deliveries;
            handler(s, b, n);
        };
        form.Comm32->OpenPort();
        form.EnableButtons();
    }
    ~OpenWindow() { form.FormClose(); }

    // The next request as it arrived at the far end.
    Bytes Request(int timeoutMs = 3000) { return pty.ReadExactly(8, timeoutMs); }
    // Writes a reply at the far end and waits until the window has been handed it.
    bool Reply(const Bytes& bytes) {
        const int before = deliveries;
        pty.Write(bytes);
        return testsupport::WaitUntil([&] { return deliveries > before; });
    }
    // Nothing arrives at the far end for `ms`.
    bool Silent(int ms = 150) { return pty.ReadFor(ms).empty(); }
};

} // namespace polltest
