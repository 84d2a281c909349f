// Records from the port in argv[1] to argv[2] as fast as the line allows, until killed.
#include "monitor/monitor.h"

#include <QApplication>
#include <QComboBox>
#include <QTimer>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    TMonitorForm form;
    QTimer::singleShot(0, &form, [&] {
        form.findChild<QComboBox*>(QStringLiteral("IntervalBox"))->setCurrentIndex(5);
        if (!form.RecordTo(QString::fromLocal8Bit(argv[2])))
            std::exit(2);
        form.StartBtnClick();
    });
    form.ShowWithPort(9600, QString::fromLocal8Bit(argv[1]));
    return argc < 3;
}
