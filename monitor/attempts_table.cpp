#include "monitor/attempts_table.h"

#include <QBrush>
#include <QColor>
#include <QFontMetrics>
#include <QHeaderView>
#include <QScrollBar>

#include <algorithm>

namespace monitor {

using analysis::Attempt;
using analysis::Verdict;

namespace {

QString Diff(int counts, const device::Scale& scale) {
    return QString::number(device::InUnit(counts, scale), 'f', scale.decimals);
}

} // namespace

QStringList AttemptHeaders() {
    return {QStringLiteral("开始 (秒)"),     QStringLiteral("时长 (秒)"),
            QStringLiteral("并机号"),        QStringLiteral("合闸压差 (V)"),
            QStringLiteral("合闸频差 (Hz)"), QStringLiteral("结论"),
            QStringLiteral("调节脉冲")};
}

QStringList AttemptCells(const Attempt& a) {
    QStringList c;
    c << QString::number(a.start, 'f', 1) << QString::number(a.end - a.start, 'f', 1)
      << (a.haveParallelingNumber ? QString::number(a.parallelingNumber) : QStringLiteral("-"));
    // Both sides of the edge: the verdict takes both, and the closing lies between them.
    const auto pair = [&](bool before, int b, bool after, int f, const device::Scale& s) {
        return (before ? Diff(b, s) : QStringLiteral("-")) + QStringLiteral(" / ") +
               (after ? Diff(f, s) : QStringLiteral("-"));
    };
    if (const auto& k = a.closing) {
        c << pair(k->haveBefore, k->voltageBefore, k->haveAfter, k->voltageAfter,
                  device::VoltageDifference().scale)
          << pair(k->haveBefore, k->frequencyBefore, k->haveAfter, k->frequencyAfter,
                  device::FrequencyDifference().scale);
    } else {
        c << QStringLiteral("-") << QStringLiteral("-");
    }
    QStringList pulses;
    for (int k = 0; k < 4; ++k)
        pulses << QString::fromUtf8(device::SwitchFields()[analysis::kPulseInputs[k]].label)
                          .left(2) // "增速调控": 增速
                      + QString::number(a.pulses[k].count);
    QString verdict = QString::fromUtf8(analysis::VerdictText(a.verdict));
    if (a.verdict == Verdict::Incomplete && !a.cut.empty())
        verdict += QStringLiteral(" (%1)").arg(QString::fromStdString(a.cut));
    if (a.verdict == Verdict::Finding && !a.findings.empty())
        verdict += QStringLiteral(": ") + QString::fromStdString(a.findings.front().text);
    c << verdict << pulses.join(QLatin1Char(' '));
    return c;
}

QString AttemptDetails(const Attempt& a) {
    QStringList lines;
    for (const analysis::Finding& f : a.findings)
        lines << QString::fromStdString(f.text);
    for (const std::string& n : a.notes)
        lines << QString::fromStdString(n);
    return lines.join(QLatin1Char('\n'));
}

AttemptsModel::AttemptsModel(const analysis::Analyser& analyser, QObject* parent)
    : QAbstractTableModel(parent), analyser_(analyser) {}

void AttemptsModel::Refresh() {
    const int n = int(analyser_.Attempts().size());
    if (n < shown_) { // cleared
        beginResetModel();
        shown_ = n;
        endResetModel();
        return;
    }
    if (n > shown_) {
        beginInsertRows({}, shown_, n - 1);
        shown_ = n;
        endInsertRows();
    }
    // A reading of the set-points can change any verdict; the view repaints only rows in view.
    if (n > 0)
        emit dataChanged(index(0, 0), index(n - 1, kAttemptColumns - 1));
}

int AttemptsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shown_;
}

int AttemptsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kAttemptColumns;
}

QVariant AttemptsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= shown_)
        return {};
    const Attempt& a = analyser_.Attempts()[std::size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return AttemptCells(a).value(index.column());
    case Qt::ToolTipRole:
        return AttemptDetails(a);
    case Qt::BackgroundRole:
        if (index.column() != kAttemptVerdict)
            return {};
        switch (a.verdict) {
        case Verdict::Passed:
            return QBrush(QColor(0xd8f0d8));
        case Verdict::Finding:
            return QBrush(QColor(0xf6c8c8));
        case Verdict::Unsure:
            return QBrush(QColor(0xf6e8b8));
        default:
            return {};
        }
    case Qt::TextAlignmentRole:
        return index.column() < kAttemptVerdict ? int(Qt::AlignRight | Qt::AlignVCenter)
                                                : int(Qt::AlignLeft | Qt::AlignVCenter);
    default:
        return {};
    }
}

QVariant AttemptsModel::headerData(int section, Qt::Orientation o, int role) const {
    if (role != Qt::DisplayRole)
        return {};
    return o == Qt::Horizontal ? QVariant(AttemptHeaders().value(section)) : QVariant(section + 1);
}

AttemptsTable::AttemptsTable(const analysis::Analyser& analyser, QWidget* parent)
    : QTableView(parent), analyser_(analyser), model_(new AttemptsModel(analyser, this)) {
    setObjectName(QStringLiteral("AttemptsTable"));
    setModel(model_);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setWordWrap(false);
    horizontalHeader()->setStretchLastSection(true);
    // Widths from the font, once: sizing to the contents would visit every row of a day.
    const QFontMetrics m = fontMetrics();
    const char* const widest[kAttemptColumns] = {"86400.0",
                                                 "时长",
                                                 "并机号",
                                                 "-10.0 / -10.0",
                                                 "-0.10 / -0.10",
                                                 "不完整 (数据结束)",
                                                 "增速00 减速00 升压00 降压00"};
    int total = verticalHeader()->sizeHint().width() + 4;
    for (int c = 0; c < kAttemptColumns; ++c) {
        const int w = std::max(m.horizontalAdvance(QString::fromUtf8(widest[c])),
                               m.horizontalAdvance(AttemptHeaders()[c])) +
                      12;
        setColumnWidth(c, w);
        total += w;
    }
    wide_ = total;
    setMinimumWidth(280);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    connect(selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                if (current.isValid() && onSelect &&
                    std::size_t(current.row()) < analyser_.Attempts().size())
                    onSelect(analyser_.Attempts()[std::size_t(current.row())]);
            });
}

QSize AttemptsTable::sizeHint() const {
    return {wide_, QTableView::sizeHint().height()};
}

void AttemptsTable::Refresh() {
    // New rows stay in view while the newest is, as a log does.
    QScrollBar* bar = verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    const int before = model_->rowCount();
    model_->Refresh();
    if (atEnd && model_->rowCount() > before)
        scrollToBottom();
}

} // namespace monitor
