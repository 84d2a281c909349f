#include "init.h"

#include "app/application.h"
#include "ui_init.h"

#include "pictures/no.xpm"
#include "pictures/ok.xpm"

#include <QAbstractItemView>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QScreen>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStyledItemDelegate>

#include <limits>

namespace {

// The edit part of the baud box. It refuses typed characters beyond the limit, the way a
// typing limit on a native edit does, but leaves text set by the program alone, so a list
// entry longer than the limit ("19200") can still be chosen. Pasted text is cut to fit.
class TLimitedEdit : public QLineEdit {
public:
    TLimitedEdit(int limit, QWidget* parent) : QLineEdit(parent), limit_(limit) {
        setAcceptDrops(false);
    }

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->matches(QKeySequence::Paste)) {
            PasteLimited();
            event->accept();
            return;
        }
        const QString typed = event->text();
        const bool printable = !typed.isEmpty() && typed.at(0).isPrint() &&
                               !(event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier));
        if (printable && Room() < typed.size()) {
            event->accept(); // refused
            return;
        }
        QLineEdit::keyPressEvent(event);
    }

    void inputMethodEvent(QInputMethodEvent* event) override {
        if (event->commitString().size() <= Room())
            return QLineEdit::inputMethodEvent(event);
        QInputMethodEvent cut(event->preeditString(), event->attributes());
        cut.setCommitString(event->commitString().left(std::max<qsizetype>(0, Room())),
                            event->replacementStart(), event->replacementLength());
        QLineEdit::inputMethodEvent(&cut);
    }

    void contextMenuEvent(QContextMenuEvent* event) override {
        std::unique_ptr<QMenu> menu(createStandardContextMenu());
        for (QAction* action : menu->actions()) {
            if (action->objectName() == QLatin1String("edit-paste")) {
                disconnect(action, &QAction::triggered, nullptr, nullptr);
                connect(action, &QAction::triggered, this, [this] { PasteLimited(); });
            }
        }
        menu->exec(event->globalPos());
    }

private:
    // Characters that may still be typed: the limit less what stays of the text.
    qsizetype Room() const { return limit_ - (text().size() - selectedText().size()); }

    void PasteLimited() {
        if (isReadOnly())
            return;
        QString text = QGuiApplication::clipboard()->text();
        text.truncate(std::max<qsizetype>(0, Room()));
        if (!text.isEmpty())
            insert(text);
    }

    int limit_;
};

} // namespace

// The port list's entries: the short name and, beside it, the description. The item's text
// stays what the box takes when it is chosen (a stable path, say).
class TPortItemDelegate : public QStyledItemDelegate {
public:
    static constexpr int LabelRole = Qt::UserRole;
    static constexpr int DetailRole = Qt::UserRole + 1;

    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        const QString detail = index.data(DetailRole).toString();
        option->text = index.data(LabelRole).toString();
        if (!detail.isEmpty())
            option->text += QStringLiteral("    ") + detail;
    }
};

int32_t StrToInt(const QString& text) {
    // Strict on purpose: "12 " or "0x10" would be numbers the user did not see as such.
    bool ok = false;
    qlonglong value = 0;
    const bool wellFormed = !text.isEmpty() && !text.front().isSpace() && !text.back().isSpace();
    if (wellFormed)
        value = text.toLongLong(&ok, 10);
    if (!ok || value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<int32_t>::max())
        throw EConvertError(("'" + text + "' is not a valid integer value").toStdString());
    return static_cast<int32_t>(value);
}

TInitForm::TInitForm(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::TInitForm>()) {
    ui_->setupUi(this);
    // System menu, maximise box and close box, as the definition has it.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMaximizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFont(app::WindowFont(12));
    ui_->BitBtn1->setIcon(app::TwoImageGlyph(ok_xpm));
    ui_->BitBtn2->setIcon(app::TwoImageGlyph(no_xpm));

    ui_->BTComBox->setLineEdit(new TLimitedEdit(BaudTypingLimit, ui_->BTComBox));
    // No completion: the handlers must see exactly what was typed, not a guessed list entry.
    ui_->BTComBox->setCompleter(nullptr);
    ui_->CommNumberComBox->setCompleter(nullptr);
    ui_->CommNumberComBox->setItemDelegate(new TPortItemDelegate(ui_->CommNumberComBox));
    // A serial device server cannot be listed, only typed: the hint says how.
    ui_->CommNumberComBox->setToolTip(
        QStringLiteral("串口 (COM1、/dev/ttyUSB0)，或串口服务器：tcp://主机:端口，"
                       "如 tcp://192.0.2.10:4001"));

    connect(ui_->BitBtn1, &QPushButton::clicked, this, [this] { done(mrOk); });
    connect(ui_->BitBtn2, &QPushButton::clicked, this, [this] { done(mrNo); });
    connect(ui_->BTComBox, &QComboBox::editTextChanged, this,
            [this] { Guarded([this] { BTComBoxChange(); }); });
    connect(ui_->CommNumberComBox, &QComboBox::editTextChanged, this,
            [this] { Guarded([this] { CommNumberComBoxChange(); }); });
}

TInitForm::~TInitForm() = default;

void TInitForm::ShowWithPort(int32_t baudRate, const QString& commName) {
    CommBaudRate_ = baudRate;
    CommPortName_ = commName;
    {
        // The boxes only echo the fields just set; no change handler needs to run.
        const QSignalBlocker blockBaud(ui_->BTComBox);
        const QSignalBlocker blockPort(ui_->CommNumberComBox);
        FillPortList(); // read now, so that an adapter plugged in since is there
        ui_->BTComBox->setEditText(QString::number(CommBaudRate_));
        ui_->CommNumberComBox->setEditText(CommPortName_);
    }
    setResult(mrNone);
    exec();
}

void TInitForm::FillPortList() {
    QComboBox* box = ui_->CommNumberComBox;
    box->clear();
    for (const serial::PortChoice& c : serial::DialogChoices(PortSource_())) {
        box->addItem(QString::fromStdString(c.boxText));
        const int i = box->count() - 1;
        box->setItemData(i, QString::fromStdString(c.label), TPortItemDelegate::LabelRole);
        box->setItemData(i, QString::fromStdString(c.detail), TPortItemDelegate::DetailRole);
        box->setItemData(i, box->itemText(i), Qt::ToolTipRole);
    }
    // The dropdown as wide as its widest entry; the box itself keeps its size.
    QAbstractItemView* view = box->view();
    view->setMinimumWidth(view->sizeHintForColumn(0) + 2 * view->frameWidth() +
                          view->verticalScrollBar()->sizeHint().width());
}

void TInitForm::BTComBoxChange() {
    // On a conversion error the field keeps its value: OK hands back the last valid number.
    CommBaudRate_ = StrToInt(ui_->BTComBox->currentText());
}

void TInitForm::CommNumberComBoxChange() {
    CommPortName_ = ui_->CommNumberComBox->currentText();
}

void TInitForm::keyPressEvent(QKeyEvent* event) {
    // Esc is the cancel button's key, so it gives that button's result.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        ui_->BitBtn2->click();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TInitForm::reject() {
    done(mrCancel);
}

void TInitForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (const QScreen* s = screen())
        move(s->availableGeometry().center() - frameGeometry().center() + pos());
}
