#include "monitor.h"

#include "device/map.h"
#include "modbus/codec.h"
#include "monitor/attempts_table.h"
#include "monitor/report_writer.h"
#include "serial/exception.h"
#include "ui/dialogs.h"

#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGraphicsLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QSplitter>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>
#include <QWheelEvent>

#include <algorithm>
#include <limits>
#include <cmath>

namespace monitor {

// A chart view whose time axis the mouse moves: the wheel zooms about the pointer, dragging
// pans, a double click returns to following. The form keeps both charts on one range.
class TimeChartView : public QChartView {
public:
    using QChartView::QChartView;
    std::function<void(double factor, double at)> onZoom;
    std::function<void(double seconds)> onPan;
    std::function<void()> onFollow;

protected:
    double TimeAt(QPointF viewPos) const {
        const QList<QAbstractSeries*> s = chart()->series();
        if (s.isEmpty())
            return 0;
        return chart()
            ->mapToValue(chart()->mapFromScene(mapToScene(viewPos.toPoint())), s.first())
            .x();
    }
    void wheelEvent(QWheelEvent* e) override {
        if (e->angleDelta().y() != 0 && onZoom)
            onZoom(e->angleDelta().y() > 0 ? 0.8 : 1.25, TimeAt(e->position()));
        e->accept();
    }
    void mousePressEvent(QMouseEvent* e) override {
        QChartView::mousePressEvent(e); // legend markers take their clicks here
        if (e->button() == Qt::LeftButton && chart()->plotArea().contains(e->position())) {
            dragging_ = true;
            from_ = e->position();
        }
    }
    void mouseMoveEvent(QMouseEvent* e) override {
        QChartView::mouseMoveEvent(e);
        if (!dragging_ || !onPan)
            return;
        const double dt = TimeAt(e->position()) - TimeAt(from_);
        from_ = e->position();
        if (dt != 0)
            onPan(-dt);
    }
    void mouseReleaseEvent(QMouseEvent* e) override {
        QChartView::mouseReleaseEvent(e);
        dragging_ = false;
    }
    void mouseDoubleClickEvent(QMouseEvent* e) override {
        QChartView::mouseDoubleClickEvent(e);
        if (onFollow)
            onFollow();
    }

private:
    bool dragging_ = false;
    QPointF from_;
};

} // namespace monitor

namespace {

using master::Outcome;
using master::Request;
using master::Result;
using monitor::AnalogChannels;
using monitor::StateChannels;

constexpr double MinSpan = 1, MaxSpan = 2 * 86400, DefaultSpan = 60;
constexpr int RefreshMs = 250;
constexpr int SetpointMs = 60000;

const char* const AnalogNames[AnalogChannels] = {
    device::WorkingFields()[device::kSystemVoltage].label,
    device::WorkingFields()[device::kUnitVoltage].label,
    device::VoltageDifference().label,
    device::WorkingFields()[device::kSystemFrequency].label,
    device::WorkingFields()[device::kUnitFrequency].label,
    device::FrequencyDifference().label};

// The value axis of an analog channel (valueAxes_).
int AxisOf(int channel) {
    return channel % 3 == 2 ? channel / 3 * 2 + 1 : channel / 3 * 2;
}

struct HealthRow {
    const char* name;
    const char* label;
};
const HealthRow HealthRows[] = {
    {"HealthSent", "发送请求"},
    {"HealthAccepted", "正确应答"},
    {"HealthCrc", "CRC错误"},
    {"HealthShort", "应答不全"},
    {"HealthException", "异常应答"},
    {"HealthTimeout", "超时"},
    // With these two the rows above add up to the requests sent at every moment, also right
    // after 清零 with a request out.
    {"HealthAborted", "中止"},
    {"HealthInFlight", "等待应答"},
    {"HealthLate", "迟到应答"},
    {"HealthEcho", "跳过回显"},
    // Requests that went out at the bound on a line that never fell silent: polling goes on,
    // and this says why the late replies climb.
    {"HealthQuietCut", "未等到静默"},
    {"HealthLast", "最近应答时间"},
    {"HealthMean", "平均应答时间"},
    {"HealthP95", "95%应答时间"},
    {"HealthMax", "最长应答时间"},
    {"HealthSince", "距上次正确应答"},
};

QString Millis(std::chrono::microseconds t) {
    return QStringLiteral("%1 毫秒").arg(t.count() / 1000.0, 0, 'f', 2);
}

// One-pixel lines: the default two-pixel pen costs several times as much to draw.
void ThinPen(QLineSeries* s, QColor colour = {}) {
    QPen pen = s->pen();
    pen.setWidth(1);
    if (colour.isValid())
        pen.setColor(colour);
    s->setPen(pen);
}

QPushButton* Button(const char* text, const char* name, QWidget* parent) {
    auto* b = new QPushButton(QString::fromUtf8(text), parent);
    b->setObjectName(QLatin1String(name));
    b->setAutoDefault(false);
    return b;
}

// The least of 1, 2 and 5 times a power of ten that is at least `least` (> 0).
double NiceStep(double least) {
    const double power = std::pow(10.0, std::floor(std::log10(least)));
    for (const double m : {1.0, 2.0, 5.0})
        if (m * power >= least)
            return m * power;
    return 10 * power;
}

// A value axis around the whole numbers lo..hi: ticks on whole multiples of a step of 1, 2 or
// 5 x 10^k, at least 1 and about one per 30 pixels, at both ends. Whole-number ticks keep the
// labels ("%.0f") distinct; fractional ones rounded to whole numbers repeated each other.
void SetValueRange(QValueAxis* axis, double lo, double hi, double pixels) {
    const double pad = std::max(1.0, (hi - lo) * 0.05);
    lo -= pad;
    hi += pad;
    const double step = std::max(1.0, NiceStep((hi - lo) / std::clamp(pixels / 30, 2.0, 10.0)));
    const double from = std::floor(lo / step) * step, to = std::ceil(hi / step) * step;
    axis->setRange(from, to);
    axis->setTickCount(int(std::lround((to - from) / step)) + 1);
}

// The time axis: ticks on multiples of a step of 1, 2 or 5 x 10^k seconds, at least about 60
// pixels apart, labelled with as many decimals as the step needs, so that no two read the
// same however narrow the span.
void SetTimeRange(QValueAxis* axis, double t0, double t1, double pixels) {
    const double step = NiceStep((t1 - t0) * 60 / std::max(pixels, 60.0));
    const int decimals = std::max(0, -int(std::floor(std::log10(step) + 1e-9)));
    axis->setRange(t0, t1);
    axis->setTickAnchor(0);
    axis->setTickInterval(step);
    // Set only when it changes: Qt Charts lays the whole chart out again at every setting.
    if (const QString format = QStringLiteral("%.%1f").arg(decimals); axis->labelFormat() != format)
        axis->setLabelFormat(format);
}

} // namespace

