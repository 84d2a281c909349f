// democomm: start-up. Creates every window once, in a fixed order, runs the message loop and
// destroys the windows when it ends.

#include "app/application.h"
#include "app/demomain.h"
#include "app/init.h"
#include "app/screenshot.h"
#include "testwindows/JC.h"
#include "testwindows/KG.h"
#include "testwindows/writedemo.h"

#include <QApplication>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

namespace {

// Start-up probe, used by bench/startup_bench: when DEMOCOMM_STARTUP_PROBE is set, the program
// prints "shown <CLOCK_MONOTONIC ns> rss <KiB>" once the main window's first exposure has been
// handled (it is painted by then), and ends. The benchmark compares that with a plain Qt
// Widgets window probed the same way.
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

void ArmStartupProbe(QWidget& mainWindow) {
    if (qEnvironmentVariableIsEmpty("DEMOCOMM_STARTUP_PROBE"))
        return;
    mainWindow.winId(); // creates the native window, so that its exposure can be watched
    QWindow* window = mainWindow.windowHandle();
    window->installEventFilter(new StartupProbe(window));
}

} // namespace

int main(int argc, char** argv) {
    if (const auto exitCode = app::HandleCommandLine(argc, argv))
        return *exitCode;

    QApplication application(argc, argv);
    app::InitialiseApplication(application);

    // Order of creation: main window first (its FormCreate runs now), then the switch-status
    // window, the settings dialog, the write window and the register window. Each test window
    // creates its own closed serial component. Destroyed in reverse order on the way out.
    TDemoMainForm DemoMainForm;
    TKGForm KGForm(&DemoMainForm);
    TInitForm InitForm(&DemoMainForm);
    TWriteForm WriteForm(&DemoMainForm);
    TJCForm JCForm(&DemoMainForm);
    DemoMainForm.SetWindows({.KGForm = ShowWithPortOf(&KGForm),
                             .JCForm = ShowWithPortOf(&JCForm),
                             .WriteForm = ShowWithPortOf(&WriteForm),
                             .InitForm = &InitForm});

    app::ArmScreenshots(DemoMainForm, InitForm);
    ArmStartupProbe(DemoMainForm);
    DemoMainForm.show();
    return application.exec();
}
