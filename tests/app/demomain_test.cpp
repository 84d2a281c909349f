// The main window with stand-in test windows: each button and menu item opens its window
// with the current settings (building the windows first when they do not exist yet),
// failures become error reports, only OK of the settings dialog copies its values, and the
// three ways to end the program.
#include "app/demomain.h"
#include "app/init.h"
#include "app_test_support.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QPushButton>
#include <QToolButton>

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
                                ShowWithPortOf(&windows[2]), &initForm};
        });
        form.SetTerminate([] { ADD_FAILURE() << "the program was ended"; });
    }
    BoxCapture capture;
    TDemoMainForm form;
    TInitForm initForm;
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

// The main window goes on with its settings; the next attempt runs again.
TEST_F(MainWindow, AFailureToOpenBecomesTheErrorReport) {
    windows[1].onShow = [] { throw std::runtime_error("something else"); };
    Use(form, "JCSpdBut");
    windows[1].onShow = [] { throw 42; };
    Use(form, "N3");
    EXPECT_EQ(capture.ErrorReports(),
              (std::vector<QString>{"something else.", "Unknown exception."}));
    EXPECT_TRUE(form.isEnabled());
    windows[1].onShow = nullptr;
    Use(form, "JCSpdBut");
    EXPECT_EQ(windows[1].calls.size(), 3u);
    EXPECT_EQ(capture.boxes.size(), 2u);
}

TEST_F(MainWindow, OnlyOkOfTheSettingsDialogCopiesItsValues) {
    const auto click = [this](const char* name) {
        return [this, name] { Find<QPushButton>(initForm, name)->click(); };
    };
    const struct {
        const char* control;
        std::function<void()> close;
        int32_t baud;
        const char* port;
    } cases[] = {{"InitSpdBut", click("BitBtn2"), 9600, "COM2"},
                 {"N6", [this] { initForm.close(); }, 9600, "COM2"},
                 {"N6", click("BitBtn1"), 4800, "COM3"},
                 {"InitSpdBut", click("BitBtn2"), 4800, "COM3"}};
    for (const auto& c : cases) {
        const QString shownPort = form.CommPortName();
        DriveModal([&] { Use(form, c.control); },
                   [&] {
                       auto* port = Find<QComboBox>(initForm, "CommNumberComBox");
                       auto* baud = Find<QComboBox>(initForm, "BTComBox");
                       // Each showing starts from what the main window holds.
                       EXPECT_EQ(port->currentText(), shownPort);
                       port->setCurrentIndex(port->findText("COM3"));
                       baud->setCurrentIndex(baud->findText("4800"));
                       c.close();
                   });
        EXPECT_EQ(form.CommBaudRate(), c.baud);
        EXPECT_EQ(form.CommPortName(), QString::fromLatin1(c.port));
    }
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
