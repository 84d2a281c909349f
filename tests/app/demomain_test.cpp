// The main window: what users see at start, the hints, the settings round trip through the
// dialog, the test windows opened with the settings, failures that become error reports, and
// the three ways to end the program.
#include "app/demomain.h"
#include "app/init.h"
#include "app_test_support.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QEnterEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>

using namespace apptest;

namespace {

QString Status(const TDemoMainForm& f) {
    return Find<QStatusBar>(f, "StatusBar")->currentMessage();
}

void Enter(QWidget* w) {
    QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), w->mapToGlobal(QPointF(2, 2)));
    QCoreApplication::sendEvent(w, &enter);
}

void Leave(QWidget* w) {
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(w, &leave);
}

TEST(DemoMainForm, CaptionsTextsAndStartValues) {
    BoxCapture capture;
    TDemoMainForm form;
    EXPECT_EQ(form.windowTitle(), QStringLiteral("QVR通讯测试程序"));
    EXPECT_EQ(form.CommPortName(), QStringLiteral("COM2"));
    EXPECT_EQ(form.CommBaudRate(), 9600);
    EXPECT_EQ(Status(form), QString());
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(form.font().family(), QStringLiteral("宋体"));
    EXPECT_EQ(form.font().pixelSize(), 12);

    const std::pair<const char*, const char*> buttons[] = {{"KGSpdBut", "读开关量"},
                                                           {"JCSpdBut", "读寄存器"},
                                                           {"WriteSpdBut", "写测试"},
                                                           {"InitSpdBut", "设置"},
                                                           {"QuitSpdBut", "退出"}};
    for (const auto& [name, caption] : buttons) {
        auto* b = Find<QToolButton>(form, name);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->text(), QString::fromUtf8(caption)) << name;
        EXPECT_TRUE(b->autoRaise()) << name;
        EXPECT_EQ(b->toolButtonStyle(), Qt::ToolButtonTextUnderIcon) << name;
        EXPECT_EQ(b->size(), QSize(63, 39)) << name;
        // Both images of the two-image picture are there, and they differ.
        const QIcon icon = b->icon();
        const QImage normal = icon.pixmap(16, QIcon::Normal).toImage();
        const QImage disabled = icon.pixmap(16, QIcon::Disabled).toImage();
        EXPECT_FALSE(normal.isNull()) << name;
        EXPECT_NE(normal, disabled) << name;
    }

    auto* label1 = Find<QLabel>(form, "Label1");
    auto* label3 = Find<QLabel>(form, "Label3");
    EXPECT_EQ(label1->text(), QStringLiteral("自动准同期测控装置(ModBus)通讯测试程序"));
    EXPECT_EQ(label1->font().pixelSize(), 16);
    EXPECT_FALSE(label3->text().isEmpty());
    form.ensurePolished();
    for (QLabel* l : {label1, label3}) {
        l->ensurePolished();
        EXPECT_EQ(l->palette().color(QPalette::WindowText), QColor(0x80, 0, 0))
            << l->objectName().toStdString();
    }

    const std::pair<const char*, const char*> menus[] = {{"N1", "通讯测试(&D)"},
                                                         {"N5", "系统(&S)"}};
    for (const auto& [name, title] : menus)
        EXPECT_EQ(Find<QMenu>(form, name)->title(), QString::fromUtf8(title));
    const std::pair<const char*, const char*> items[] = {
        {"N2", "读开关量"}, {"N3", "读寄存器"}, {"N4", "写测试"}, {"N6", "设置"}, {"N7", "退出"}};
    for (const auto& [name, caption] : items)
        EXPECT_EQ(Find<QAction>(form, name)->text(), QString::fromUtf8(caption));
    EXPECT_EQ(Find<QMenu>(form, "N1")->actions(),
              (QList<QAction*>{Find<QAction>(form, "N2"), Find<QAction>(form, "N3"),
                               Find<QAction>(form, "N4")}));
    EXPECT_EQ(Find<QMenu>(form, "N5")->actions(),
              (QList<QAction*>{Find<QAction>(form, "N6"), Find<QAction>(form, "N7")}));
}

