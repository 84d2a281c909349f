// The shell with the real test windows and real ports: the chosen settings reach the port a
// test window opens, and a port that cannot be opened gives the error report and no window.
#include "app/demomain.h"
#include "app/init.h"
#include "app_test_support.h"
#include "serial/co.h"
#include "support/pty.h"
#include "testwindows/JC.h"
#include "testwindows/KG.h"
#include "testwindows/writedemo.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <fcntl.h>
#include <unistd.h>

using namespace apptest;

namespace {

class ShellWithWindows : public ::testing::Test {
protected:
    void SetUp() override {
        form.SetWindows({ShowWithPortOf(&kg), ShowWithPortOf(&jc), ShowWithPortOf(&write), &init});
        form.SetTerminate([] { ADD_FAILURE() << "the program was ended"; });
        form.show();
    }

    // Through the settings dialog, as a user: the port typed, the baud rate from the list.
    void Choose(const QString& port, const QString& baud) {
        DriveModal([&] { Find<QToolButton>(form, "InitSpdBut")->click(); },
                   [&] {
                       auto* portBox = Find<QComboBox>(init, "CommNumberComBox");
                       portBox->lineEdit()->selectAll();
                       QTest::keyClicks(portBox->lineEdit(), port);
                       auto* baudBox = Find<QComboBox>(init, "BTComBox");
                       baudBox->setCurrentIndex(baudBox->findText(baud));
                       Find<QPushButton>(init, "BitBtn1")->click();
                   });
        ASSERT_EQ(form.CommPortName(), port);
        ASSERT_EQ(form.CommBaudRate(), baud.toInt());
    }

    struct Target {
        const char* button;
        QDialog* window;
        TComm* comm;
    };
    std::vector<Target> Targets() {
        return {{"KGSpdBut", &kg, kg.Comm32},
                {"JCSpdBut", &jc, jc.Comm32},
                {"WriteSpdBut", &write, write.Comm32}};
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
    for (const Target& t : Targets()) {
        SCOPED_TRACE(t.button);
        DriveModal([&] { Find<QToolButton>(form, t.button)->click(); },
                   [&] {
                       EXPECT_TRUE(t.window->isVisible());
                       EXPECT_TRUE(t.comm->IsOpen());
                       EXPECT_EQ(t.comm->CommName(), path);
                       EXPECT_EQ(t.comm->BaudRate(), 19200u);
                       t.window->close();
                   });
        EXPECT_FALSE(t.comm->IsOpen());
    }
    EXPECT_TRUE(capture.boxes.empty());
}

TEST_F(ShellWithWindows, APortThatCannotBeOpenedGivesTheErrorReportAndNoWindow) {
    // A regular file is there but is no serial port.
    char fileName[] = "/tmp/democomm-app-test-XXXXXX";
    const int fd = mkstemp(fileName);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const std::pair<QString, QString> cases[] = {
        {QStringLiteral("/nonexistent/democomm-port"),
         QStringLiteral("Error opening serial port.")},
        {QString::fromLatin1(fileName), QStringLiteral("File handle is not a comm handle ")},
    };
    for (const auto& [port, report] : cases) {
        Choose(port, "4800");
        for (const Target& t : Targets()) {
            SCOPED_TRACE(t.button);
            capture.boxes.clear();
            Find<QToolButton>(form, t.button)->click();
            EXPECT_EQ(capture.ErrorReports(), std::vector<QString>{report});
            EXPECT_FALSE(t.window->isVisible());
            EXPECT_FALSE(t.comm->IsOpen());
            EXPECT_TRUE(form.isEnabled());
            EXPECT_EQ(form.CommPortName(), port);
            EXPECT_EQ(form.CommBaudRate(), 4800);
        }
    }
    ::unlink(fileName);
}

} // namespace
