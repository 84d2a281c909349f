// democomm: start-up. Creates every window once, in a fixed order, runs the message loop and
// destroys the windows when it ends.

#include "app/application.h"
#include "app/demomain.h"
#include "app/init.h"
#include "app/screenshot.h"
#include "app/startup.h"
#include "monitor/monitor.h"
#include "testwindows/JC.h"
#include "testwindows/KG.h"
#include "testwindows/writedemo.h"

#include <QApplication>

#include <optional>

int main(int argc, char** argv) {
    if (const auto exitCode = app::HandleCommandLine(argc, argv))
        return *exitCode;

    QApplication application(argc, argv);
    app::InitialiseApplication(application);

    // Order of creation: main window first (its FormCreate runs now), then the switch-status
    // window, the settings dialog, the write window and the register window; the monitor when
    // first opened. Each test window creates its own closed serial component. Destroyed in reverse
    // order on the way out.
    //
    // The four hidden windows take a few milliseconds to build, so they are built right after
    // the main window has first been painted, not before; a click that comes earlier still
    // builds them before it opens anything (TDemoMainForm::BuildWindows).
    TDemoMainForm DemoMainForm;
    std::optional<TKGForm> KGForm;
    std::optional<TInitForm> InitForm;
    std::optional<TWriteForm> WriteForm;
    std::optional<TJCForm> JCForm;
    std::optional<TMonitorForm> MonitorForm;
    DemoMainForm.SetWindowBuilder([&] {
        KGForm.emplace(&DemoMainForm);
        InitForm.emplace(&DemoMainForm);
        WriteForm.emplace(&DemoMainForm);
        JCForm.emplace(&DemoMainForm);
        app::ArmScreenshots(DemoMainForm, *InitForm);
        return TDemoWindows{.KGForm = ShowWithPortOf(&*KGForm),
                            .JCForm = ShowWithPortOf(&*JCForm),
                            .WriteForm = ShowWithPortOf(&*WriteForm),
                            .InitForm = &*InitForm,
                            // The monitor's charts are built when it is first opened.
                            .MonitorForm = [&](int32_t baudRate, const QString& commName) {
                                if (!MonitorForm)
                                    MonitorForm.emplace(&DemoMainForm);
                                MonitorForm->ShowWithPort(baudRate, commName);
                            }};
    });

    // bench/startup_bench reads "shown" (the main window painted) and "ready" (every window
    // built); the program then ends.
    const bool probe = !qEnvironmentVariableIsEmpty("DEMOCOMM_STARTUP_PROBE");
    app::AfterFirstExposure(DemoMainForm, [&] {
        if (probe)
            app::ReportStartupStage("shown");
        DemoMainForm.BuildWindows();
        if (probe) {
            app::ReportStartupStage("ready");
            QCoreApplication::quit();
        }
    });
    DemoMainForm.show();
    return application.exec();
}
