// Test main for folders that need Qt: GoogleTest runs inside a live event loop, so TComm
// events, timers and modal windows behave as they do in the program.
#include <gtest/gtest.h>

#include <QTimer>
#include <cstdlib>

#ifdef DEMOCOMM_TEST_GUI
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    TestApplication app(argc, argv);
#ifdef DEMOCOMM_TEST_GUI
    // Test windows come and go; closing the last one must not end the event loop, or every
    // later modal exec() in the same run would return at once.
    app.setQuitOnLastWindowClosed(false);
#endif
    int rc = 1;
    QTimer::singleShot(0, &app, [&] {
        rc = RUN_ALL_TESTS();
        app.exit(rc);
    });
    app.exec();
    return rc;
}
