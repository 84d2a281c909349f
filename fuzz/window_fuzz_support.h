#pragma once
// What the window fuzz targets share: a QApplication on the offscreen platform created once
// in LLVMFuzzerInitialize, message boxes captured instead of shown (nothing may block), and a
// check that every box shown is one the windows' rules give.
//
// The windows are built once and kept for the whole run, so their state (receive buffer,
// counters, timers, texts) carries over from one input to the next, as it does in use.
// Their ports are never opened: a send is refused and shows "writeerror", which is captured.

#include "testwindows/dialogs.h"
#include "testwindows/pollexchange.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QSet>
#include <QString>

#include <cstdio>
#include <cstdlib>

// Fontconfig keeps its pattern caches for the life of the process without a reference
// LeakSanitizer can see; libFuzzer's leak check would stop every run on them.
// Defined here, not inline: the header is part of exactly one source of each target.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace fuzzsupport {

inline void StartApplication() {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "democomm-fuzz";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    (void)app;

    static const QSet<QString> allowed = [] {
        QSet<QString> texts{QStringLiteral("writeerror"), QStringLiteral("填写数据不能为空"),
                            QStringLiteral("line break"),
                            QStringLiteral("功能码06,数据只能填写一行!"),
                            QStringLiteral("功能码10,数据最多只能填写124行!")};
        for (const auto& [mask, text] : testwindows::PollForm::ReceiveErrorTexts)
            texts << QString::fromLatin1(text);
        return texts;
    }();
    ui::SetBoxSink([](const ui::BoxRecord& box) {
        if (box.kind == ui::BoxKind::Beep)
            return;
        // An error report means an exception left a handler: a finding.
        if (box.kind != ui::BoxKind::Message || !allowed.contains(box.text)) {
            std::fprintf(stderr, "unexpected box: %s\n", box.text.toUtf8().constData());
            std::abort();
        }
    });
}

// After each input: the events the handlers posted are delivered, as the event loop would
// between two port events (a hidden text box defers its layout work to posted events, which
// would otherwise pile up over millions of inputs); timers are left alone, so a run stays
// reproducible. The reply log only ever grows while replies come in (that is the windows'
// rule), so the harness also empties it now and then to keep the run's memory bounded.
inline void AfterInput(QObject& window) {
    QCoreApplication::sendPostedEvents();
    if (auto* memo = window.findChild<QPlainTextEdit*>(QStringLiteral("MemoMsg"));
        memo != nullptr && memo->blockCount() > 2000)
        memo->clear();
}

} // namespace fuzzsupport
