#include "monitor.h"

#include "cli/cli.h"
#include "modbus/codec.h"
#include "serial/exception.h"
#include "ui/dialogs.h"

#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
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

constexpr double MinSpan = 1, MaxSpan = 2 * 86400;
constexpr int RefreshMs = 250;

const char* const AnalogNames[AnalogChannels] = {"系统电压", "机组电压", "压差",
                                                 "系统频率", "机组频率", "频差"};

// The value axis of an analog channel (valueAxes_).
int AxisOf(int channel) {
    return channel % 3 == 2 ? channel / 3 * 2 + 1 : channel / 3 * 2;
}

struct HealthRow {
    const char* name;
    const char* label;
};
const HealthRow HealthRows[] = {
    {"HealthSent", "发送请求"},        {"HealthAccepted", "正确应答"},
    {"HealthCrc", "CRC错误"},          {"HealthShort", "应答不全"},
    {"HealthException", "异常应答"},   {"HealthTimeout", "超时"},
    {"HealthLate", "迟到应答"},        {"HealthEcho", "跳过回显"},
    {"HealthLast", "最近应答时间"},    {"HealthMean", "平均应答时间"},
    {"HealthP95", "95%应答时间"},      {"HealthMax", "最长应答时间"},
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
    BuildWindow();
    connect(&session_, &master::Session::PortLost, this, [this] {
        // After the session's own handling has returned: reopening reports why it failed.
        QTimer::singleShot(0, this, [this] { Guarded([this] { OnPortLost(); }); });
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
    ExitBtn = Button("退出", "ExitBtn", this);

    auto* controls = new QHBoxLayout;
    auto* slaveLabel = new QLabel(QStringLiteral("从机地址:"), this);
    slaveLabel->setObjectName(QStringLiteral("SlaveLabel"));
    auto* intervalLabel = new QLabel(QStringLiteral("采样间隔:"), this);
    intervalLabel->setObjectName(QStringLiteral("IntervalLabel"));
    for (QWidget* w :
         std::initializer_list<QWidget*>{slaveLabel, SlaveSpin, intervalLabel, IntervalBox,
                                         StartBtn, StopBtn, ClearBtn, RecordBtn, ExitBtn})
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
        a->setLabelFormat(QStringLiteral("%.0f"));
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
    const std::vector<cli::Field>& switches = cli::SwitchFields();
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
    RecordLabel = new QLabel(this);
    RecordLabel->setObjectName(QStringLiteral("RecordLabel"));
    RecordLabel->setWordWrap(true);
    auto* side = new QVBoxLayout;
    side->addWidget(healthBox);
    side->addWidget(ParallelLabel);
    side->addWidget(RecordLabel);
    side->addStretch();

    auto* body = new QHBoxLayout;
    body->addWidget(charts, 1);
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
    connect(ResetHealthBtn, &QAbstractButton::clicked, this,
            guarded(&TMonitorForm::ResetHealthBtnClick));
    connect(ExitBtn, &QAbstractButton::clicked, this, &QWidget::close);
    for (monitor::TimeChartView* v : {analogView_, stateView_}) {
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

    // The choices of the last run.
    QSettings settings(QStringLiteral("democomm"), QStringLiteral("monitor"));
    restoreGeometry(settings.value(QStringLiteral("geometry")).toByteArray());
    if (settings.value(QStringLiteral("geometry")).isNull())
        resize(1000, 720);
    SlaveSpin->setValue(settings.value(QStringLiteral("slave"), 1).toInt());
    IntervalBox->setCurrentIndex(
        std::clamp(settings.value(QStringLiteral("interval"), 0).toInt(), 0, 5));
    const double span =
        std::clamp(settings.value(QStringLiteral("span"), 60.0).toDouble(), MinSpan, MaxSpan);
    viewT1_ = span;
    const QStringList hidden = settings.value(QStringLiteral("hidden")).toStringList();
    for (QLineSeries* s : analogSeries_)
        s->setVisible(!hidden.contains(s->name()));
    UpdateButtons();
    UpdateHealth();
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
    const auto dim = [](QLegendMarker* m) {
        QColor c = m->labelBrush().color();
        c.setAlphaF(m->series()->isVisible() ? 1.0 : 0.4);
        m->setLabelBrush(c);
    };
    for (QLegendMarker* m : chart->legend()->markers()) {
        dim(m);
        connect(m, &QLegendMarker::clicked, this, [this, m, dim] {
            m->series()->setVisible(!m->series()->isVisible());
            m->setVisible(true); // the marker stays, dimmed, to switch the series back on
            dim(m);
            dirty_ = true;
            SaveSettings();
        });
    }
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
    if (!clockStarted_) {
        clock_.start();
        clockStarted_ = true;
    }
    running_ = true;
    ++generation_;
    UpdateButtons();
    StartSample();
}

void TMonitorForm::StopBtnClick() {
    running_ = false;
    ++generation_;
    nextSample_->stop();
    session_.Close();
    UpdateButtons();
}

void TMonitorForm::ClearBtnClick() {
    store_.Clear();
    ParallelLabel->clear();
    dirty_ = true;
    Redraw();
}

void TMonitorForm::RecordBtnClick() {
    if (recorder_.Active()) {
        recorder_.Stop();
        UpdateButtons();
        return;
    }
    const QString path = chooseFile_ ? chooseFile_() : QString();
    if (!path.isEmpty())
        RecordTo(path);
}

bool TMonitorForm::RecordTo(const QString& path) {
    const QString reason = recorder_.Start(path);
    UpdateButtons();
    if (reason.isEmpty())
        return true;
    ui::ShowErrorReport(QStringLiteral("无法写入记录文件 %1：%2").arg(path, reason));
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
    pending_.t = double(clock_.nsecsElapsed()) / 1e9;
    pendingOutcome_.clear();
    pendingSlave_ = SlaveSpin->value();
    sampleStartedMs_ = clock_.elapsed();
    const uint64_t generation = generation_;
    const auto slave = static_cast<uint8_t>(pendingSlave_);
    const auto taken = [this, generation](const Result& r) {
        return generation == generation_ && r.outcome != Outcome::Cancelled &&
               r.outcome != Outcome::PortLost;
    };
    const bool queued = session_.Submit(Request::ReadHoldingRegisters(slave, 0x0000, 5),
                                        [this, taken](const Result& r) {
                                            Guarded([&] {
                                                if (taken(r))
                                                    Take(r);
                                            });
                                        }) &&
                        session_.Submit(Request::ReadDiscreteInputs(slave, 0x0300, 12),
                                        [this, taken](const Result& r) {
                                            Guarded([&] {
                                                if (!taken(r))
                                                    return;
                                                Take(r);
                                                FinishSample();
                                            });
                                        });
    if (!queued) { // the port is gone; PortLost reports it
        running_ = false;
        UpdateButtons();
    }
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
    if (pendingOutcome_.isEmpty())
        pendingOutcome_ = QStringLiteral("ok");
    store_.Append(pending_);
    dirty_ = true;
    const int interval = IntervalBox->currentData().toInt();
    nextSample_->start(int(std::max<qint64>(0, interval - (clock_.elapsed() - sampleStartedMs_))));
    const QString reason =
        recorder_.Append(QDateTime::currentDateTime(), pending_, pendingSlave_, pendingOutcome_);
    if (!reason.isEmpty()) {
        UpdateButtons();
        // Not from inside the session's callback: the box runs an event loop of its own.
        const QString text =
            QStringLiteral("无法写入记录文件 %1：%2，记录已停止").arg(recorder_.Path(), reason);
        QTimer::singleShot(0, this, [text] { ui::ShowErrorReport(text); });
    }
}

void TMonitorForm::OnPortLost() {
    const bool wasRunning = running_;
    running_ = false;
    ++generation_;
    nextSample_->stop();
    UpdateButtons();
    // A network port says why it was lost (refused, reset, ...): that is the report, and
    // Start tries again; reopening would only connect in the background and lose it again.
    if (const auto lost = LostPortError(commName_))
        throw *lost;
    // Reopening gives the same report as a port that cannot be opened (the adapter is gone,
    // and why); a port that is back at once is simply polled on.
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
        QString::number(s.lateReplies),
        QString::number(s.echoesSkipped),
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
    // One slice per two pixels of the plot: least and largest value per slice draw the same
    // band as every sample would, at a fraction of the points.
    const int buckets = std::max(100, int(analogChart_->plotArea().width()) / 2);
    const monitor::Drawing d = store_.Thin(viewT0_, viewT1_, buckets);
    double lo[4] = {1e9, 1e9, 1e9, 1e9}, hi[4] = {-1e9, -1e9, -1e9, -1e9};
    for (int c = 0; c < AnalogChannels; ++c)
        for (const QPointF& p : analogSeries_[c]->isVisible() ? d.analog[c] : QList<QPointF>{}) {
            lo[AxisOf(c)] = std::min(lo[AxisOf(c)], p.y());
            hi[AxisOf(c)] = std::max(hi[AxisOf(c)], p.y());
        }
    // Every axis change lays out every attached series again: the axes change while the
    // series are empty, and each series is laid out once, with its new points.
    for (QLineSeries* s : analogSeries_)
        s->clear();
    for (QLineSeries* s : stateSeries_)
        s->clear();
    timeAxis_->setRange(viewT0_, viewT1_);
    stateTimeAxis_->setRange(viewT0_, viewT1_);
    for (std::size_t a = 0; a < valueAxes_.size(); ++a) {
        if (lo[a] > hi[a])
            lo[a] = 0, hi[a] = 100;
        const double pad = std::max(1.0, (hi[a] - lo[a]) * 0.05);
        valueAxes_[a]->setRange(std::floor(lo[a] - pad), std::ceil(hi[a] + pad));
    }
    AlignPlots(); // axis labels may have changed width
    qsizetype points = 0;
    for (int c = 0; c < AnalogChannels; ++c) {
        analogSeries_[c]->replace(d.analog[c]);
        points += d.analog[c].size();
    }
    for (int k = 0; k < StateChannels; ++k) {
        stateSeries_[k]->replace(d.states[k]);
        points += d.states[k].size();
    }
    for (std::size_t i = store_.Size(); i-- > 0;)
        if (store_[i].have & monitor::HaveValues) {
            ParallelLabel->setText(QStringLiteral("并机号: %1").arg(store_[i].values[4]));
            break;
        }
    return points;
}

void TMonitorForm::AlignPlots() {
    // The two charts have different axes beside their plots; one time axis needs their plots
    // to start and end at the same x, so both get the same room for axes on either side.
    constexpr double Left = 130, Right = 135, Bottom = 50;
    for (QChart* c : {analogChart_, stateChart_}) {
        const double top = c == analogChart_ ? 60 : 15;
        const QSizeF size = c->size();
        if (size.width() > Left + Right + 50 && size.height() > top + Bottom + 20)
            c->setPlotArea(
                QRectF(Left, top, size.width() - Left - Right, size.height() - top - Bottom));
    }
}

void TMonitorForm::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    dirty_ = true; // the next redraw aligns the plots for the new size
    QTimer::singleShot(0, this, [this] { Guarded([this] { Redraw(); }); });
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
        recorder_.Stop();
        UpdateButtons();
        refresh_->stop();
        SaveSettings();
    });
    QDialog::done(result);
}
