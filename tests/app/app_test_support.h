#pragma once
// Helpers for the shell's tests: captured boxes, modal windows driven by a queued callback.

#include "app/application.h"
#include "ui/dialogs.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <functional>
#include <vector>

namespace apptest {

// Captures every box (each with the program's caption); Guarded() reports here.
struct BoxCapture {
    BoxCapture() {
        app::InstallFontSubstitutes();
        ui::InstallErrorReport();
        ui::SetBoxSink([this](const ui::BoxRecord& r) {
            EXPECT_EQ(r.caption, QStringLiteral("通讯演示"));
            boxes.push_back(r);
        });
    }
    ~BoxCapture() { ui::SetBoxSink({}); }
    std::vector<QString> ErrorReports() const {
        std::vector<QString> out;
        for (const auto& b : boxes)
            if (b.kind == ui::BoxKind::ErrorReport)
                out.push_back(b.text);
        return out;
    }
    std::vector<ui::BoxRecord> boxes;
};

// Runs `open` (which shows a window modally and returns when it has closed) with `inside`
// queued to run in the modal loop. A guard closes whatever modal window is still open after
// a few seconds, so a test that fails to close its window fails instead of hanging.
inline void DriveModal(const std::function<void()>& open, std::function<void()> inside) {
    QTimer::singleShot(0, qApp, std::move(inside));
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] {
        ADD_FAILURE() << "a modal window was left open";
        while (QWidget* w = QApplication::activeModalWidget())
            w->close();
    });
    guard.start(5000);
    open();
}

template <class T> T* Find(const QObject& parent, const char* name) {
    T* child = parent.findChild<T*>(QString::fromLatin1(name));
    if (!child)
        ADD_FAILURE() << "no control " << name;
    return child;
}

} // namespace apptest