TMonitorForm::TMonitorForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("MonitorForm"));
    setWindowTitle(QStringLiteral("曲线监视"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    setSizeGripEnabled(true);
    chooseFile_ = [this] {
        return QFileDialog::getSaveFileName(this, QStringLiteral("记录到文件"), QString(),
                                            QStringLiteral("CSV 文件 (*.csv);;所有文件 (*)"));
    };
    chooseReport_ = [this] {
        return QFileDialog::getSaveFileName(this, QStringLiteral("写报告到"), QString(),
                                            QStringLiteral("PDF 文件 (*.pdf)"));
    };
    chooseOpen_ = [this] {
        return QFileDialog::getOpenFileName(this, QStringLiteral("打开记录"), QString(),
                                            QStringLiteral("CSV 文件 (*.csv);;所有文件 (*)"));
    };
    BuildWindow();
    connect(&session_, &master::Session::PortLost, this, [this] {
        // Polling stops at once, so that no sample timer that comes due before the reopen
        // below finds the session closed and takes the run for stopped.
        const bool wasRunning = running_;
        StopPolling();
        RecordFailed(recorder_.Flush());
        // After the session's own handling has returned: reopening reports why it failed.
        QTimer::singleShot(0, this, [this, wasRunning] {
            Guarded([this, wasRunning] { OnPortLost(wasRunning); });
        });
    });
}

TMonitorForm::~TMonitorForm() {
    ++generation_;
    session_.Close();
}

void TMonitorForm::BuildWindow() {
    SlaveSpin = new QSpinBox(this);
    SlaveSpin->setObjectName(QStringLiteral("SlaveSpin"));
    SlaveSpin->setRange(1, 247);
    IntervalBox = new QComboBox(this);
    IntervalBox->setObjectName(QStringLiteral("IntervalBox"));
    const std::pair<const char*, int> intervals[] = {{"100 毫秒", 100}, {"200 毫秒", 200},
                                                     {"500 毫秒", 500}, {"1 秒", 1000},
                                                     {"2 秒", 2000},    {"尽快", 0}};
    for (const auto& [text, ms] : intervals)
        IntervalBox->addItem(QString::fromUtf8(text), ms);
    StartBtn = Button("开始", "StartBtn", this);
    StopBtn = Button("停止", "StopBtn", this);
    ClearBtn = Button("清除", "ClearBtn", this);
    RecordBtn = Button("记录...", "RecordBtn", this);
    OpenRecordBtn = Button("打开记录...", "OpenRecordBtn", this);
    ReportBtn = Button("报告...", "ReportBtn", this);
    ExitBtn = Button("退出", "ExitBtn", this);

    auto* controls = new QHBoxLayout;
    auto* slaveLabel = new QLabel(QStringLiteral("从机地址:"), this);
    slaveLabel->setObjectName(QStringLiteral("SlaveLabel"));
    auto* intervalLabel = new QLabel(QStringLiteral("采样间隔:"), this);
    intervalLabel->setObjectName(QStringLiteral("IntervalLabel"));
    for (QWidget* w : std::initializer_list<QWidget*>{slaveLabel, SlaveSpin, intervalLabel,
                                                      IntervalBox, StartBtn, StopBtn, ClearBtn,
                                                      RecordBtn, OpenRecordBtn, ReportBtn, ExitBtn})
        controls->addWidget(w);
    controls->addStretch();

    // Charts: working values above, the twelve states in a strip below, one time range.
    analogChart_ = MakeChart(analogView_, "AnalogChart");
    stateChart_ = MakeChart(stateView_, "StateChart");
    timeAxis_ = new QValueAxis(analogChart_);
    stateTimeAxis_ = new QValueAxis(stateChart_);
    timeAxis_->setTitleText(QStringLiteral("时间 (秒)"));
    stateTimeAxis_->setTitleText(QStringLiteral("时间 (秒)"));
    for (QValueAxis* a : {timeAxis_, stateTimeAxis_})
        a->setTickType(QValueAxis::TicksDynamic);
    analogChart_->addAxis(timeAxis_, Qt::AlignBottom);
    const char* const valueTitles[] = {"电压", "压差", "频率", "频差"};
    for (std::size_t a = 0; a < valueAxes_.size(); ++a) {
        valueAxes_[a] = new QValueAxis(analogChart_);
        valueAxes_[a]->setTitleText(QString::fromUtf8(valueTitles[a]));
        valueAxes_[a]->setLabelFormat(QStringLiteral("%.0f"));
        analogChart_->addAxis(valueAxes_[a], a < 2 ? Qt::AlignLeft : Qt::AlignRight);
    }
    for (int c = 0; c < AnalogChannels; ++c) {
        auto* s = new QLineSeries(analogChart_);
        s->setName(QString::fromUtf8(AnalogNames[c]));
        analogChart_->addSeries(s);
        s->attachAxis(timeAxis_);
        s->attachAxis(valueAxes_[AxisOf(c)]);
        // Six colours told apart easily; the theme repeats its first after five.
        static const QColor colours[AnalogChannels] = {0x1f77b4, 0x2ca02c, 0xff7f0e,
                                                       0x9467bd, 0xd62728, 0x8c564b};
        ThinPen(s, colours[c]);
        analogSeries_.push_back(s);
    }
    auto* stateAxis = new QCategoryAxis(stateChart_);
    stateAxis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionCenter);
    stateAxis->setRange(0, StateChannels * 1.5);
    stateAxis->setGridLineVisible(false);
    stateChart_->addAxis(stateTimeAxis_, Qt::AlignBottom);
    stateChart_->addAxis(stateAxis, Qt::AlignLeft);
    const std::vector<device::Field>& switches = device::SwitchFields();
    for (int k = StateChannels - 1; k >= 0; --k) // lowest trace first on the category axis
        stateAxis->append(QString::fromUtf8(switches[k].label), (StateChannels - k) * 1.5);
    for (int k = 0; k < StateChannels; ++k) {
        auto* s = new QLineSeries(stateChart_);
        s->setName(QString::fromUtf8(switches[k].label));
        stateChart_->addSeries(s);
        s->attachAxis(stateTimeAxis_);
        s->attachAxis(stateAxis);
        ThinPen(s);
        stateSeries_.push_back(s);
    }
    stateChart_->legend()->setVisible(false); // the axis names each trace
    // The closings, as vertical lines across the voltage axis (gaps between them).
    closingSeries_ = new QLineSeries(analogChart_);
    closingSeries_->setName(QStringLiteral("合闸"));
    analogChart_->addSeries(closingSeries_);
    closingSeries_->attachAxis(timeAxis_);
    closingSeries_->attachAxis(valueAxes_[0]);
    {
        QPen pen(QColor(0xe00000));
        pen.setWidth(1);
        pen.setStyle(Qt::DashLine);
        closingSeries_->setPen(pen);
    }
    ConnectLegend(analogChart_);

    auto* charts = new QSplitter(Qt::Vertical, this);
    charts->setObjectName(QStringLiteral("ChartSplitter"));
    charts->addWidget(analogView_);
    charts->addWidget(stateView_);
    charts->setStretchFactor(0, 3);
    charts->setStretchFactor(1, 2);
    // Room for the legend above the curves, and for the twelve names beside the strip.
    analogView_->setMinimumHeight(260);
    stateView_->setMinimumHeight(300);

    // Link health and the numbers that are not plotted, always in view.
    auto* healthBox = new QGroupBox(QStringLiteral(" 通讯状况 "), this);
    healthBox->setObjectName(QStringLiteral("HealthBox"));
    auto* form = new QFormLayout(healthBox);
    for (const HealthRow& r : HealthRows) {
        auto* value = new QLabel(healthBox);
        value->setObjectName(QLatin1String(r.name));
        form->addRow(QString::fromUtf8(r.label) + QLatin1Char(':'), value);
        health_.push_back(value);
    }
    ResetHealthBtn = Button("清零", "ResetHealthBtn", healthBox);
    form->addRow(ResetHealthBtn);
    ParallelLabel = new QLabel(this);
    ParallelLabel->setObjectName(QStringLiteral("ParallelLabel"));
    SetpointLabel = new QLabel(this);
    SetpointLabel->setObjectName(QStringLiteral("SetpointLabel"));
    SourceLabel = new QLabel(this);
    SourceLabel->setObjectName(QStringLiteral("SourceLabel"));
    SourceLabel->setWordWrap(true);
    SourceLabel->setMaximumWidth(260);
    RecordLabel = new QLabel(this);
    RecordLabel->setObjectName(QStringLiteral("RecordLabel"));
    RecordLabel->setWordWrap(true);
    auto* side = new QVBoxLayout;
    side->addWidget(healthBox);
    side->addWidget(ParallelLabel);
    side->addWidget(SetpointLabel);
    side->addWidget(RecordLabel);
    side->addWidget(SourceLabel);
    side->addStretch();

    // The attempts beside the charts; a row selected zooms the charts to its attempt.
    auto* attemptsBox = new QGroupBox(QStringLiteral(" 同期记录 "), this);
    attemptsBox->setObjectName(QStringLiteral("AttemptsBox"));
    auto* attemptsLayout = new QVBoxLayout(attemptsBox);
    attemptsTable_ = new monitor::AttemptsTable(analyser_, attemptsBox);
    attemptsTable_->onSelect = [this](const analysis::Attempt& a) {
        Guarded([&] { ShowAttempt(a); });
    };
    attemptsLayout->addWidget(attemptsTable_);
    auto* beside = new QSplitter(Qt::Horizontal, this);
    beside->setObjectName(QStringLiteral("AttemptsSplitter"));
    beside->addWidget(charts);
    beside->addWidget(attemptsBox);
    beside->setStretchFactor(0, 3);
    beside->setStretchFactor(1, 1);
    beside->setCollapsible(0, false);
    // The legend's seven entries stay inside the chart; the table takes what is left.
    analogView_->setMinimumWidth(600);
    beside->setSizes({700, 520});

    auto* body = new QHBoxLayout;
    body->addWidget(beside, 1);
    body->addLayout(side);
    auto* all = new QVBoxLayout(this);
    all->addLayout(controls);
    all->addLayout(body, 1);

    const auto guarded = [this](void (TMonitorForm::*handler)()) {
        return [this, handler] { Guarded([&] { (this->*handler)(); }); };
    };
    connect(StartBtn, &QAbstractButton::clicked, this, guarded(&TMonitorForm::StartBtnClick));
    connect(StopBtn, &QAbstractButton::clicked, this, guarded(&TMonitorForm::StopBtnClick));
    connect(ClearBtn, &QAbstractButton::clicked, this, guarded(&TMonitorForm::ClearBtnClick));
    connect(RecordBtn, &QAbstractButton::clicked, this, guarded(&TMonitorForm::RecordBtnClick));
    connect(OpenRecordBtn, &QAbstractButton::clicked, this,
            guarded(&TMonitorForm::OpenRecordBtnClick));
    connect(ReportBtn, &QAbstractButton::clicked, this, guarded(&TMonitorForm::ReportBtnClick));
    connect(ResetHealthBtn, &QAbstractButton::clicked, this,
            guarded(&TMonitorForm::ResetHealthBtnClick));
    connect(ExitBtn, &QAbstractButton::clicked, this, &QWidget::close);
    for (monitor::TimeChartView* v : {analogView_, stateView_}) {
        v->installEventFilter(this); // a chart that changes size gets its axes' room again
        v->onZoom = [this](double f, double at) { Guarded([&] { Zoom(f, at); }); };
        v->onPan = [this](double dt) { Guarded([&] { Pan(dt); }); };
        v->onFollow = [this] { SetView(viewT0_, viewT1_, true); };
    }

    refresh_ = new QTimer(this);
    refresh_->setObjectName(QStringLiteral("RefreshTimer"));
    refresh_->setInterval(RefreshMs);
    connect(refresh_, &QTimer::timeout, this, [this] { Guarded([this] { Redraw(); }); });
    nextSample_ = new QTimer(this);
    nextSample_->setObjectName(QStringLiteral("SampleTimer"));
    nextSample_->setSingleShot(true);
    connect(nextSample_, &QTimer::timeout, this, [this] { Guarded([this] { StartSample(); }); });
    setpointTimer_ = new QTimer(this);
    setpointTimer_->setObjectName(QStringLiteral("SetpointTimer"));
    setpointTimer_->setInterval(SetpointMs);
    connect(setpointTimer_, &QTimer::timeout, this,
            [this] { Guarded([this] { ReadSetpoints(); }); });

    RestoreSettings();
    UpdateButtons();
    UpdateHealth();
    ShowSetpoints();
}