TEST(Hints, ShortPartForTheTooltipLongPartForTheStatusBar) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"通讯参数设置|本演示程序的通讯基本参数设置", "通讯参数设置",
         "本演示程序的通讯基本参数设置"},
        {"退出本演示程序", "退出本演示程序", "退出本演示程序"},
        {"", "", ""},
        {"a|b|c", "a", "b|c"},
        {"|long", "", "long"},
        {"short|", "short", ""},
    };
    for (const auto& [hint, shortHint, longHint] : cases) {
        const QString h = QString::fromUtf8(hint);
        EXPECT_EQ(app::ShortHint(h), QString::fromUtf8(shortHint)) << hint;
        EXPECT_EQ(app::LongHint(h), QString::fromUtf8(longHint)) << hint;
    }
}

TEST(DemoMainForm, PointingAtButtonsShowsTheirHints) {
    BoxCapture capture;
    TDemoMainForm form;
    form.show();
    struct Case {
        const char* button;
        const char* tooltip;
        const char* status;
    };
    const Case cases[] = {
        {"InitSpdBut", "通讯参数设置", "本演示程序的通讯基本参数设置"},
        {"KGSpdBut", "", ""}, // a button without a hint clears the bar
        {"QuitSpdBut", "退出本演示程序", "退出本演示程序"},
        {"JCSpdBut", "", ""},
        {"InitSpdBut", "通讯参数设置", "本演示程序的通讯基本参数设置"},
        {"WriteSpdBut", "", ""},
    };
    QToolButton* previous = nullptr;
    for (const auto& c : cases) {
        auto* b = Find<QToolButton>(form, c.button);
        if (previous)
            Leave(previous);
        Enter(b);
        previous = b;
        EXPECT_EQ(b->toolTip(), QString::fromUtf8(c.tooltip)) << c.button;
        EXPECT_EQ(Status(form), QString::fromUtf8(c.status)) << c.button;
    }
    // Back to the panel, which has no hint either.
    Enter(Find<QToolButton>(form, "QuitSpdBut"));
    Leave(Find<QToolButton>(form, "QuitSpdBut"));
    EXPECT_EQ(Status(form), QString());
}

TEST(DemoMainForm, HighlightingAMenuItemShowsItsHint) {
    BoxCapture capture;
    TDemoMainForm form;
    form.show();
    auto* bar = Find<QMenuBar>(form, "MainMenu1");
    auto* system = Find<QMenu>(form, "N5");
    bar->setActiveAction(system->menuAction());
    ASSERT_TRUE(testsupport::WaitUntil([&] { return system->isVisible(); }));
    system->setActiveAction(Find<QAction>(form, "N6"));
    EXPECT_EQ(Status(form), QStringLiteral("本演示程序的通讯基本参数设置"));
    system->setActiveAction(Find<QAction>(form, "N7"));
    EXPECT_EQ(Status(form), QStringLiteral("退出本演示程序"));
    system->hide();
    EXPECT_EQ(Status(form), QString());

    auto* tests = Find<QMenu>(form, "N1");
    bar->setActiveAction(tests->menuAction());
    ASSERT_TRUE(testsupport::WaitUntil([&] { return tests->isVisible(); }));
    system->setActiveAction(nullptr);
    tests->setActiveAction(Find<QAction>(form, "N2"));
    EXPECT_EQ(Status(form), QString());
    tests->hide();
}

// The three test windows, reached by button and by menu item.
struct OpenCase {
    const char* control;
    int window; // 0 KGForm, 1 JCForm, 2 WriteForm
};

void PrintTo(const OpenCase& c, std::ostream* os) {
    *os << c.control;
}

class DemoMainFormOpen : public ::testing::TestWithParam<OpenCase> {
protected:
    void SetUp() override {
        form.SetWindows({ShowWithPortOf(&windows[0]), ShowWithPortOf(&windows[1]),
                         ShowWithPortOf(&windows[2]), &initForm});
        form.SetTerminate([] { ADD_FAILURE() << "the program was ended"; });
    }
    void Trigger() {
        const QString name = QString::fromLatin1(GetParam().control);
        if (auto* b = form.findChild<QToolButton*>(name))
            b->click();
        else
            Find<QAction>(form, GetParam().control)->trigger();
    }
    StubWindow& Window() { return windows[GetParam().window]; }

