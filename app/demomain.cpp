#include "demomain.h"

#include "app/application.h"
#include "app/init.h"
#include "serial/exception.h"
#include "ui_demomain.h"

#include "pictures/init.xpm"
#include "pictures/jc.xpm"
#include "pictures/kg.xpm"
#include "pictures/quit.xpm"
#include "pictures/write.xpm"

#include <QApplication>
#include <QCloseEvent>
#include <QLayout>
#include <QScreen>
#include <QStatusTipEvent>

#include <utility>

namespace {
// The client area of the window definition: panel, labels and status bar below the menu.
constexpr int ClientWidth = 413;
constexpr int ClientHeight = 258;
constexpr int StatusBarHeight = 24;

// The hint that applies where the mouse now is: the widget's own, else the nearest
// ancestor's within its window (a widget without a hint under a panel without one: none).
QString HintAt(const QWidget* w) {
    for (; w; w = w->isWindow() ? nullptr : w->parentWidget())
        if (!w->statusTip().isEmpty())
            return w->statusTip();
    return {};
}
} // namespace

TDemoMainForm::TDemoMainForm(QWidget* parent)
    : QMainWindow(parent), ui_(std::make_unique<Ui::TDemoMainForm>()),
      terminate_([] { QCoreApplication::quit(); }) {
    ui_->setupUi(this);
    // System menu and close box only: no minimise or maximise box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(app::WindowFont(12));
    ui_->Label1->setFont(app::WindowFont(16));
    ui_->Label3->setFont(app::WindowFont(12));

    ui_->KGSpdBut->setIcon(app::TwoImageGlyph(kg_xpm));
    ui_->JCSpdBut->setIcon(app::TwoImageGlyph(jc_xpm));
    ui_->WriteSpdBut->setIcon(app::TwoImageGlyph(write_xpm));
    ui_->InitSpdBut->setIcon(app::TwoImageGlyph(init_xpm));
    ui_->QuitSpdBut->setIcon(app::TwoImageGlyph(quit_xpm));
    app::ApplyHints(this);

    // The definition fixes the client area; the window is as large as it plus the menu.
    centralWidget()->setFixedSize(ClientWidth, ClientHeight - StatusBarHeight);
    ui_->StatusBar->setFixedHeight(StatusBarHeight);
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    // Every handler Qt calls runs through Guarded(): no exception crosses the event loop.
    const auto guarded = [this](void (TDemoMainForm::*handler)()) {
        return [this, handler] { Guarded([&] { (this->*handler)(); }); };
    };
    connect(ui_->KGSpdBut, &QToolButton::clicked, this, guarded(&TDemoMainForm::KGSpdButClick));
    connect(ui_->JCSpdBut, &QToolButton::clicked, this, guarded(&TDemoMainForm::JCSpdButClick));
    connect(ui_->WriteSpdBut, &QToolButton::clicked, this,
            guarded(&TDemoMainForm::WriteSpdButClick));
    connect(ui_->InitSpdBut, &QToolButton::clicked, this, guarded(&TDemoMainForm::InitSpdButClick));
    connect(ui_->QuitSpdBut, &QToolButton::clicked, this, guarded(&TDemoMainForm::QuitSpdButClick));
    connect(ui_->N2, &QAction::triggered, this, guarded(&TDemoMainForm::KGSpdButClick));
    connect(ui_->N3, &QAction::triggered, this, guarded(&TDemoMainForm::JCSpdButClick));
    connect(ui_->N4, &QAction::triggered, this, guarded(&TDemoMainForm::WriteSpdButClick));
    connect(ui_->N8, &QAction::triggered, this, guarded(&TDemoMainForm::MonitorClick));
    connect(ui_->N6, &QAction::triggered, this, guarded(&TDemoMainForm::InitSpdButClick));
    connect(ui_->N7, &QAction::triggered, this, guarded(&TDemoMainForm::QuitSpdButClick));

    FormCreate();
}

TDemoMainForm::~TDemoMainForm() {
    qApp->removeEventFilter(this);
}

void TDemoMainForm::SetWindows(TDemoWindows windows) {
    build_ = nullptr;
    KGForm_ = std::move(windows.KGForm);
    JCForm_ = std::move(windows.JCForm);
    WriteForm_ = std::move(windows.WriteForm);
    MonitorForm_ = std::move(windows.MonitorForm);
    InitForm_ = windows.InitForm;
}

void TDemoMainForm::SetWindowBuilder(std::function<TDemoWindows()> build) {
    build_ = std::move(build);
}

void TDemoMainForm::BuildWindows() {
    if (auto build = std::exchange(build_, nullptr))
        SetWindows(build());
}

void TDemoMainForm::SetTerminate(std::function<void()> terminate) {
    terminate_ = std::move(terminate);
}

void TDemoMainForm::FormCreate() {
    CommBaudRate_ = 9600;
    CommPortName_ = QStringLiteral("COM2");
    qApp->installEventFilter(this);
}

void TDemoMainForm::ShowHint(const QString& longHint) {
    if (!longHint.isEmpty())
        ui_->StatusBar->showMessage(longHint);
    else
        ui_->StatusBar->clearMessage();
}

bool TDemoMainForm::eventFilter(QObject* watched, QEvent* event) {
    // Application-wide, like a hint handler: status tips of widgets and menu items (also an
    // empty one when the mouse leaves or a menu closes), and the hint of whatever widget the
    // mouse enters, so that entering a control without a hint clears the bar.
    bool handled = false;
    Guarded([&] {
        if (event->type() == QEvent::StatusTip) {
            ShowHint(static_cast<QStatusTipEvent*>(event)->tip());
            handled = true;
        } else if (event->type() == QEvent::Enter) {
            if (const auto* w = qobject_cast<QWidget*>(watched))
                ShowHint(HintAt(w));
        }
    });
    return handled;
}

void TDemoMainForm::OpenTestWindow(const TShowWithPort& window) {
    BuildWindows(); // may set `window`, one of the members
    if (window)
        window(CommBaudRate_, CommPortName_);
}

void TDemoMainForm::KGSpdButClick() {
    OpenTestWindow(KGForm_);
}

void TDemoMainForm::JCSpdButClick() {
    OpenTestWindow(JCForm_);
}

void TDemoMainForm::WriteSpdButClick() {
    OpenTestWindow(WriteForm_);
}

void TDemoMainForm::MonitorClick() {
    OpenTestWindow(MonitorForm_);
}

void TDemoMainForm::InitSpdButClick() {
    BuildWindows();
    if (!InitForm_)
        return;
    InitForm_->ShowWithPort(CommBaudRate_, CommPortName_);
    if (InitForm_ && InitForm_->result() == TInitForm::mrOk) {
        CommBaudRate_ = InitForm_->CommBaudRate();
        CommPortName_ = InitForm_->CommPortName();
    }
}

void TDemoMainForm::QuitSpdButClick() {
    if (terminate_)
        terminate_();
}

void TDemoMainForm::closeEvent(QCloseEvent* event) {
    // Closing the main window ends the program, as the quit button does.
    event->accept();
    Guarded([&] { QuitSpdButClick(); });
}

void TDemoMainForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (centred_)
        return;
    centred_ = true;
    if (const QScreen* s = screen())
        move(s->availableGeometry().center() - frameGeometry().center() + pos());
}
