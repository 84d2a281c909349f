#pragma once
// A development aid behind tools/screenshot, outside the program's normal path: when the
// environment variable DEMOCOMM_SCREENSHOT_DIR names a folder, the running program saves
// PNG pictures of its main window (plain, with a hint, with the "系统" menu open), of a
// tooltip, of the settings dialog (also with its port list open) and of the error report for an
// empty baud text, then ends itself through the route DEMOCOMM_SCREENSHOT_QUIT names: "button"
// (default), "menu", "close" or "signal" (SIGTERM). User-interface thread only.

class TDemoMainForm;
class TInitForm;

namespace app {

// Arms the sequence when the variable is set; returns whether it did. Failures to save go
// to stderr and make the program exit with code 3 instead of ending normally.
bool ArmScreenshots(TDemoMainForm& mainForm, TInitForm& initForm);

} // namespace app
