// Records from the port argv[1] to the file argv[2] as fast as the line allows, until killed.
#include "monitor/monitor.h"

#include <QApplication>
#include <QComboBox>
#include <QTimer>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TMonitorForm form;
    QTimer::singleShot(0, &form, [&] {
        form.findChild<QComboBox*>(QStringLiteral("IntervalBox"))->setCurrentIndex(5);
        if (argc < 3 || !form.RecordTo(QString::fromLocal8Bit(argv[2])))
            std::exit(2);
        form.StartBtnClick();
    });
    form.ShowWithPort(9600, QString::fromLocal8Bit(argv[1]));
}
