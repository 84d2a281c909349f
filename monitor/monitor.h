#pragma once
// TMonitorForm, "曲线监视": polls one slave's working data (03, 0000, 5 registers) and switch
// states (02, 0300, 12 inputs) in turn on the shared master exchange, charts them on one time
// axis, shows the link's health live and can record every sample to a CSV file. The
// set-points (03, 0100, 8 registers) are read when polling starts and once a minute after,
// queued like the samples' requests: shown, recorded, and used to judge the closings.
//
// A sample is one 03 and one 02 exchange; its outcome is the first failure of the two, or
// "ok". Failures are counted and shown and the next sample is requested; only a port that goes
// away stops polling, after the standard error report. The port is opened by Start (which
// throws ECommsError, for the standard error report, when it cannot be opened, and can be
// pressed again) and closed by Stop and when the window closes. A sample is timed by its
// first request going on the wire. Size and chart choices are kept with QSettings
// (~/.config/democomm/monitor.conf); a value there that cannot be right is not used.
// User-interface thread only.

#include "analysis/attempts.h"
#include "analysis/record.h"
#include "master/session.h"
#include "monitor/recorder.h"
#include "monitor/samples.h"

#include <QDateTime>
#include <QDialog>

#include <array>
#include <functional>
#include <optional>

class QAbstractButton;
class QChart;
class QComboBox;
class QLabel;
class QLegendMarker;
class QLineSeries;
class QSpinBox;
class QTimer;
class QValueAxis;

namespace monitor {
class AttemptsTable;
class TimeChartView;
} // namespace monitor

class TMonitorForm : public QDialog {
    Q_OBJECT
public:
    explicit TMonitorForm(QWidget* parent = nullptr);
    ~TMonitorForm() override;

    // Takes the serial settings and shows the window modally; returns when it has closed.
    // Opens nothing: Start does.
    void ShowWithPort(uint32_t baudRate, const QString& commName);

    // Handlers (the buttons call them through Guarded()).
    void StartBtnClick();  // throws ECommsError when the port cannot be opened
    void StopBtnClick();   // also puts what was recorded on the disk
    void ClearBtnClick();  // empties the chart; the time origin stays, as the record's does
    void RecordBtnClick(); // asks for a file and records to it; while recording: stops it
    void ResetHealthBtnClick();
    void OpenRecordBtnClick(); // asks for a record and shows it (polling stops)
    void ReportBtnClick();     // asks for a file and writes the report of what is shown

    // Records from now on to `path` (a record in progress is ended first). On failure shows
    // the error report with the system's reason and returns false; polling is not affected
    // either way.
    bool RecordTo(const QString& path);
    // How RecordBtnClick asks for a file (a save dialog unless replaced); empty: cancelled.
    void SetFileChooser(std::function<QString()> choose) { chooseFile_ = std::move(choose); }
    // Shows the record at `path` (the monitor's, or `democomm-cli watch all --format csv`) as
    // if it had been watched live: the charts, the attempts and the record's link figures.
    // Polling stops; Start returns to live. Lines that cannot be read are skipped and counted
    // (a message says how many); a file that is not a record is refused with an error report,
    // and what was shown stays. Returns whether the record is shown.
    bool OpenRecord(const QString& path);
    bool ShowingRecord() const { return showingRecord_; }
    // Writes the PDF report of what is shown (live or a record) to `path`; on failure shows
    // the error report and returns false.
    Q_INVOKABLE bool ReportTo(const QString& path); // invokable: the module's caller has no symbols
    // How ReportBtnClick asks for a file (a save dialog unless replaced).
    void SetReportChooser(std::function<QString()> choose) { chooseReport_ = std::move(choose); }
    // How OpenRecordBtnClick asks for a file (an open dialog unless replaced).
    void SetOpenChooser(std::function<QString()> choose) { chooseOpen_ = std::move(choose); }

    bool Running() const { return running_; }
    const monitor::SampleStore& Samples() const { return store_; }
    // Takes a sample as polling would, without recording it (replays and measurements).
    void AddSample(const monitor::Sample& s) {
        store_.Append(s);
        analyser_.Add(s);
        dirty_ = true;
    }
    master::Session& Session() { return session_; }
    const monitor::Recorder& Recording() const { return recorder_; }
    // The attempts found in the samples so far, judged by the set-points read.
    const analysis::Analyser& Analysis() const { return analyser_; }
    // Brings the chart and the health panel up to date now (a timer does it while shown).
    // Returns the number of points handed to the chart.
    qsizetype Redraw();
    // The time range in view; following: the newest `span` seconds.
    void SetView(double t0, double t1, bool follow);
    QPair<double, double> ViewRange() const { return {viewT0_, viewT1_}; }