void TMonitorForm::RestoreSettings() {
    // The choices of the last run. The file can be edited or damaged: a value that cannot be
    // right falls back to its default, so that it is never used, nor saved again on closing.
    QSettings settings(QStringLiteral("democomm"), QStringLiteral("monitor"));
    if (!restoreGeometry(settings.value(QStringLiteral("geometry")).toByteArray()))
        resize(1360, 760);
    bool ok = false;
    const int slave = settings.value(QStringLiteral("slave")).toInt(&ok);
    SlaveSpin->setValue(ok && slave >= SlaveSpin->minimum() && slave <= SlaveSpin->maximum() ? slave
                                                                                             : 1);
    const int interval = settings.value(QStringLiteral("interval")).toInt(&ok);
    IntervalBox->setCurrentIndex(ok && interval >= 0 && interval < IntervalBox->count() ? interval
                                                                                        : 0);
    const double span = settings.value(QStringLiteral("span")).toDouble(&ok);
    viewT0_ = 0;
    viewT1_ = ok && span >= MinSpan && span <= MaxSpan ? span : DefaultSpan; // NaN fails both
    const QStringList hidden = settings.value(QStringLiteral("hidden")).toStringList();
    for (QLegendMarker* m : analogChart_->legend()->markers())
        ShowCurve(m, !hidden.contains(m->series()->name()));
}

