#pragma once
// Start-up probe for bench/startup_bench: once `mainWindow`'s first exposure has been handled
// (it is painted by then) the program prints "shown <CLOCK_MONOTONIC ns> rss <KiB>" on
// standard output and ends. democomm arms it only when DEMOCOMM_STARTUP_PROBE is set; the
// benchmark's minimal window always does, so both are measured the same way.
// User-interface thread; call before the window is shown.

class QWidget;

namespace app {
void ArmStartupProbe(QWidget& mainWindow);
}