    void done(int result) override; // stops polling and recording, keeps the choices

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildWindow();
    void RestoreSettings();
    QChart* MakeChart(monitor::TimeChartView*& view, const char* name);
    void ConnectLegend(QChart* chart);
    void ShowCurve(QLegendMarker* marker, bool visible);
    void StartSample();
    void FinishSample();
    void Take(const master::Result& r);
    void StopPolling();
    void OnPortLost(bool wasRunning);
    void StopRecording();
    void UpdateHealth();
    void ReadSetpoints();
    void TakeSetpoints(const analysis::SetpointReading& r, const QDateTime& when, int slave);
    void ShowSetpoints();
    // A write or flush of the record failed (`reason` not empty): recording has
    // stopped; the error report says so once the current handling has returned.
    void RecordFailed(const QString& reason);
    void ShowRecordFigures();
    void LeaveRecord();
    void AlignPlots();
    void DrawClosings();
    void ShowAttempt(const analysis::Attempt& a);
    void UpdateButtons();
    void SaveSettings() const;
    void Zoom(double factor, double at);
    void Pan(double seconds);

    master::Session session_;
    monitor::SampleStore store_;
    monitor::Recorder recorder_;
    analysis::Analyser analyser_;
    // The latest reading of the set-points, and when it was read (wall clock).
    std::optional<analysis::SetpointReading> setpoints_;
    QDateTime setpointsReadAt_;
    QString commName_ = QStringLiteral("COM2");
    uint32_t baudRate_ = 9600;
    bool running_ = false;
    bool dirty_ = true;
    bool redrawQueued_ = false;
    uint64_t generation_ = 0; // samples of an earlier run are dropped
    // Time origin of the samples: the first Start. Kept by Stop and Clear, so that the
    // record's elapsed seconds never go back.
    master::Clock::time_point origin_{};
    int64_t originWallMs_ = 0; // the same instant on the system clock (ms since 1970)
    bool runStart_ = false;    // the next sample is the first of a run
    monitor::Sample pending_;
    QString pendingOutcome_;
    int pendingSlave_ = 1;
    // When the sample's first request went on the wire, on both clocks (one instant).
    master::Clock::time_point pendingSentAt_{};
    std::chrono::system_clock::time_point pendingSentAtWall_{};
    double viewT0_ = 0, viewT1_ = 60;
    bool follow_ = true;
    std::function<QString()> chooseFile_, chooseOpen_, chooseReport_;
    bool showingRecord_ = false; // the charts show a record opened, not the device
    QString shownPath_;
    analysis::RecordStats shownStats_;

    QSpinBox* SlaveSpin = nullptr;
    QComboBox* IntervalBox = nullptr;
    QAbstractButton *StartBtn = nullptr, *StopBtn = nullptr, *ClearBtn = nullptr,
                    *RecordBtn = nullptr, *ExitBtn = nullptr, *ResetHealthBtn = nullptr,
                    *OpenRecordBtn = nullptr, *ReportBtn = nullptr;
    QLabel* SourceLabel = nullptr; // the record shown, its link figures
    QLabel* RecordLabel = nullptr;
    QLabel* ParallelLabel = nullptr;
    QLabel* SetpointLabel = nullptr;
    std::vector<QLabel*> health_;
    QChart *analogChart_ = nullptr, *stateChart_ = nullptr;
    monitor::TimeChartView *analogView_ = nullptr, *stateView_ = nullptr;
    QValueAxis *timeAxis_ = nullptr, *stateTimeAxis_ = nullptr;
    // Voltage, voltage difference, frequency, frequency difference: each curve pair and each
    // difference fills the height on its own scale.
    std::array<QValueAxis*, 4> valueAxes_{};
    std::vector<QLineSeries*> analogSeries_, stateSeries_;
    QLineSeries* closingSeries_ = nullptr; // a vertical line at each closing in view
    monitor::AttemptsTable* attemptsTable_ = nullptr;
    QTimer* refresh_ = nullptr;
    QTimer* nextSample_ = nullptr;
    QTimer* setpointTimer_ = nullptr; // reads the set-points again once a minute
};
