#pragma once
// Waiting in tests without freezing the event loop the code under test runs on.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace testsupport {

// Processes events until `done()` is true or `timeoutMs` passes; returns done().
template <class Pred> bool WaitUntil(Pred done, int timeoutMs = 3000) {
    QDeadlineTimer deadline(timeoutMs);
    QTimer tick; // wakes the blocking wait below so the deadline and predicate are re-checked
    tick.start(2);
    while (!done()) {
        if (deadline.hasExpired())
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Processes events for `ms` milliseconds.
inline void Pump(int ms) {
    QDeadlineTimer deadline(ms);
    WaitUntil([&] { return deadline.hasExpired(); }, ms + 1000);
}

} // namespace testsupport