QChart* TMonitorForm::MakeChart(monitor::TimeChartView*& view, const char* name) {
    auto* chart = new QChart;
    chart->setMargins(QMargins(4, 4, 4, 4));
    chart->legend()->setAlignment(Qt::AlignTop);
    view = new monitor::TimeChartView(chart, this);
    view->setObjectName(QLatin1String(name));
    view->setRenderHint(QPainter::Antialiasing, false); // thinned lines draw faster without
    view->setRubberBand(QChartView::NoRubberBand);
    return chart;
}

void TMonitorForm::ConnectLegend(QChart* chart) {
    for (QLegendMarker* m : chart->legend()->markers())
        connect(m, &QLegendMarker::clicked, this, [this, m] {
            ShowCurve(m, !m->series()->isVisible());
            dirty_ = true;
            SaveSettings();
        });
}

void TMonitorForm::ShowCurve(QLegendMarker* marker, bool visible) {
    marker->series()->setVisible(visible);
    // Qt Charts hides a series' legend entry with the series; the entry stays, dimmed, so
    // that a click shows the curve again.
    marker->setVisible(true);
    QColor c = marker->labelBrush().color();
    c.setAlphaF(visible ? 1.0 : 0.4);
    marker->setLabelBrush(c);
}

void TMonitorForm::ShowWithPort(uint32_t baudRate, const QString& commName) {
    baudRate_ = baudRate;
    commName_ = commName;
    refresh_->start();
    exec();
}

