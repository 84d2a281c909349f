// The shell with the real test windows and real ports: the chosen settings reach the port a
// test window opens, and a port that cannot be opened gives the error report and no window.
// Every window opens centred on the screen, wherever the main window is.
#include "app/demomain.h"
#include "app/init.h"
#include "app_test_support.h"
#include "serial/co.h"
#include "support/pty.h"
#include "testwindows/JC.h"
#include "testwindows/KG.h"
#include "testwindows/writedemo.h"

#include <gtest/gtest.h>

#include <QEnterEvent>
#include <QPlainTextEdit>
#include <QScreen>
#include <QStatusBar>
#include <QTemporaryFile>

using namespace apptest;

namespace {

// How far the window's centre is from the screen's (odd sizes round by a pixel).
int OffCentre(const QWidget& w) {
    return (w.frameGeometry().center() - w.screen()->availableGeometry().center())
        .manhattanLength();
}

class ShellWithWindows : public ::testing::Test {
protected:
    void SetUp() override {
        form.SetWindows({ShowWithPortOf(&kg), ShowWithPortOf(&jc), ShowWithPortOf(&write), &init});
        form.SetTerminate([] { ADD_FAILURE() << "the program was ended"; });
        form.show();
        EXPECT_LE(OffCentre(form), 2); // the main window opens centred too
        form.move(form.screen()->availableGeometry().topLeft());
    }

    // Through the settings dialog, as a user: the port typed, the baud rate from the list,
    // then "确定" (BitBtn1) or "取消" (BitBtn2). Only OK copies the values.
    void Choose(const QString& port, const QString& baud, const char* close = "BitBtn1") {
        const QString before = form.CommPortName();
        DriveModal([&] { Find<QToolButton>(form, "InitSpdBut")->click(); },
                   [&] {
                       EXPECT_LE(OffCentre(init), 2);
                       auto* portBox = Find<QComboBox>(init, "CommNumberComBox");
                       EXPECT_EQ(portBox->currentText(), before); // starts from the settings
                       portBox->lineEdit()->selectAll();
                       QTest::keyClicks(portBox->lineEdit(), port);
                       auto* baudBox = Find<QComboBox>(init, "BTComBox");
                       baudBox->setCurrentIndex(baudBox->findText(baud));
                       Find<QPushButton>(init, close)->click();
                   });
        const bool ok = std::string(close) == "BitBtn1";
        EXPECT_EQ(form.CommPortName() == port && form.CommBaudRate() == baud.toInt(), ok);
    }

    BoxCapture capture;
    TDemoMainForm form;
    TKGForm kg{&form};
    TInitForm init{&form};
    TWriteForm write{&form};
    TJCForm jc{&form};
};

TEST_F(ShellWithWindows, TheNextTestWindowOpensTheChosenPortAtTheChosenRate) {
    testsupport::PtyPair pty;
    const QString path = QString::fromStdString(pty.SlavePath());
    Choose(path, "19200");
    Choose("COM3", "4800", "BitBtn2");
    // Each left by its exit button; the reading windows' close box is their own test's.
    const std::tuple<const char*, QDialog*, TComm*, const char*> targets[] = {
        {"KGSpdBut", &kg, kg.Comm32, "BitBtn2"},
        {"JCSpdBut", &jc, jc.Comm32, "BitBtn2"},
        {"WriteSpdBut", &write, write.Comm32, "BitBtn5"}};
    for (const auto& [button, window, comm, exit] : targets) {
        SCOPED_TRACE(button);
        Find<QPlainTextEdit>(*window, "MemoMsg")->setPlainText("from the last showing");
        DriveModal([&] { Find<QToolButton>(form, button)->click(); },
                   [&] {
                       EXPECT_TRUE(window->isVisible() && comm->IsOpen());
                       EXPECT_EQ(comm->CommName(), path);
                       EXPECT_EQ(comm->BaudRate(), 19200u);
                       EXPECT_LE(OffCentre(*window), 2);
                       EXPECT_EQ(Find<QPlainTextEdit>(*window, "MemoMsg")->toPlainText(), "");
                       // Esc is no way out, also with a button (no key filter) focused.
                       QTest::keyClick(window->findChild<QPushButton*>(), Qt::Key_Escape);
                       EXPECT_TRUE(window->isVisible());
                       Find<QPushButton>(*window, exit)->click();
                   });
        EXPECT_FALSE(comm->IsOpen());
    }
    EXPECT_TRUE(capture.boxes.empty());
}

// The report's text, with or without the full stop; the main window keeps its settings.
TEST_F(ShellWithWindows, APortThatCannotBeOpenedGivesTheErrorReportAndNoWindow) {
    QTemporaryFile file; // there, but no serial port
    ASSERT_TRUE(file.open());
    const std::pair<QString, QString> cases[] = {
        {"/nonexistent/democomm-port", "Error opening serial port."},
        {file.fileName(), "File handle is not a comm handle "},
    };
    for (const auto& [port, report] : cases) {
        Choose(port, "4800");
        capture.boxes.clear();
        Find<QToolButton>(form, "JCSpdBut")->click();
        ASSERT_EQ(capture.ErrorReports(), std::vector<QString>{report});
        EXPECT_TRUE(capture.boxes[0].informative.startsWith("Device: " + port + "\nReason: "));
        EXPECT_FALSE(jc.isVisible() || jc.Comm32->IsOpen());
        EXPECT_EQ(form.CommPortName(), port);
    }
}

// Entering a control shows its hint; one without a hint clears the bar.
TEST_F(ShellWithWindows, PointingAtButtonsShowsTheirHintsInTheStatusBar) {
    const std::tuple<QWidget*, const char*, const char*> cases[] = {
        {&form, "InitSpdBut", "本演示程序的通讯基本参数设置"},
        {&form, "KGSpdBut", ""},
        {&form, "QuitSpdBut", "退出本演示程序"},
        {&jc, "SendBitbtn", "功能码03"},
        {&kg, "SendBitbtn", "功能码02"},
        {&write, "DanLuBitBtn", "功能码06"},
        {&write, "WJCBitBtn", "功能码10"},
        {&write, "BitBtn4", "复位发送数据内容为空"}};
    auto* bar = Find<QStatusBar>(form, "StatusBar");
    for (const auto& [window, name, hint] : cases) {
        bar->showMessage("old");
        auto* button = Find<QWidget>(*window, name);
        QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), button->mapToGlobal(QPointF(2, 2)));
        QCoreApplication::sendEvent(button, &enter);
        EXPECT_EQ(bar->currentMessage(), QString::fromUtf8(hint)) << name;
    }
    EXPECT_EQ(Find<QWidget>(form, "InitSpdBut")->toolTip(), QStringLiteral("通讯参数设置"));
}

} // namespace
