// democomm: start-up. Creates every window once, in a fixed order, runs the message loop and
// destroys the windows when it ends.

#include "app/application.h"
#include "app/demomain.h"
#include "app/init.h"
#include "app/screenshot.h"
#include "app/startup.h"
#include "serial/exception.h"
#include "testwindows/JC.h"
#include "testwindows/KG.h"
#include "testwindows/writedemo.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

#include <optional>

namespace {
// The monitor window lives in a module loaded when it is first opened: Qt Charts would
// otherwise be loaded and relocated at every start.
void ShowMonitor(QWidget* parent, int32_t baudRate, const QString& commName) {
    using Show = void (*)(QWidget*, int32_t, const QString&);
    static Show show = nullptr;
    if (!show) {
        // Installed: <prefix>/<libdir>/democomm/modules beside <prefix>/<bindir>; built: beside
        // the program. When neither is there the error names the installed place, where a
        // packaged program looks and a user would check.
        const QString dir = QCoreApplication::applicationDirPath();
        QString path = QDir::cleanPath(
            dir + QStringLiteral("/../" DEMOCOMM_MODULE_FROM_BINDIR "/democomm-monitor.so"));
        if (const QString built = dir + QStringLiteral("/democomm-monitor.so");
            !QFileInfo::exists(path) && QFileInfo::exists(built))
            path = built;
        QLibrary module(path);
        show = reinterpret_cast<Show>(module.resolve("DemocommShowMonitor"));
        if (!show)
            throw Exception(module.errorString().toStdString());
    }
    show(parent, baudRate, commName);
}
} // namespace

int main(int argc, char** argv) {
    if (const auto exitCode = app::HandleCommandLine(argc, argv))
        return *exitCode;

    QApplication application(argc, argv);
    app::InitialiseApplication(application);
    app::QuitOnStopSignals();

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
                            // Loaded and built when it is first opened.
                            .MonitorForm = [&](int32_t baudRate, const QString& commName) {
                                ShowMonitor(&DemoMainForm, baudRate, commName);
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
