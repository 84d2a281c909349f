// The yardstick of bench/startup_bench: the smallest Qt Widgets program with a main window
// (a menu bar, a tool bar and a status bar, as democomm's has). Once the window's first
// exposure has been handled it prints "shown <CLOCK_MONOTONIC ns> rss <KiB>", as democomm
// does under DEMOCOMM_STARTUP_PROBE, and ends.
#include "app/startup.h"

#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QStatusBar>
#include <QToolBar>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("minimal"));
    window.menuBar()->addMenu(QStringLiteral("File"));
    window.addToolBar(QStringLiteral("tools"))->addAction(QStringLiteral("Quit"));
    window.statusBar()->showMessage(QStringLiteral("ready"));
    window.resize(640, 480);
    app::AfterFirstExposure(window, [] {
        app::ReportStartupStage("shown");
        QCoreApplication::quit();
    });
    window.show();
    return application.exec();
}