void TMonitorForm::StartBtnClick() {
    if (running_)
        return;
    if (!session_.IsOpen())
        session_.Open(commName_, baudRate_); // ECommsError: the standard report; Start retries
    if (showingRecord_)
        LeaveRecord();
    if (origin_ == master::Clock::time_point{}) {
        origin_ = master::Clock::now();
        originWallMs_ = QDateTime::currentMSecsSinceEpoch();
    }
    running_ = true;
    runStart_ = true;
    ++generation_;
    UpdateButtons();
    StartSample();
    // Queued behind the first sample's requests; the analysis judges closings before the first
    // reading by it.
    ReadSetpoints();
    setpointTimer_->start();
}

void TMonitorForm::StopBtnClick() {
    StopPolling();
    session_.Close();
    RecordFailed(recorder_.Flush());
}

void TMonitorForm::StopPolling() {
    running_ = false;
    ++generation_;
    nextSample_->stop();
    setpointTimer_->stop();
    UpdateButtons();
}

void TMonitorForm::ClearBtnClick() {
    store_.Clear();
    analyser_.Clear();
    attemptsTable_->Refresh();
    // The set-points read still hold for the samples to come.
    if (setpoints_)
        analyser_.AddSetpoints(*setpoints_);
    ParallelLabel->clear();
    dirty_ = true;
    Redraw();
}

void TMonitorForm::RecordBtnClick() {
    if (recorder_.Active())
        return StopRecording();
    const QString path = chooseFile_ ? chooseFile_() : QString();
    if (!path.isEmpty())
        RecordTo(path);
}

void TMonitorForm::StopRecording() {
    const QString path = recorder_.Path();
    const QString reason = recorder_.Stop();
    UpdateButtons();
    if (!reason.isEmpty()) // the last lines may not be in the file (a full quota, a network file)
        ui::ShowErrorReport(QStringLiteral("无法写入记录文件 %1：%2").arg(path, reason));
}

bool TMonitorForm::RecordTo(const QString& path) {
    if (recorder_.Active())
        StopRecording();
    const QString reason = recorder_.Start(path);
    UpdateButtons();
    if (reason.isEmpty())
        return true;
    ui::ShowErrorReport(QStringLiteral("无法写入记录文件 %1：%2").arg(path, reason));
    return false;
}

void TMonitorForm::ReportBtnClick() {
    const QString path = chooseReport_ ? chooseReport_() : QString();
    if (!path.isEmpty())
        ReportTo(path);
}

bool TMonitorForm::ReportTo(const QString& path) {
    monitor::ReportSource source;
    source.version = QStringLiteral(DEMOCOMM_VERSION);
    if (showingRecord_) {
        source.device =
            QStringLiteral("记录文件 %1, 从机 %2").arg(shownPath_).arg(shownStats_.slave);
        source.time = analysis::RecordTimeText(shownStats_);
        source.health = SourceLabel->text().split(QLatin1Char('\n'));
    } else {
        source.device = QStringLiteral("端口 %1, %2 波特, 从机 %3")
                            .arg(commName_)
                            .arg(baudRate_)
                            .arg(SlaveSpin->value());
        if (origin_ != master::Clock::time_point{}) {
            analysis::RecordStats origin;
            origin.haveOrigin = true;
            origin.originMs = originWallMs_;
            origin.offsetSeconds = QDateTime::fromMSecsSinceEpoch(originWallMs_).offsetFromUtc();
            source.time = analysis::RecordTimeText(origin);
        }
        UpdateHealth();
        for (std::size_t i = 0; i < health_.size(); ++i)
            source.health << QStringLiteral("%1: %2").arg(QString::fromUtf8(HealthRows[i].label),
                                                          health_[i]->text());
    }
    const QString reason = monitor::WriteReport(path, source, analyser_, store_);
    if (reason.isEmpty())
        return true;
    ui::ShowErrorReport(QStringLiteral("无法写入报告 %1：%2").arg(path, reason));
    return false;
}

void TMonitorForm::ResetHealthBtnClick() {
    session_.ResetStats();
    UpdateHealth();
}