    BoxCapture capture;
    TDemoMainForm form;
    TInitForm initForm;
    StubWindow windows[3];
};

TEST_P(DemoMainFormOpen, OpensTheWindowWithTheCurrentSettings) {
    Trigger();
    ASSERT_EQ(Window().calls.size(), 1u);
    EXPECT_EQ(Window().calls[0].baudRate, 9600);
    EXPECT_EQ(Window().calls[0].commName, "COM2");
    int opened = 0;
    for (const auto& w : windows)
        opened += static_cast<int>(w.calls.size());
    EXPECT_EQ(opened, 1);
    EXPECT_TRUE(capture.boxes.empty());
}

// A window that fails to open: the error report, and the main window goes on with its
// settings; the next attempt runs again. (The ports' own errors, through the real windows,
// are the shell test's.)
TEST_P(DemoMainFormOpen, AFailureToOpenBecomesTheErrorReport) {
    const std::pair<std::function<void()>, const char*> failures[] = {
        {[] { throw std::runtime_error("something else"); }, "something else."},
        {[] { throw 42; }, "Unknown exception."},
    };
    for (const auto& [fail, report] : failures) {
        capture.boxes.clear();
        Window().onShow = fail;
        Trigger();
        ASSERT_EQ(capture.ErrorReports().size(), 1u) << report;
        EXPECT_EQ(capture.ErrorReports()[0], QString::fromLatin1(report));
        EXPECT_EQ(form.CommPortName(), "COM2");
        EXPECT_EQ(form.CommBaudRate(), 9600);
        EXPECT_TRUE(form.isEnabled());
    }
    Window().onShow = nullptr;
    capture.boxes.clear();
    Trigger();
    EXPECT_EQ(Window().calls.size(), std::size(failures) + 1);
    EXPECT_TRUE(capture.boxes.empty());
}

