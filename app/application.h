#pragma once
// What the program sets up once before its windows exist, and small helpers the windows
// share: fonts, pictures and hints. User-interface thread only.

#include <QFont>
#include <QIcon>
#include <QString>

#include <optional>

class QAction;
class QApplication;
class QObject;
class QWidget;

namespace app {

// Handles --help/-h, --version/-v and --list-ports (the table of serial ports present) by
// printing to stdout, before any window exists, so all three work without a display. Returns
// the exit code when the program should stop there, nothing otherwise (other arguments are
// left to Qt).
std::optional<int> HandleCommandLine(int argc, char** argv);

// Application-wide set-up: name and version, window icon, the substitutes of the window
// font, that font as the default, and the standard error report as the handler of every
// exception that leaves a handler (Guarded()).
void InitialiseApplication(QApplication& application);

// Ends the program cleanly on SIGINT, SIGTERM and SIGHUP: every window is asked to close
// (closing its port, saving what it keeps) and the event loop ends with 0, as the quit button
// does. SIGPIPE is ignored. Without this a signal would end the program with its ports open,
// and a pseudo-terminal whose far end stays open would keep its exclusive mode, refusing
// every later open. Call once, after the application object exists.
void QuitOnStopSignals();

// The window definitions' font, "宋体" at `pixelSize` pixels. "宋体" rarely exists on
// Linux; InitialiseApplication registers substitutes that carry the Chinese glyphs.
QFont WindowFont(int pixelSize);
void InstallFontSubstitutes();

// Makes a two-image button picture (a 2n x n image: normal on the left, disabled on the
// right) into an icon with both modes. An empty or unreadable picture gives an empty icon.
// The pictures are compiled in as XPM data: reading image files would make Qt scan its
// image plugins, which costs start-up time.
QIcon TwoImageGlyph(const char* const xpm[]);

// Hints "short|long": the part before the first bar is shown as tooltip, the part after it
// in the status bar; a hint without a bar is used whole for both.
QString ShortHint(const QString& hint);
QString LongHint(const QString& hint);

// Applies the dynamic property "hint" of the window definitions: tooltip = short part,
// status tip = long part, for `root` and every widget and action below it.
void ApplyHints(QObject* root);

} // namespace app
