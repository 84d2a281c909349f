#include "startup.h"

#include <QEvent>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <utility>

namespace app {

namespace {

class FirstExposure : public QObject {
public:
    FirstExposure(QWindow* window, std::function<void()> then)
        : QObject(window), then_(std::move(then)) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Expose || !then_ ||
            !static_cast<QWindow*>(watched)->isExposed())
            return false;
        // Queued: a filter sees the event before the window does, and `then` is to run once
        // the exposure, and so the first paint, has been handled.
        QTimer::singleShot(0, this, std::exchange(then_, {}));
        return false;
    }

private:
    std::function<void()> then_;
};

} // namespace

void AfterFirstExposure(QWidget& window, std::function<void()> then) {
    window.winId(); // creates the native window, so that its exposure can be watched
    QWindow* handle = window.windowHandle();
    handle->installEventFilter(new FirstExposure(handle, std::move(then)));
}

void ReportStartupStage(const char* stage) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long rss = 0;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            rss = std::stol(line.substr(6));
    std::printf("%s %lld rss %ld\n", stage,
                static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec, rss);
    std::fflush(stdout);
}

} // namespace app
