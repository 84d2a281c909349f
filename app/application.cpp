#include "application.h"

#include "serial/portlist.h"
#include "ui/dialogs.h"

#include <QAction>
#include <QApplication>
#include <QPixmap>
#include <QSocketNotifier>
#include <QWidget>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace app {

namespace {
const char* const HelpText =
    "Usage: democomm [Qt options]\n"
    "       democomm --list-ports | --help | --version\n"
    "\n"
    "通讯演示: Modbus RTU master test tool for the serial interface of an automatic\n"
    "quasi-synchronisation measuring and control device. Choose the port and baud rate\n"
    "in the settings dialog, then open one of the three test windows.\n"
    "\n"
    "Options:\n"
    "  --list-ports   list the serial ports present (and the simulator's alias) and exit\n"
    "  -h, --help     show this text and exit\n"
    "  -v, --version  show the version and exit\n";
} // namespace

std::optional<int> HandleCommandLine(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(HelpText, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-v") == 0) {
            std::printf("democomm %s\n", DEMOCOMM_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--list-ports") == 0) {
            std::fputs(serial::FormatPortTable(serial::ListPorts()).c_str(), stdout);
            return 0;
        }
    }
    return std::nullopt;
}

void InstallFontSubstitutes() {
    // The definitions name the Windows font "宋体"; these carry the same glyphs on Linux.
    // Qt falls through the list in order and uses the first family present.
    QFont::insertSubstitutions(QStringLiteral("宋体"),
                               {QStringLiteral("SimSun"), QStringLiteral("NSimSun"),
                                QStringLiteral("WenQuanYi Micro Hei"),
                                QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Sans SC"),
                                QStringLiteral("Droid Sans Fallback")});
}

QFont WindowFont(int pixelSize) {
    QFont font(QStringLiteral("宋体"));
    font.setPixelSize(pixelSize);
    return font;
}

void InitialiseApplication(QApplication& application) {
    // The title "通讯演示" is not given to Qt as the display name: on X11 Qt would append it
    // to every window caption. Message boxes take it from ui::ApplicationTitle().
    QApplication::setApplicationName(QStringLiteral("democomm"));
    QApplication::setApplicationVersion(QStringLiteral(DEMOCOMM_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("democomm"));
    application.setWindowIcon(QIcon(QStringLiteral(":/pictures/democomm.png")));
    InstallFontSubstitutes();
    QApplication::setFont(WindowFont(12));
    ui::InstallErrorReport();
}

namespace {
// The signal handler only writes to this pipe; the event loop does the rest as ordinary code.
int StopPipe[2] = {-1, -1};
void OnStopSignal(int) {
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(StopPipe[1], &c, 1);
}
} // namespace

void QuitOnStopSignals() {
    std::signal(SIGPIPE, SIG_IGN);
    if (StopPipe[0] >= 0 || ::pipe2(StopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(StopPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
        char sink[16];
        while (::read(StopPipe[0], sink, sizeof sink) > 0) {
        }
        // A window may refuse to close, or sit in a modal loop: exit() ends every loop anyway,
        // and the windows close their ports when they are destroyed on the way out.
        QApplication::closeAllWindows();
        QCoreApplication::exit(0);
    });
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal ignored from the start stays ignored (nohup).
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            ::sigaction(sig, &sa, nullptr);
    }
}

QIcon TwoImageGlyph(const char* const xpm[]) {
    const QPixmap both(xpm);
    QIcon icon;
    if (both.isNull())
        return icon;
    const int side = both.height();
    icon.addPixmap(both.copy(0, 0, side, side), QIcon::Normal);
    if (both.width() >= 2 * side)
        icon.addPixmap(both.copy(side, 0, side, side), QIcon::Disabled);
    return icon;
}

QString ShortHint(const QString& hint) {
    const qsizetype bar = hint.indexOf(QLatin1Char('|'));
    return bar < 0 ? hint : hint.left(bar);
}

QString LongHint(const QString& hint) {
    const qsizetype bar = hint.indexOf(QLatin1Char('|'));
    return bar < 0 ? hint : hint.mid(bar + 1);
}

namespace {
template <class T> void ApplyHint(T* object) {
    const QVariant hint = object->property("hint");
    if (!hint.isValid())
        return;
    object->setToolTip(ShortHint(hint.toString()));
    object->setStatusTip(LongHint(hint.toString()));
}
} // namespace

void ApplyHints(QObject* root) {
    if (auto* w = qobject_cast<QWidget*>(root))
        ApplyHint(w);
    for (QWidget* w : root->findChildren<QWidget*>())
        ApplyHint(w);
    for (QAction* a : root->findChildren<QAction*>())
        ApplyHint(a);
}

} // namespace app
