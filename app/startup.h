#pragma once
// Start-up helpers shared by democomm and bench/minimal_window, so that both are measured the
// same way by bench/startup_bench. User-interface thread only.

#include <functional>

class QWidget;

namespace app {

// Runs `then` once, queued right after `window`'s first exposure has been handled, so the
// window is on screen and painted when it runs. Call before the window is shown.
void AfterFirstExposure(QWidget& window, std::function<void()> then);

// For bench/startup_bench: prints "<stage> <CLOCK_MONOTONIC ns> rss <KiB>" on standard output.
void ReportStartupStage(const char* stage);

} // namespace app
