// The yardstick of bench/startup_bench: the smallest Qt Widgets program with a main window
// (a menu bar, a tool bar and a status bar, as democomm's has), probed the same way as
// democomm's DEMOCOMM_STARTUP_PROBE: "shown <CLOCK_MONOTONIC ns> rss <KiB>" once the window's
// first exposure has been handled, then the program ends.
#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QWindow>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

namespace {

class StartupProbe : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Expose || fired_ ||
            !static_cast<QWindow*>(watched)->isExposed())
            return false;
        fired_ = true;
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

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("minimal"));
    window.menuBar()->addMenu(QStringLiteral("File"));
    window.addToolBar(QStringLiteral("tools"))->addAction(QStringLiteral("Quit"));
    window.statusBar()->showMessage(QStringLiteral("ready"));
    window.resize(640, 480);
    window.winId();
    window.windowHandle()->installEventFilter(new StartupProbe(window.windowHandle()));
    window.show();
    return application.exec();
}
