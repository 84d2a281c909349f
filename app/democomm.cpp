// democomm: start-up. Creates every window once, in a fixed order, runs the message loop and
// destroys the windows when it ends.

#include "app/application.h"
#include "app/demomain.h"
#include "app/init.h"
#include "app/screenshot.h"
#include "app/startupprobe.h"
#include "testwindows/JC.h"
#include "testwindows/KG.h"
#include "testwindows/writedemo.h"

#include <QApplication>

int main(int argc, char** argv) {
    if (const auto exitCode = app::HandleCommandLine(argc, argv))
        return *exitCode;

    QApplication application(argc, argv);
    app::InitialiseApplication(application);

    // Order of creation: main window first (its FormCreate runs now), then the switch-status
    // window, the settings dialog, the write window and the register window. Each test window
    // creates its own closed serial component. Destroyed in reverse order on the way out.
    TDemoMainForm DemoMainForm;
    TKGForm KGForm(&DemoMainForm);
    TInitForm InitForm(&DemoMainForm);
    TWriteForm WriteForm(&DemoMainForm);
    TJCForm JCForm(&DemoMainForm);
    DemoMainForm.SetWindows({.KGForm = ShowWithPortOf(&KGForm),
                             .JCForm = ShowWithPortOf(&JCForm),
                             .WriteForm = ShowWithPortOf(&WriteForm),
                             .InitForm = &InitForm});

    app::ArmScreenshots(DemoMainForm, InitForm);
    if (!qEnvironmentVariableIsEmpty("DEMOCOMM_STARTUP_PROBE"))
        app::ArmStartupProbe(DemoMainForm); // bench/startup_bench
    DemoMainForm.show();
    return application.exec();
}