// The program shows the main window before the others exist: a click that comes first builds
// them, once, and then opens the window it asked for.
TEST_P(DemoMainFormOpen, AClickBeforeTheWindowsExistBuildsThemFirst) {
    form.SetWindows({});
    int builds = 0;
    form.SetWindowBuilder([&] {
        ++builds;
        return TDemoWindows{ShowWithPortOf(&windows[0]), ShowWithPortOf(&windows[1]),
                            ShowWithPortOf(&windows[2]), &initForm};
    });
    EXPECT_EQ(builds, 0);
    Trigger();
    EXPECT_EQ(builds, 1);
    ASSERT_EQ(Window().calls.size(), 1u);
    Trigger();
    form.BuildWindows();
    EXPECT_EQ(builds, 1);
    EXPECT_EQ(Window().calls.size(), 2u);
    EXPECT_TRUE(capture.boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(Controls, DemoMainFormOpen,
                         ::testing::Values(OpenCase{"KGSpdBut", 0}, OpenCase{"N2", 0},
                                           OpenCase{"JCSpdBut", 1}, OpenCase{"N3", 1},
                                           OpenCase{"WriteSpdBut", 2}, OpenCase{"N4", 2}),
                         [](const auto& info) { return std::string(info.param.control); });

// The settings dialog from the main window: only OK copies the values back.
struct SettingsCase {
    const char* name;
    const char* openWith; // "InitSpdBut" or "N6"
    std::function<void(TInitForm&)> close;
    int32_t baud;
    const char* port;
    const char* report = nullptr; // the error report the way out gives, if any
};

void PrintTo(const SettingsCase& c, std::ostream* os) {
    *os << c.name;
}

class DemoMainFormSettings : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(DemoMainFormSettings, OnlyOkCopiesTheValues) {
    BoxCapture capture;
    TDemoMainForm form;
    TInitForm initForm;
    // Built on first need, as the program does it.
    form.SetWindowBuilder([&] { return TDemoWindows{.InitForm = &initForm}; });
    const auto open = [&] {
        if (auto* b = form.findChild<QToolButton*>(QString::fromLatin1(GetParam().openWith)))
            b->click();
        else
            Find<QAction>(form, GetParam().openWith)->trigger();
    };
    DriveModal(open, [&] {
        EXPECT_TRUE(initForm.isVisible());
        EXPECT_EQ(Find<QComboBox>(initForm, "CommNumberComBox")->currentText(), "COM2");
        EXPECT_EQ(Find<QComboBox>(initForm, "BTComBox")->currentText(), "9600");
        auto* port = Find<QComboBox>(initForm, "CommNumberComBox");
        auto* baud = Find<QComboBox>(initForm, "BTComBox");
        port->setCurrentIndex(port->findText("COM3"));
        baud->setCurrentIndex(baud->findText("4800"));
        GetParam().close(initForm);
    });
    EXPECT_EQ(form.CommBaudRate(), GetParam().baud);
    EXPECT_EQ(form.CommPortName(), QString::fromLatin1(GetParam().port));
    // The next showing starts from what the main window holds.
    DriveModal(open, [&] {
        EXPECT_EQ(Find<QComboBox>(initForm, "CommNumberComBox")->currentText(),
                  QString::fromLatin1(GetParam().port));
        EXPECT_EQ(Find<QComboBox>(initForm, "BTComBox")->currentText(),
                  QString::number(GetParam().baud));
        initForm.close();
    });
    if (GetParam().report)
        EXPECT_EQ(capture.ErrorReports(), std::vector<QString>{GetParam().report});
    else
        EXPECT_TRUE(capture.boxes.empty());
}

const auto OkClick = [](TInitForm& f) { Find<QPushButton>(f, "BitBtn1")->click(); };
const auto NoClick = [](TInitForm& f) { Find<QPushButton>(f, "BitBtn2")->click(); };
const auto CloseBox = [](TInitForm& f) { f.close(); };
// OK with the baud box emptied: the dialog hands back the last valid value, never the text.
const auto OkAfterEmptyBaud = [](TInitForm& f) {
    QLineEdit* edit = Find<QComboBox>(f, "BTComBox")->lineEdit();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    EXPECT_TRUE(f.isVisible());
    OkClick(f);
};

INSTANTIATE_TEST_SUITE_P(
    Ways, DemoMainFormSettings,
    ::testing::Values(SettingsCase{"OkByButton", "InitSpdBut", OkClick, 4800, "COM3"},
                      SettingsCase{"OkByMenu", "N6", OkClick, 4800, "COM3"},
                      SettingsCase{"Cancel", "InitSpdBut", NoClick, 9600, "COM2"},
                      SettingsCase{"CloseBox", "InitSpdBut", CloseBox, 9600, "COM2"},
                      SettingsCase{"OkAfterEmptyBaud", "InitSpdBut", OkAfterEmptyBaud, 4800, "COM3",
                                   "'' is not a valid integer value."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DemoMainForm, WithoutWindowsTheButtonsDoNothing) {
    BoxCapture capture;
    TDemoMainForm form;
    for (const char* name : {"KGSpdBut", "JCSpdBut", "WriteSpdBut", "InitSpdBut"})
        Find<QToolButton>(form, name)->click();
    for (const char* name : {"N2", "N3", "N4", "N6"})
        Find<QAction>(form, name)->trigger();
    EXPECT_TRUE(capture.boxes.empty());
    EXPECT_EQ(form.CommPortName(), "COM2");

    // A window that has gone away is not called.
    auto stub = std::make_unique<StubWindow>();
    form.SetWindows({.KGForm = ShowWithPortOf(stub.get())});
    stub.reset();
    Find<QToolButton>(form, "KGSpdBut")->click();
    EXPECT_TRUE(capture.boxes.empty());
}

TEST(DemoMainForm, QuitButtonMenuItemAndCloseBoxEndTheProgram) {
    BoxCapture capture;
    const std::pair<const char*, std::function<void(TDemoMainForm&)>> routes[] = {
        {"button", [](TDemoMainForm& f) { Find<QToolButton>(f, "QuitSpdBut")->click(); }},
        {"menu", [](TDemoMainForm& f) { Find<QAction>(f, "N7")->trigger(); }},
        {"close box", [](TDemoMainForm& f) { f.close(); }},
    };
    for (const auto& [route, quit] : routes) {
        TDemoMainForm form;
        form.show();
        int terminated = 0;
        form.SetTerminate([&] { ++terminated; });
        quit(form);
        EXPECT_EQ(terminated, 1) << route;
    }
    EXPECT_TRUE(capture.boxes.empty());
}

} // namespace
