#pragma once
// The table "同期记录": one row per synchronisation attempt the analysis found, kept up to date
// as samples arrive. The rows are the analyser's own attempts, read where they are; the report
// prints the same cells. User-interface thread only.

#include "analysis/attempts.h"

#include <QAbstractTableModel>
#include <QStringList>
#include <QTableView>

#include <functional>

namespace monitor {

// The columns: start and duration (seconds on the chart's time axis), paralleling number, the
// differences at the closing (before / after the edge), the verdict and the pulses (last: the
// widest and the least looked at).
enum AttemptColumn : int {
    kAttemptStart = 0,
    kAttemptDuration,
    kAttemptUnit,
    kAttemptVoltage,
    kAttemptFrequency,
    kAttemptVerdict,
    kAttemptPulses,
    kAttemptColumns
};
QStringList AttemptHeaders();
// An attempt's cells in column order, and the words behind its verdict (findings, notes).
QStringList AttemptCells(const analysis::Attempt& a);
QString AttemptDetails(const analysis::Attempt& a);

class AttemptsModel : public QAbstractTableModel {
public:
    AttemptsModel(const analysis::Analyser& analyser, QObject* parent);
    // The analyser has taken samples or readings: new rows are inserted, the others updated.
    void Refresh();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;

private:
    const analysis::Analyser& analyser_;
    int shown_ = 0;
};

// The table's view; a selected row calls `onSelect` with its attempt.
class AttemptsTable : public QTableView {
public:
    AttemptsTable(const analysis::Analyser& analyser, QWidget* parent);
    void Refresh();
    std::function<void(const analysis::Attempt&)> onSelect;
    QSize sizeHint() const override; // every column in view

private:
    int wide_ = 0;
    const analysis::Analyser& analyser_;
    AttemptsModel* model_;
};

} // namespace monitor
