// The main window with stand-in test windows: each button and menu item opens its window
// with the current settings (building the windows first when they do not exist yet), and
// the three ways to end the program. The settings round trip is the shell test's.
#include "app/application.h"
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

// The windows are built on first need, as the program does it.
TEST(DemoMainForm, EachControlOpensItsWindowWithTheCurrentSettings) {
    BoxCapture capture;
    TDemoMainForm form;
    std::vector<std::tuple<int, int32_t, QString>> calls;
    const auto window = [&calls](int id) {
        return
            [&calls, id](int32_t baud, const QString& port) { calls.emplace_back(id, baud, port); };
    };
    int builds = 0;
    form.SetWindowBuilder([&] {
        ++builds;
        return TDemoWindows{window(0), window(1), window(2)};
    });
    const std::pair<const char*, int> cases[] = {
        {"KGSpdBut", 0}, {"N2", 0}, {"JCSpdBut", 1}, {"N3", 1}, {"WriteSpdBut", 2}, {"N4", 2}};
    for (const auto& [control, id] : cases) {
        calls.clear();
        Use(form, control);
        EXPECT_EQ(calls, (std::vector<std::tuple<int, int32_t, QString>>{{id, 9600, "COM2"}}))
            << control;
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

// The program's windows write in the 12-pixel Song typeface (with substitutes carrying the
// Chinese glyphs where it is missing).
TEST(Application, WindowFontIsTwelvePixelSong) {
    const QFont before = QApplication::font();
    app::InitialiseApplication(*qobject_cast<QApplication*>(QCoreApplication::instance()));
    EXPECT_EQ(QApplication::font().family(), QStringLiteral("宋体"));
    EXPECT_EQ(QApplication::font().pixelSize(), 12);
    QApplication::setFont(before);
}

} // namespace
