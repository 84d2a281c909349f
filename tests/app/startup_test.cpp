// The start-up hook: the hidden windows are built by it, so it must run once the main window
// is painted, not before, and only once however often the window is shown again.
#include "app/startup.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <QWidget>
#include <QWindow>

namespace {

TEST(AfterFirstExposure, RunsOnceAfterTheWindowIsPainted) {
    QWidget window;
    window.resize(200, 100);
    int runs = 0;
    bool exposedWhenRun = false;
    app::AfterFirstExposure(window, [&] {
        ++runs;
        exposedWhenRun = window.windowHandle()->isExposed();
    });
    testsupport::Pump(50);
    EXPECT_EQ(runs, 0) << "ran before the window was shown";

    window.show();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return runs > 0; }));
    EXPECT_TRUE(exposedWhenRun);

    window.hide();
    window.show();
    testsupport::Pump(50);
    EXPECT_EQ(runs, 1);
}

} // namespace