void TMonitorForm::StartSample() {
    if (!running_)
        return;
    pending_ = monitor::Sample{};
    pendingOutcome_.clear();
    pendingSlave_ = SlaveSpin->value();
    pendingSentAt_ = master::Clock::now(); // until the first request is on the wire
    pendingSentAtWall_ = std::chrono::system_clock::now();
    const uint64_t generation = generation_;
    const auto slave = static_cast<uint8_t>(pendingSlave_);
    const auto taken = [this, generation](const Result& r) {
        return generation == generation_ && r.outcome != Outcome::Cancelled &&
               r.outcome != Outcome::PortLost;
    };
    const bool queued = session_.Submit(Request::ReadHoldingRegisters(slave, device::kWorkingStart,
                                                                      device::kWorkingCount),
                                        [this, taken](const Result& r) {
                                            Guarded([&] {
                                                if (!taken(r))
                                                    return;
                                                // The sample's time, on both clocks: when
                                                // its first request went on the wire (a
                                                // failed exchange before it can delay that).
                                                if (r.sent) {
                                                    pendingSentAt_ = r.sentAt;
                                                    pendingSentAtWall_ = r.sentAtWall;
                                                }
                                                Take(r);
                                            });
                                        }) &&
                        session_.Submit(Request::ReadDiscreteInputs(slave, device::kInputStart,
                                                                    device::kInputCount),
                                        [this, taken](const Result& r) {
                                            Guarded([&] {
                                                if (!taken(r))
                                                    return;
                                                Take(r);
                                                FinishSample();
                                            });
                                        });
    if (!queued) // the port is gone; PortLost reports it
        StopPolling();
}

void TMonitorForm::Take(const Result& r) {
    if (r.outcome == Outcome::Ok) {
        for (std::size_t i = 0; i < r.words.size() && i < pending_.values.size(); ++i)
            pending_.values[i] = static_cast<int16_t>(modbus::FromSignMagnitude(r.words[i]));
        for (std::size_t k = 0; k < r.bits.size() && k < StateChannels; ++k)
            pending_.states |= uint16_t(r.bits[k] ? 1u << k : 0u);
        pending_.have |= r.words.empty() ? monitor::HaveStates : monitor::HaveValues;
    } else if (pendingOutcome_.isEmpty()) {
        pendingOutcome_ = r.outcome == Outcome::Exception
                              ? QStringLiteral("exception %1").arg(r.exceptionCode)
                              : QString::fromLatin1(master::OutcomeName(r.outcome));
    }
}

void TMonitorForm::FinishSample() {
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    if (pendingOutcome_.isEmpty())
        pendingOutcome_ = QStringLiteral("ok");
    // In whole milliseconds, as the record keeps it: a record opened again then draws the same
    // points as were drawn live (a sample a fraction of a millisecond across a slice's edge
    // would otherwise be thinned into the neighbouring slice).
    pending_.t = duration_cast<milliseconds>(pendingSentAt_ - origin_).count() / 1000.0;
    if (runStart_)
        pending_.have |= monitor::RunStart;
    runStart_ = false;
    store_.Append(pending_);
    analyser_.Add(pending_);
    dirty_ = true;
    // The next sample goes the interval after this one went.
    const int interval = IntervalBox->currentData().toInt();
    const auto took = duration_cast<milliseconds>(master::Clock::now() - pendingSentAt_).count();
    nextSample_->start(int(std::clamp<int64_t>(interval - took, 0, interval)));
    const QDateTime when = QDateTime::fromMSecsSinceEpoch(
        duration_cast<milliseconds>(pendingSentAtWall_.time_since_epoch()).count());
    RecordFailed(recorder_.Append(when, pending_, pendingSlave_, pendingOutcome_));
}

void TMonitorForm::RecordFailed(const QString& reason) {
    if (reason.isEmpty())
        return;
    UpdateButtons();
    // Not from inside the session's callback: the box runs an event loop of its own.
    const QString text =
        QStringLiteral("无法写入记录文件 %1：%2，记录已停止").arg(recorder_.Path(), reason);
    QTimer::singleShot(0, this, [text] { ui::ShowErrorReport(text); });
}

void TMonitorForm::ReadSetpoints() {
    if (!running_)
        return;
    const uint64_t generation = generation_;
    const int slave = SlaveSpin->value();
    // A failed reading is counted in the health panel like any exchange and tried again at
    // the next minute; the verdicts use the last reading until then.
    session_.Submit(Request::ReadHoldingRegisters(static_cast<uint8_t>(slave),
                                                  device::kSetpointStart, device::kSetpointCount),
                    [this, generation, slave](const Result& r) {
                        Guarded([&] {
                            if (generation != generation_ || r.outcome != Outcome::Ok ||
                                r.words.size() < device::kSetpointCount)
                                return;
                            analysis::SetpointReading reading;
                            reading.t = std::chrono::duration_cast<std::chrono::milliseconds>(
                                            r.sentAt - origin_)
                                            .count() /
                                        1000.0;
                            for (int i = 0; i < device::kSetpointCount; ++i)
                                reading.values[i] = device::Decode(r.words[i]);
                            const QDateTime when = QDateTime::fromMSecsSinceEpoch(
                                std::chrono::duration_cast<std::chrono::milliseconds>(
                                    r.sentAtWall.time_since_epoch())
                                    .count());
                            TakeSetpoints(reading, when, slave);
                        });
                    });
}

