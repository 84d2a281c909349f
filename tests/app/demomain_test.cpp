// The main window with stand-in test windows: each button and menu item opens its window
// with the current settings (building the windows first when they do not exist yet), and
// the three ways to end the program. The settings round trip is the shell test's.
#include "app/demomain.h"
#include "app_test_support.h"

#include <gtest/gtest.h>

using namespace apptest;

namespace {

// A button, or else a menu item, as a user would use it.
void Use(TDemoMainForm& form, const char* control) {
    if (auto* b = form.findChild<QToolButton*>(QString::fromLatin1(control)))
        b->click();
    else
        Find<QAction>(form, control)->trigger();
}

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override {
        // Built on first need, as the program does it.
        form.SetWindowBuilder([this] {
            ++builds;
            return TDemoWindows{ShowWithPortOf(&windows[0]), ShowWithPortOf(&windows[1]),
                                ShowWithPortOf(&windows[2])};
        });
        form.SetTerminate([] { ADD_FAILURE() << "the program was ended"; });
    }
    BoxCapture capture;
    TDemoMainForm form;
    StubWindow windows[3]; // switch, register, write
    int builds = 0;
};

TEST_F(MainWindow, EachControlOpensItsWindowWithTheCurrentSettings) {
    const std::pair<const char*, int> cases[] = {
        {"KGSpdBut", 0}, {"N2", 0}, {"JCSpdBut", 1}, {"N3", 1}, {"WriteSpdBut", 2}, {"N4", 2}};
    for (const auto& [control, window] : cases) {
        std::vector<std::size_t> before;
        for (const auto& w : windows)
            before.push_back(w.calls.size());
        Use(form, control);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(windows[i].calls.size(), before[i] + (i == window)) << control;
        EXPECT_EQ(windows[window].calls.back().baudRate, 9600) << control;
        EXPECT_EQ(windows[window].calls.back().commName, "COM2") << control;
    }
    EXPECT_EQ(builds, 1);
    EXPECT_TRUE(capture.boxes.empty());
}

TEST(DemoMainForm, QuitButtonMenuItemAndCloseBoxEndTheProgram) {
    BoxCapture capture;
    const std::function<void(TDemoMainForm&)> routes[] = {
        [](TDemoMainForm& f) { Use(f, "QuitSpdBut"); },
        [](TDemoMainForm& f) { Use(f, "N7"); },
        [](TDemoMainForm& f) { f.close(); },
    };
    for (const auto& quit : routes) {
        TDemoMainForm form;
        form.show();
        int terminated = 0;
        form.SetTerminate([&] { ++terminated; });
        quit(form);
        EXPECT_EQ(terminated, 1);
    }
    EXPECT_TRUE(capture.boxes.empty());
}

} // namespace
