#include "startupprobe.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

namespace app {

namespace {

class StartupProbe : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Expose || fired_ ||
            !static_cast<QWindow*>(watched)->isExposed())
            return false;
        fired_ = true;
        // Queued: runs after the exposure, and so the first paint, has been handled.
        QTimer::singleShot(0, this, [] {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            long rss = 0;
            std::ifstream status("/proc/self/status");
            for (std::string line; std::getline(status, line);)
                if (line.rfind("VmRSS:", 0) == 0)
                    rss = std::stol(line.substr(6));
            std::printf("shown %lld rss %ld\n",
                        static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec, rss);
            std::fflush(stdout);
            QCoreApplication::quit();
        });
        return false;
    }

private:
    bool fired_ = false;
};

} // namespace

void ArmStartupProbe(QWidget& mainWindow) {
    mainWindow.winId(); // creates the native window, so that its exposure can be watched
    QWindow* window = mainWindow.windowHandle();
    window->installEventFilter(new StartupProbe(window));
}

} // namespace app