void TMonitorForm::TakeSetpoints(const analysis::SetpointReading& r, const QDateTime& when,
                                 int slave) {
    setpoints_ = r;
    setpointsReadAt_ = when;
    analyser_.AddSetpoints(r);
    dirty_ = true;
    ShowSetpoints();
    RecordFailed(recorder_.AppendSetpoints(when, r, slave));
}

void TMonitorForm::ShowSetpoints() {
    if (!setpoints_) {
        SetpointLabel->setText(QStringLiteral("定值: 未读取"));
        return;
    }
    QString text = QStringLiteral("定值 (%1 读取):")
                       .arg(setpointsReadAt_.toString(QStringLiteral("HH:mm:ss")));
    for (int i = 0; i < device::kSetpointCount; ++i) {
        const device::Field& f = device::SetpointFields()[i];
        text += QStringLiteral("\n%1: %2 %3")
                    .arg(QString::fromUtf8(f.label))
                    .arg(device::InUnit(setpoints_->values[i], f.scale), 0, 'f', f.scale.decimals)
                    .arg(QString::fromUtf8(f.scale.unit));
    }
    SetpointLabel->setText(text);
}

void TMonitorForm::OnPortLost(bool wasRunning) {
    // A network port says why it was lost (refused, reset, ...): that is the report, and
    // Start tries again; reopening would only connect in the background and lose it again.
    if (const auto lost = LostPortError(commName_))
        throw *lost;
    // Reopening gives the same report as a port that cannot be opened (the adapter is gone,
    // and why); a port that is back at once is simply polled on.
    if (!session_.IsOpen())
        session_.Open(commName_, baudRate_);
    if (wasRunning)
        StartBtnClick();
}

void TMonitorForm::UpdateButtons() {
    StartBtn->setEnabled(!running_);
    StopBtn->setEnabled(running_);
    RecordBtn->setText(recorder_.Active() ? QStringLiteral("停止记录") : QStringLiteral("记录..."));
    RecordLabel->setText(recorder_.Active() ? QStringLiteral("记录到: %1").arg(recorder_.Path())
                                            : QString());
}

void TMonitorForm::UpdateHealth() {
    if (showingRecord_)
        return; // the record's figures stand in the panel until Start
    const master::Statistics s = session_.Stats();
    const QString exception = s.exceptionReplies
                                  ? QStringLiteral("%1 (最近代码 %2)")
                                        .arg(s.exceptionReplies)
                                        .arg(s.lastExceptionCode, 2, 16, QLatin1Char('0'))
                                  : QStringLiteral("0");
    const bool timed = s.timedReplies > 0;
    const QString since =
        s.lastAcceptedAt == master::Clock::time_point{}
            ? QStringLiteral("-")
            : QStringLiteral("%1 秒").arg(
                  std::chrono::duration<double>(master::Clock::now() - s.lastAcceptedAt).count(), 0,
                  'f', 1);
    const QString texts[] = {
        QString::number(s.requestsSent),
        QString::number(s.repliesAccepted),
        QString::number(s.crcFailures),
        QString::number(s.shortReplies),
        exception,
        QString::number(s.timeouts),
        QString::number(s.aborted),
        QString::number(s.inFlight),
        QString::number(s.lateReplies),
        QString::number(s.echoesSkipped),
        QString::number(s.quietWaitsCut),
        timed ? Millis(s.lastReplyTime) : QStringLiteral("-"),
        timed ? Millis(s.meanReplyTime) : QStringLiteral("-"),
        timed ? Millis(s.p95ReplyTime) : QStringLiteral("-"),
        timed ? Millis(s.maxReplyTime) : QStringLiteral("-"),
        since,
    };
    for (std::size_t i = 0; i < health_.size(); ++i)
        health_[i]->setText(texts[i]);
}

void TMonitorForm::SetView(double t0, double t1, bool follow) {
    const double span = std::clamp(t1 - t0, MinSpan, MaxSpan);
    viewT0_ = t0;
    viewT1_ = t0 + span;
    follow_ = follow;
    dirty_ = true;
    Redraw();
}

void TMonitorForm::Zoom(double factor, double at) {
    const double t0 = at - (at - viewT0_) * factor;
    SetView(t0, t0 + (viewT1_ - viewT0_) * factor, false);
}

void TMonitorForm::Pan(double seconds) {
    SetView(viewT0_ + seconds, viewT1_ + seconds, false);
}

