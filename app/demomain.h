#pragma once
// TDemoMainForm: the main window. A small launcher that holds the serial settings
// (CommPortName, CommBaudRate), opens the settings dialog and the three test windows with
// them, shows hints in its status bar and ends the program.
//
// Every member runs on the user-interface thread. The click handlers may throw what the
// opened window throws (ECommsError when a port cannot be opened); the buttons and menu items
// call them through Guarded(), so a failure becomes the standard error report and the main
// window stays usable with its settings unchanged.

#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

namespace Ui {
class TDemoMainForm;
}
class TInitForm;

// Shows a window modally with the serial settings, baud rate first, port name second, and
// returns when it has closed. May throw (ECommsError when the port cannot be opened).
using TShowWithPort = std::function<void(int32_t baudRate, const QString& commName)>;

// The ShowWithPort of a window the main window does not own. Once that window is gone the
// function does nothing.
template <class W> TShowWithPort ShowWithPortOf(W* window) {
    return [p = QPointer<W>(window)](int32_t baudRate, const QString& commName) {
        if (p)
            p->ShowWithPort(baudRate, commName);
    };
}

// The windows the main window opens. Any of them may be missing; its button and menu item
// then do nothing.
struct TDemoWindows {
    TShowWithPort KGForm = {};
    TShowWithPort JCForm = {};
    TShowWithPort WriteForm = {};
    TInitForm* InitForm = nullptr;
    TShowWithPort MonitorForm = {};
};

class TDemoMainForm : public QMainWindow {
    Q_OBJECT
public:
    // Builds the window from its definition and runs FormCreate. It opens nothing until
    // SetWindows or SetWindowBuilder has been called.
    explicit TDemoMainForm(QWidget* parent = nullptr);
    ~TDemoMainForm() override;

    void SetWindows(TDemoWindows windows);
    // The windows are made later by `build`: by BuildWindows, or at the latest when a button
    // or menu item first needs one. Lets the program show this window before the others exist.
    void SetWindowBuilder(std::function<TDemoWindows()> build);
    // Runs a pending builder (once) and takes its windows; otherwise does nothing.
    void BuildWindows();
    // How QuitSpdButClick and the close box end the program; QCoreApplication::quit unless
    // replaced (tests replace it so that their own event loop keeps running).
    void SetTerminate(std::function<void()> terminate);

    int32_t CommBaudRate() const { return CommBaudRate_; }
    QString CommPortName() const { return CommPortName_; }

    // Handlers.
    // Sets the start-up settings ("COM2", 9600) and makes ShowHint the application's hint
    // handler: every status tip in the program, and entering any widget, report here.
    void FormCreate();
    // Shows `longHint` in the status bar; an empty hint clears it.
    void ShowHint(const QString& longHint);
    void KGSpdButClick();
    void JCSpdButClick();
    void WriteSpdButClick();
    // Menu only ("曲线监视"): the monitor window, like the test windows.
    void MonitorClick();
    // Opens the settings dialog with the current settings; copies its values back only when
    // it closed with OK (result 1).
    void InitSpdButClick();
    void QuitSpdButClick();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // Builds pending windows, then shows `window` (KGForm_, JCForm_, WriteForm_ or
    // MonitorForm_) with the
    // current settings; nothing when it is missing.
    void OpenTestWindow(const TShowWithPort& window);

    std::unique_ptr<Ui::TDemoMainForm> ui_;
    QString CommPortName_;
    int32_t CommBaudRate_ = 0;
    std::function<TDemoWindows()> build_;
    TShowWithPort KGForm_;
    TShowWithPort JCForm_;
    TShowWithPort WriteForm_;
    TShowWithPort MonitorForm_;
    QPointer<TInitForm> InitForm_;
    std::function<void()> terminate_;
    bool centred_ = false;
};
