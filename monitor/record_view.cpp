// TMonitorForm showing a record opened again: the same charts, attempts table and zoom as
// live, fed from the file instead of the device.
#include "monitor/attempts_table.h"
#include "monitor/monitor.h"
#include "ui/dialogs.h"

#include <QLabel>

void TMonitorForm::OpenRecordBtnClick() {
    const QString path = chooseOpen_ ? chooseOpen_() : QString();
    if (!path.isEmpty())
        OpenRecord(path);
}

bool TMonitorForm::OpenRecord(const QString& path) {
    // Read aside first: a file refused leaves what is shown as it was.
    monitor::SampleStore store;
    analysis::Analyser analyser;
    analysis::RecordStats stats;
    const analysis::RecordError error = analysis::LoadRecord(
        path, analyser, stats, [&](const monitor::Sample& s) { store.Append(s); });
    if (error != analysis::RecordError::None) {
        ui::ShowErrorReport(analysis::RecordErrorText(error, path));
        return false;
    }
    // The device is not polled while a record is shown; what was recorded stays on the disk.
    StopPolling();
    session_.Close();
    RecordFailed(recorder_.Flush());
    store_ = std::move(store);
    analyser_ = std::move(analyser);
    showingRecord_ = true;
    shownPath_ = path;
    shownStats_ = stats;
    ShowRecordFigures();
    // As the window shows a run just stopped: the span in view, ending at the last sample.
    const double span = viewT1_ - viewT0_;
    SetView(stats.lastT - span, stats.lastT, true);
    if (stats.skipped > 0)
        ui::ShowMessage(QStringLiteral("记录文件 %1 中有 %2 行无法读取，已跳过（第一处在第 %3 行）")
                            .arg(path)
                            .arg(stats.skipped)
                            .arg(stats.firstSkipped));
    return true;
}

void TMonitorForm::ShowRecordFigures() {
    // The panel's request counts are the live session's, which the record does not have: it
    // shows none of them, and the record's own figures below.
    for (QLabel* l : health_)
        l->setText(QStringLiteral("-"));
    QStringList outcomes;
    for (const auto& [outcome, n] : shownStats_.outcomes)
        outcomes << QStringLiteral("%1 %2").arg(QString::fromStdString(outcome)).arg(n);
    const analysis::Summary sum = analysis::Summarise(analyser_.Attempts());
    SourceLabel->setText(
        QStringLiteral("显示记录: %1\n样本 %2, 定值读取 %3 次, 无法读取的行 %4\n各结果的样本: %5\n"
                       "同期 %6 次: 合格 %7, 有问题 %8, 无法判定 %9, 不完整 %10%11")
            .arg(shownPath_)
            .arg(shownStats_.samples)
            .arg(shownStats_.setpoints)
            .arg(shownStats_.skipped)
            .arg(outcomes.join(QStringLiteral(", ")))
            .arg(sum.attempts)
            .arg(sum.passed)
            .arg(sum.findings)
            .arg(sum.unsure)
            .arg(sum.incomplete)
            .arg(shownStats_.setpoints == 0 ? QStringLiteral("\n记录中没有定值: 压差、频差未判定")
                                            : QString()));
}

void TMonitorForm::LeaveRecord() {
    // Back to live: the record's samples and attempts go; the live set-points still hold.
    showingRecord_ = false;
    shownPath_.clear();
    SourceLabel->clear();
    store_.Clear();
    analyser_.Clear();
    if (setpoints_)
        analyser_.AddSetpoints(*setpoints_);
    attemptsTable_->Refresh();
    dirty_ = true;
}