qsizetype TMonitorForm::Redraw() {
    UpdateHealth();
    if (!dirty_)
        return 0;
    dirty_ = false;
    if (follow_) {
        const double span = viewT1_ - viewT0_;
        const double last = store_.Empty() ? 0 : store_[store_.Size() - 1].t;
        viewT1_ = std::max(last, span);
        viewT0_ = viewT1_ - span;
    }
    AlignPlots();
    // One slice per two pixels of the plot: least and largest value per slice draw the same
    // band as every sample would, at a fraction of the points.
    const QRectF plot = analogChart_->plotArea();
    const int buckets = std::max(100, int(plot.width()) / 2);
    const monitor::Drawing d = store_.Thin(viewT0_, viewT1_, buckets);
    double lo[4] = {1e9, 1e9, 1e9, 1e9}, hi[4] = {-1e9, -1e9, -1e9, -1e9};
    for (int c = 0; c < AnalogChannels; ++c)
        for (const QPointF& p : analogSeries_[c]->isVisible() ? d.analog[c] : QList<QPointF>{}) {
            if (std::isnan(p.y())) // a gap
                continue;
            lo[AxisOf(c)] = std::min(lo[AxisOf(c)], p.y());
            hi[AxisOf(c)] = std::max(hi[AxisOf(c)], p.y());
        }
    // Every axis change lays out every attached series again: the axes change while the
    // series are empty, and each series is laid out once, with its new points.
    for (QLineSeries* s : analogSeries_)
        s->clear();
    for (QLineSeries* s : stateSeries_)
        s->clear();
    closingSeries_->clear();
    SetTimeRange(timeAxis_, viewT0_, viewT1_, plot.width());
    SetTimeRange(stateTimeAxis_, viewT0_, viewT1_, plot.width());
    for (std::size_t a = 0; a < valueAxes_.size(); ++a) {
        if (lo[a] > hi[a])
            lo[a] = 0, hi[a] = 100;
        SetValueRange(valueAxes_[a], lo[a], hi[a], plot.height());
    }
    qsizetype points = 0;
    for (int c = 0; c < AnalogChannels; ++c) {
        analogSeries_[c]->replace(d.analog[c]);
        points += d.analog[c].size();
    }
    for (int k = 0; k < StateChannels; ++k) {
        stateSeries_[k]->replace(d.states[k]);
        points += d.states[k].size();
    }
    DrawClosings();
    points += closingSeries_->count();
    attemptsTable_->Refresh();
    for (std::size_t i = store_.Size(); i-- > 0;)
        if (store_[i].have & monitor::HaveValues) {
            ParallelLabel->setText(QStringLiteral("并机号: %1").arg(store_[i].values[4]));
            break;
        }
    return points;
}

void TMonitorForm::DrawClosings() {
    const double lo = valueAxes_[0]->min(), hi = valueAxes_[0]->max();
    // Closings nearer together than a thousandth of the view share one mark, as the curves
    // share one bucket: a day in view stays a few thousand points to draw, not a line per
    // closing.
    const double bucket = (viewT1_ - viewT0_) / 1000;
    double last = -std::numeric_limits<double>::infinity();
    QList<QPointF> points;
    for (const analysis::Attempt& a : analyser_.Attempts())
        if (a.closing && a.closing->after >= viewT0_ && a.closing->after <= viewT1_ &&
            a.closing->after - last >= bucket) {
            last = a.closing->after;
            // At the first sample that showed the advance action: the edge lies before it,
            // within the spacing the table's tip gives.
            // A gap between two lines; none before the first (Qt Charts draws a series that
            // begins with one from the plot's corner).
            const double x = a.closing->after;
            if (!points.isEmpty())
                points << QPointF(x, qQNaN());
            points << QPointF(x, lo) << QPointF(x, hi);
        }
    closingSeries_->replace(points);
}

void TMonitorForm::ShowAttempt(const analysis::Attempt& a) {
    // The attempt and a little before and after it, so that its start and closing show.
    const double margin = std::max(2.0, (a.end - a.start) * 0.1);
    SetView(a.start - margin, a.end + margin, false);
}

void TMonitorForm::AlignPlots() {
    // The two charts have different axes beside their plots; one time axis needs their plots
    // to start and end at the same x, so both get the same room for axes on either side.
    constexpr double Left = 130, Right = 135, Bottom = 50;
    for (QChart* c : {analogChart_, stateChart_}) {
        const double top = c == analogChart_ ? 60 : 15;
        const QSizeF size = c->size();
        if (size.width() <= Left + Right + 50 || size.height() <= top + Bottom + 20)
            continue;
        const QRectF plot(Left, top, size.width() - Left - Right, size.height() - top - Bottom);
        if (plot == c->plotArea())
            continue;
        c->setPlotArea(plot);
        // A chart whose plot area is set lays its axes out again only when its layout is
        // invalidated: after the chart had narrowed (the health panel widening at the first
        // reply) the right-hand axes stayed where the wider chart had them, cut off.
        c->layout()->invalidate();
    }
}

bool TMonitorForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Resize && !redrawQueued_) {
        // The window, the splitter or the health panel changed a chart's size: the next
        // redraw gives its plot the room for axes again.
        dirty_ = redrawQueued_ = true;
        QTimer::singleShot(0, this, [this] {
            redrawQueued_ = false;
            Guarded([this] { Redraw(); });
        });
    }
    return QDialog::eventFilter(watched, event);
}

void TMonitorForm::SaveSettings() const {
    QSettings settings(QStringLiteral("democomm"), QStringLiteral("monitor"));
    settings.setValue(QStringLiteral("geometry"), saveGeometry());
    settings.setValue(QStringLiteral("slave"), SlaveSpin->value());
    settings.setValue(QStringLiteral("interval"), IntervalBox->currentIndex());
    settings.setValue(QStringLiteral("span"), viewT1_ - viewT0_);
    QStringList hidden;
    for (const QLineSeries* s : analogSeries_)
        if (!s->isVisible())
            hidden << s->name();
    settings.setValue(QStringLiteral("hidden"), hidden);
}

void TMonitorForm::done(int result) {
    // Every way out (退出, the close box, Esc) ends here: nothing polls a hidden window.
    Guarded([this] {
        StopBtnClick();
        StopRecording();
        refresh_->stop();
        SaveSettings();
    });
    QDialog::done(result);
}
