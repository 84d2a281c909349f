#include "screenshot.h"

#include "app/demomain.h"
#include "app/init.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEnterEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>

#include <csignal>
#include <cstdio>
#include <memory>

namespace app {

namespace {

struct TShooter {
    QDir dir;
    QString quitRoute;
    bool failed = false;

    void Save(const QPixmap& picture, const QString& name) {
        const QString path = dir.filePath(name);
        if (picture.isNull() || !picture.save(path, "PNG")) {
            std::fprintf(stderr, "democomm: cannot save %s\n", qPrintable(path));
            failed = true;
        }
    }

    // The screen region around a widget, so that popups over it are in the picture too.
    // Platforms without a screen to read (offscreen) give the widget alone.
    void SaveArea(QWidget& w, const QRect& extra, const QString& name) {
        QScreen* screen = w.screen();
        QRect area = w.frameGeometry().united(extra);
        QPixmap shot = screen
                           ? screen->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                           : QPixmap();
        Save(shot.isNull() ? w.grab() : shot, name);
    }
};

void Later(int ms, std::function<void()> f) {
    QTimer::singleShot(ms, qApp, std::move(f));
}

void Enter(QWidget* w) {
    QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), w->mapToGlobal(QPointF(1, 1)));
    QCoreApplication::sendEvent(w, &enter);
}

} // namespace

bool ArmScreenshots(TDemoMainForm& mainForm, TInitForm& initForm) {
    const QString folder = qEnvironmentVariable("DEMOCOMM_SCREENSHOT_DIR");
    if (folder.isEmpty())
        return false;
    auto shooter = std::make_shared<TShooter>();
    shooter->dir = QDir(folder);
    shooter->quitRoute = qEnvironmentVariable("DEMOCOMM_SCREENSHOT_QUIT", QStringLiteral("button"));
    QDir().mkpath(folder);

    TDemoMainForm* main = &mainForm;
    TInitForm* init = &initForm;
    Later(500, [=] {
        shooter->Save(main->grab(), QStringLiteral("main.png"));
        auto* initButton = main->findChild<QToolButton*>(QStringLiteral("InitSpdBut"));
        Enter(initButton);
        shooter->Save(main->grab(), QStringLiteral("main-hint.png"));
        QToolTip::showText(initButton->mapToGlobal(QPoint(8, initButton->height() + 4)),
                           initButton->toolTip(), initButton);
        Later(300, [=] {
            QWidget* tip = nullptr;
            for (QWidget* w : QApplication::topLevelWidgets())
                if (w->objectName() == QLatin1String("qtooltip_label") && w->isVisible())
                    tip = w;
            shooter->Save(tip ? tip->grab() : QPixmap(), QStringLiteral("tooltip.png"));
            QToolTip::hideText();
        });

        auto* bar = main->findChild<QMenuBar*>(QStringLiteral("MainMenu1"));
        auto* system = main->findChild<QMenu*>(QStringLiteral("N5"));
        Later(400, [=] { bar->setActiveAction(system->menuAction()); });
        Later(700, [=] {
            system->setActiveAction(main->findChild<QAction*>(QStringLiteral("N6")));
            Later(300, [=] {
                shooter->SaveArea(*main, system->geometry(), QStringLiteral("main-menu.png"));
                system->hide();
                // Into the settings dialog; the steps inside run in its modal loop.
                Later(300, [=] {
                    shooter->Save(init->grab(), QStringLiteral("init.png"));
                    // The port list open: COM1..COM4 and the ports present, described.
                    auto* port = init->findChild<QComboBox*>(QStringLiteral("CommNumberComBox"));
                    port->showPopup();
                    Later(300, [=] {
                        shooter->SaveArea(*init, port->view()->window()->geometry(),
                                          QStringLiteral("init-ports.png"));
                        port->hidePopup();
                        auto* baud = init->findChild<QComboBox*>(QStringLiteral("BTComBox"));
                        Later(300, [=] {
                            if (QWidget* box = QApplication::activeModalWidget();
                                box && box != init) {
                                shooter->Save(box->grab(), QStringLiteral("error.png"));
                                box->close();
                            } else {
                                shooter->Save(QPixmap(), QStringLiteral("error.png"));
                            }
                        });
                        baud->setEditText(QString()); // the error report for an empty text
                        Later(300, [=] {
                            init->findChild<QAbstractButton*>(QStringLiteral("BitBtn2"))->click();
                        });
                    });
                });
                main->findChild<QToolButton*>(QStringLiteral("InitSpdBut"))->click();
                // The monitor, when asked for: started, left to chart the simulator's cycle
                // for the given seconds, grabbed and closed (its modal loop runs meanwhile).
                if (const int seconds = qEnvironmentVariableIntValue("DEMOCOMM_SCREENSHOT_MONITOR");
                    seconds > 0) {
                    Later(300, [=] {
                        QWidget* monitor = QApplication::activeModalWidget();
                        if (!monitor || monitor->objectName() != QLatin1String("MonitorForm"))
                            return shooter->Save(QPixmap(), QStringLiteral("monitor.png"));
                        monitor->findChild<QAbstractButton*>(QStringLiteral("StartBtn"))->click();
                        Later(seconds * 1000, [=] {
                            shooter->Save(monitor->grab(), QStringLiteral("monitor.png"));
                            // The report of what it showed (the script renders a page of it).
                            bool written = false;
                            QMetaObject::invokeMethod(
                                monitor, "ReportTo", Q_RETURN_ARG(bool, written),
                                Q_ARG(QString,
                                      shooter->dir.filePath(QStringLiteral("report.pdf"))));
                            if (!written)
                                shooter->failed = true;
                            monitor->close();
                        });
                    });
                    main->findChild<QAction*>(QStringLiteral("N8"))->trigger();
                }
                // Back from the dialog: end the program the chosen way.
                if (shooter->failed) {
                    QCoreApplication::exit(3);
                } else if (shooter->quitRoute == QLatin1String("menu")) {
                    main->findChild<QAction*>(QStringLiteral("N7"))->trigger();
                } else if (shooter->quitRoute == QLatin1String("close")) {
                    main->close();
                } else if (shooter->quitRoute == QLatin1String("signal")) {
                    ::raise(SIGTERM); // as a session manager or `kill` ends it
                } else {
                    main->findChild<QToolButton*>(QStringLiteral("QuitSpdBut"))->click();
                }
            });
        });
    });
    return true;
}

} // namespace app
