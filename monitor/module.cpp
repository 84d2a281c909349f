// The monitor as a module that democomm loads when the monitor is first opened, so that Qt
// Charts and the OpenGL libraries it pulls in cost nothing at start-up.
//
// The module carries its own copies of the layers below the monitor (they are static
// libraries), with their own exception handler: it is installed here so that failures in
// the monitor get the same standard error report as the rest of the program.
#include "monitor/monitor.h"
#include "ui/dialogs.h"

#include <QPointer>

extern "C" __attribute__((visibility("default"))) void
DemocommShowMonitor(QWidget* parent, int32_t baudRate, const QString& commName) {
    static const bool handlerInstalled = (ui::InstallErrorReport(), true);
    (void)handlerInstalled;
    static QPointer<TMonitorForm> form; // owned by `parent`, built once
    if (!form)
        form = new TMonitorForm(parent);
    form->ShowWithPort(static_cast<uint32_t>(baudRate), commName);
}
