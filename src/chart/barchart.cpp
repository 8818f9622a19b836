#include "chart/barchart.h"

#include "chart/hoverreadout.h"
#include "chart/runpalette.h"
#include "chart/scattertrace.h"
#include "chart/siticker.h"
#include "data/printabletext.h"
#include "data/sitext.h"

#include <QBuffer>
#include <qcustomplot.h>
#include <QSvgGenerator>
#include <QVBoxLayout>

#include <charconv>
#include <cmath>
#include <limits>

namespace kestrel
{

namespace
{

const QString currentLayer = QStringLiteral("current");

QCPRange paddedRange(double lo, double hi)
{
    if (lo == hi) {
        const double pad = lo == 0.0 ? 1.0 : std::fabs(lo) * 0.1;
        return QCPRange(lo - pad, hi + pad);
    }
    const double pad = (hi - lo) * 0.05;
    return QCPRange(lo - pad, hi + pad);
}

// The values one pixel of an axis spans where a value is drawn.
double onePixel(const QCPAxis* axis, double pixel)
{
    return std::fabs(axis->pixelToCoord(pixel + 0.5) - axis->pixelToCoord(pixel - 0.5));
}

// The smallest non-zero difference between a run's point and the points measured just
// before and after it, in one of its values.
double gapToNeighbours(const ChartPointList& points, std::size_t index, double ivData::*value)
{
    double gap = std::numeric_limits<double>::infinity();
    for (std::size_t other : {index - 1, index + 1})
        if (other < points.size()) { // index - 1 wraps around at the first point
            const double difference = std::fabs(points[other].*value - points[index].*value);
            if (difference > 0.0)
                gap = std::min(gap, difference);
        }
    return gap;
}

struct Span {
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
    bool empty() const { return !(lo <= hi); }
};

} // namespace

BarChart::BarChart(QWidget* parent) : QWidget(parent), plot_(new QCustomPlot(this))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(plot_);
    setMinimumHeight(300);

    plot_->addLayer(currentLayer, plot_->layer(QStringLiteral("main")), QCustomPlot::limAbove);
    // A buffer of its own, so a new point of the live run, drawn there, redraws nothing else.
    plot_->layer(currentLayer)->setMode(QCPLayer::lmBuffered);
    placeLegend();
    plot_->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    plot_->setMouseTracking(true);
    plot_->installEventFilter(this); // leaving the chart, resizing it
    readout_ = std::make_unique<HoverReadout>(plot_);
    setAxes();
    // Room past the right end of the x axis and above the top of the y axis for half a
    // tick label: a label that would reach beyond the widget is not drawn at all.
    const QFontMetrics metrics(plot_->xAxis->tickLabelFont());
    plot_->axisRect()->setMinimumMargins(
        QMargins(0, metrics.height() / 2 + 2,
                 metrics.horizontalAdvance(QStringLiteral("−888.8 mV")) / 2 + 4, 0));

    for (QCPAxis* axis : {plot_->xAxis, plot_->yAxis})
        connect(axis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this, [this] {
            if (!adjusting_)
                userView_ = true;
            onlyLivePoints_ = false;
            clearHover(); // the point it names has moved
            placeWindow();
        });
    connect(plot_, &QCustomPlot::mouseMove, this, [this](QMouseEvent* event) {
        if (markStart_)
            markMove(event);
        else
            hover(event);
    });
    connect(plot_, &QCustomPlot::mousePress, this, [this](QMouseEvent* event) {
        clearHover();
        markPress(event);
    });
    connect(plot_, &QCustomPlot::mouseRelease, this, &BarChart::markRelease);
    connect(plot_, &QCustomPlot::mouseDoubleClick, this, [this] {
        fitToData();
        redrawAll();
    });

    replotTimer_.setSingleShot(true);
    replotTimer_.setInterval(replotIntervalMs);
    connect(&replotTimer_, &QTimer::timeout, this, &BarChart::replotNow);
    fitToData();
}

BarChart::~BarChart()
{
    showLegend(true); // the plot deletes the legend with its layout
}

// The legend stands right of the plot area, over no point however many runs are shown;
// with more runs than rows fit, it takes another column.
void BarChart::placeLegend()
{
    QCPLegend* legend = plot_->legend;
    plot_->axisRect()->insetLayout()->take(legend);
    auto* column = legendColumn_ = new QCPLayoutGrid;
    plot_->plotLayout()->addElement(0, 1, column);
    column->setMargins(QMargins(0, legendMarginPx, legendMarginPx, legendMarginPx));
    column->addElement(0, 0, legend);
    column->addElement(1, 0, new QCPLayoutElement(plot_)); // the room below it
    column->setRowStretchFactor(0, 0.001);
    legend->setFont(font());
    legend->setBrush(QColor(255, 255, 255));
    legend->setFillOrder(QCPLayoutGrid::foRowsFirst);
    showLegend(false);
}

// A hidden legend leaves no empty column: its column leaves the layout with it.
void BarChart::showLegend(bool on)
{
    plot_->legend->setVisible(on);
    QCPLayoutGrid* layout = plot_->plotLayout();
    const bool placed = layout->columnCount() > 1 && layout->element(0, 1) == legendColumn_;
    if (on && !placed) {
        layout->addElement(0, 1, legendColumn_);
        layout->setColumnStretchFactor(1, 0.001); // as wide as the legend needs
    } else if (!on && placed) {
        layout->take(legendColumn_);
        layout->simplify();
    }
}

// As many rows as the chart's height holds, then a new column.
void BarChart::wrapLegend()
{
    QCPLegend* legend = plot_->legend;
    if (legend->itemCount() == 0)
        return;
    const int rowPx =
        legend->item(0)->minimumOuterSizeHint().height() + std::max(0, legend->rowSpacing());
    const int roomPx =
        plot_->height() - 2 * legendMarginPx - legend->margins().top() - legend->margins().bottom();
    const int rows = std::max(1, roomPx / std::max(1, rowPx));
    if (rows != legend->wrap()) {
        legend->setWrap(rows);
        legend->setFillOrder(QCPLayoutGrid::foRowsFirst, true);
    }
}

bool BarChart::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == plot_) {
        if (event->type() == QEvent::Leave)
            clearHover();
        else if (event->type() == QEvent::Resize)
            wrapLegend();
    }
    return QWidget::eventFilter(watched, event);
}

template <typename F> void BarChart::adjustRanges(F f)
{
    const bool outer = adjusting_;
    adjusting_ = true;
    f();
    adjusting_ = outer;
}

ScatterTrace* BarChart::newTrace(qint64 key, const QString& label, const SweepLegs& legs)
{
    hideRun(key);
    std::vector<RunStyle> taken;
    for (const auto& [shownKey, run] : runs_)
        taken.push_back(run.trace->style());
    auto* trace = new ScatterTrace(plot_->xAxis, plot_->yAxis); // the plot owns it
    trace->setName(label);
    trace->setStyle(pickRunStyle(key, taken), markerSize);
    trace->setLegs(legs);
    trace->setLines(lines_);
    runs_[key] = Run{label, trace, nextOrder_++};
    return trace;
}

void BarChart::showRun(qint64 key, ChartPointList points, const QString& label,
                       const SweepLegs& legs, const std::vector<std::uint8_t>& inCompliance,
                       std::vector<double> spread)
{
    ScatterTrace* trace = newTrace(key, label, legs);
    trace->setPoints(std::move(points), inCompliance);
    trace->setSpread(std::move(spread));
    if (live_ == key)
        live_.reset();
    setCurrentRun(key);
    updateLegend();
    if (!userView_)
        fitToData();
    scheduleReplot();
}

void BarChart::beginLiveRun(qint64 key, const QString& label, const SweepLegs& legs,
                            std::size_t expectedPoints)
{
    newTrace(key, label, legs)->reserve(expectedPoints);
    live_ = key;
    setCurrentRun(key);
    updateLegend();
    fitToData();
    scheduleReplot();
}

void BarChart::setRunStyle(qint64 key, const RunStyle& style)
{
    const auto found = runs_.find(key);
    if (found == runs_.end())
        return;
    found->second.trace->setStyle(style, current_ == key ? currentMarkerSize : markerSize);
    updateLegend();
    scheduleReplot();
}

void BarChart::hideRun(qint64 key)
{
    const auto found = runs_.find(key);
    if (found == runs_.end())
        return;
    clearHover();
    plot_->removePlottable(found->second.trace);
    runs_.erase(found);
    if (live_ == key)
        live_.reset();
    if (current_ == key)
        current_.reset();
    updateLegend();
    scheduleReplot();
}

void BarChart::hideAllButCurrent()
{
    for (qint64 key : shownRuns())
        if (key != current_)
            hideRun(key);
    if (!userView_)
        fitToData();
}

QList<qint64> BarChart::shownRuns() const
{
    std::vector<std::pair<quint64, qint64>> order;
    for (const auto& [key, run] : runs_)
        order.emplace_back(run.shownOrder, key);
    std::sort(order.begin(), order.end());
    QList<qint64> keys;
    for (const auto& entry : order)
        keys << entry.second;
    return keys;
}

ScatterTrace* BarChart::trace(qint64 key) const
{
    const auto found = runs_.find(key);
    return found == runs_.end() ? nullptr : found->second.trace;
}

int BarChart::livePointCount() const
{
    const ScatterTrace* live = live_ ? trace(*live_) : nullptr;
    return live ? int(live->points().size()) : 0;
}

void BarChart::setCurrentRun(qint64 key)
{
    if (!isShown(key))
        return;
    if (current_ && *current_ != key)
        if (ScatterTrace* previous = trace(*current_)) {
            previous->setLayer(QStringLiteral("main"));
            previous->setStyle(previous->style(), markerSize);
        }
    current_ = key;
    ScatterTrace* now = trace(key);
    now->setLayer(currentLayer);
    now->setStyle(now->style(), currentMarkerSize);
    showAxisOfCurrent();
    scheduleReplot();
}

void BarChart::showAxisOfCurrent()
{
    const ScatterTrace* now = current_ ? trace(*current_) : nullptr;
    const bool overTime = now ? now->legs().overTime : overTime_;
    for (auto& [key, run] : runs_)
        run.trace->setVisible(run.trace->legs().overTime == overTime);
    if (overTime == overTime_)
        return;
    overTime_ = overTime;
    clearHover();
    setAxes();
    updateLegend();
    if (!userView_)
        fitToData();
    emit axisChanged(overTime_);
}

void BarChart::addPoint(double volt, double amps, bool inCompliance, double sd)
{
    ScatterTrace* live = live_ ? trace(*live_) : nullptr;
    if (!live)
        return;
    live->append(volt, amps, inCompliance, sd);
    // The first points set the scale; later ones only widen it when they fall outside.
    // A view the user chose stays as it is.
    if (!userView_) {
        if (live->points().size() <= 16)
            fitToData();
        else
            growRangesFor(volt, amps);
    }
    // On top, the live run is alone on its layer: only that layer needs drawing again.
    if (live_ != current_)
        onlyLivePoints_ = false;
    if (!replotTimer_.isActive())
        replotTimer_.start();
}

void BarChart::liveRunEnded()
{
    if (!userView_)
        fitToData(); // while points arrived the axes only grew
    replotNow();
}

void BarChart::setAxes()
{
    adjustRanges([this] {
        const auto set = [](QCPAxis* axis, bool logarithmic, const QString& name,
                            const QString& unit) {
            axis->setScaleType(logarithmic ? QCPAxis::stLogarithmic : QCPAxis::stLinear);
            if (logarithmic)
                axis->setTicker(QSharedPointer<SiLogTicker>::create(unit));
            else
                axis->setTicker(QSharedPointer<SiTicker>::create(unit));
            axis->setLabel((logarithmic ? QStringLiteral("|%1| (%2)") : QStringLiteral("%1 (%2)"))
                               .arg(name, unit));
        };
        if (overTime_)
            set(plot_->xAxis, logVoltage_, tr("Time"), QStringLiteral("s"));
        else
            set(plot_->xAxis, logVoltage_, tr("Voltage"), QStringLiteral("V"));
        set(plot_->yAxis, logCurrent_, tr("Current"), QStringLiteral("A"));
    });
}

void BarChart::setLogCurrent(bool on)
{
    if (on == logCurrent_)
        return;
    logCurrent_ = on;
    setAxes();
    setFitData();
    clearHover();
    fitToData();
    redrawAll();
}

void BarChart::setLogVoltage(bool on)
{
    if (on == logVoltage_)
        return;
    logVoltage_ = on;
    setAxes();
    setFitData();
    clearHover();
    fitToData();
    redrawAll();
}

void BarChart::setLines(bool on)
{
    lines_ = on;
    for (auto& [key, run] : runs_)
        run.trace->setLines(on);
    redrawAll();
}

void BarChart::fitToData()
{
    userView_ = false;
    Span x, y;
    for (const auto& [key, run] : runs_) {
        if (!run.trace->visible())
            continue;
        const auto widen = [](Span& span, const ScatterTrace::Extent& extent, bool magnitude) {
            span.lo = std::min(span.lo, magnitude ? extent.magnitudeLo : extent.lo);
            span.hi = std::max(span.hi, magnitude ? extent.magnitudeHi : extent.hi);
        };
        widen(x, run.trace->keyExtent(), logVoltage_);
        widen(y, run.trace->valueExtent(), logCurrent_);
    }
    adjustRanges([&] {
        const auto fit = [](QCPAxis* axis, const Span& span, bool logarithmic, QCPRange fallback) {
            if (span.empty())
                axis->setRange(fallback);
            else if (logarithmic)
                axis->setRange(span.lo / 2.0, span.hi * 2.0);
            else
                axis->setRange(paddedRange(span.lo, span.hi));
        };
        fit(plot_->xAxis, x, logVoltage_, logVoltage_ ? QCPRange(1e-3, 1) : QCPRange(-1, 1));
        fit(plot_->yAxis, y, logCurrent_, logCurrent_ ? QCPRange(1e-9, 1e-3) : QCPRange(-1, 1));
    });
}

// A point outside the axes widens them with room to spare on that side, so a
// growing sweep needs a new scale (and a full redraw) only now and then.
void BarChart::growRangesFor(double volt, double amps)
{
    if (!std::isfinite(volt) || !std::isfinite(amps))
        return;
    const auto grow = [](QCPAxis* axis, double value, bool logarithmic) {
        if (logarithmic && value == 0.0)
            return;
        value = logarithmic ? std::fabs(value) : value;
        QCPRange range = axis->range();
        if (range.contains(value))
            return;
        if (logarithmic) {
            range.lower = std::min(range.lower, value / 4.0);
            range.upper = std::max(range.upper, value * 4.0);
        } else {
            const double headroom =
                (std::max(range.upper, value) - std::min(range.lower, value)) * 0.25;
            if (value < range.lower)
                range.lower = value - headroom;
            else
                range.upper = value + headroom;
        }
        axis->setRange(range);
    };
    adjustRanges([&] {
        grow(plot_->xAxis, volt, logVoltage_);
        grow(plot_->yAxis, amps, logCurrent_);
    });
}

void BarChart::updateLegend()
{
    // Oldest run first, whatever order the runs were shown in; the fit last.
    bool any = false;
    for (const auto& [key, run] : runs_) {
        run.trace->removeFromLegend();
        if (run.trace->visible())
            any = run.trace->addToLegend() || any;
    }
    if (fit_) {
        fit_->removeFromLegend();
        fit_->addToLegend();
    }
    showLegend(any || fit_);
    wrapLegend();
}

void BarChart::hover(QMouseEvent* event)
{
    if (event->buttons() != Qt::NoButton) {
        clearHover();
        return;
    }
    const QPointF at = event->position();
    const Run* bestRun = nullptr;
    ScatterTrace::Nearest best;
    // Where the order in which the plot draws its traces puts this one: later is on top.
    const auto stacking = [](const ScatterTrace* trace) {
        return std::pair(trace->layer()->index(),
                         trace->layer()->children().indexOf(
                             static_cast<QCPLayerable*>(const_cast<ScatterTrace*>(trace))));
    };
    for (const auto& [key, run] : runs_) {
        if (!run.trace->visible())
            continue;
        const auto found = run.trace->nearest(at, hoverRadiusPx);
        // Of points at one distance the one drawn on top, as a trace names its own.
        if (found && (!bestRun || found->distancePx < best.distancePx ||
                      (found->distancePx == best.distancePx &&
                       stacking(run.trace) > stacking(bestRun->trace)))) {
            bestRun = &run;
            best = *found;
        }
    }
    if (!bestRun) {
        clearHover();
        return;
    }
    const ivData& point = bestRun->trace->points()[best.index];
    const QPointF pixel(
        plot_->xAxis->coordToPixel(logVoltage_ ? std::fabs(point.sourceVolt) : point.sourceVolt),
        plot_->yAxis->coordToPixel(logCurrent_ ? std::fabs(point.drainVolt) : point.drainVolt));
    // Enough digits to tell the point from one a pixel away, and from the points
    // measured beside it however close they lie.
    const ChartPointList& points = bestRun->trace->points();
    const int voltDigits = digitsToShow(
        point.sourceVolt, std::min(onePixel(plot_->xAxis, pixel.x()),
                                   gapToNeighbours(points, best.index, &ivData::sourceVolt)));
    const int ampDigits = digitsToShow(
        point.drainVolt, std::min(onePixel(plot_->yAxis, pixel.y()),
                                  gapToNeighbours(points, best.index, &ivData::drainVolt)));
    const bool back = bestRun->trace->isHollow(best.index);
    const int cyclePoints = bestRun->trace->legs().cyclePoints;
    const QString leg = cyclePoints > 0 ? (back ? tr(" (cycle %1, return)") : tr(" (cycle %1)"))
                                              .arg(int(best.index) / cyclePoints + 1)
                        : back ? tr(" (return)")
                               : QString();
    const QString limit =
        bestRun->trace->inCompliance(best.index) ? tr(", in compliance") : QString();
    const double sd = bestRun->trace->spread(best.index);
    const QString spread =
        std::isfinite(sd) ? tr(" ± %1").arg(siText(sd, QStringLiteral("A"), 2)) : QString();
    const QString text =
        tr("%1, point %2%3: %4, %5%6%7")
            .arg(bestRun->label)
            .arg(best.index + 1)
            .arg(leg,
                 siText(point.sourceVolt, overTime_ ? QStringLiteral("s") : QStringLiteral("V"),
                        voltDigits),
                 siText(point.drainVolt, QStringLiteral("A"), ampDigits), spread, limit);
    const bool changed = text != readout_->text();
    readout_->show(pixel, text, bestRun->trace->color());
    if (changed)
        emit hovered(text);
}

void BarChart::clearHover()
{
    if (!readout_->isShown())
        return;
    readout_->hide();
    emit hovered(QString());
}

QString BarChart::readoutText() const
{
    return readout_->text();
}

void BarChart::showFit(const IVPointList& curve, const QString& name)
{
    if (!fit_) {
        fit_ = plot_->addGraph(plot_->xAxis, plot_->yAxis);
        fit_->setLayer(currentLayer);
        fit_->setPen(QPen(QColor(0x20, 0x20, 0x20), 2, Qt::DashLine));
        fit_->setLineStyle(QCPGraph::lsLine);
        fit_->setScatterStyle(QCPScatterStyle::ssNone);
    }
    fit_->setName(name);
    fitCurve_ = curve;
    setFitData();
    updateLegend();
    scheduleReplot();
}

void BarChart::clearFit()
{
    if (!fit_)
        return;
    plot_->removeGraph(fit_);
    fit_ = nullptr;
    fitCurve_.clear();
    updateLegend();
    scheduleReplot();
}

// On logarithmic axes the curve is drawn by magnitude, as the runs are.
void BarChart::setFitData()
{
    if (!fit_)
        return;
    QVector<double> keys, values;
    keys.reserve(qsizetype(fitCurve_.size()));
    values.reserve(qsizetype(fitCurve_.size()));
    for (const auto& [volt, amps] : fitCurve_) {
        const double x = logVoltage_ ? std::fabs(volt) : volt;
        const double y = logCurrent_ ? std::fabs(amps) : amps;
        if (!std::isfinite(x) || !std::isfinite(y) || (logVoltage_ && x == 0.0) ||
            (logCurrent_ && y == 0.0))
            continue;
        keys << x;
        values << y;
    }
    fit_->setData(keys, values);
}

void BarChart::showWindow(std::optional<double> fromVolts, std::optional<double> toVolts)
{
    if (!window_) {
        window_ = new QCPItemRect(plot_); // the plot owns it
        window_->setPen(QPen(QColor(0x1f, 0x77, 0xb4, 120)));
        window_->setBrush(QColor(0x1f, 0x77, 0xb4, 40));
        window_->setSelectable(false);
        window_->topLeft->setTypeX(QCPItemPosition::ptPlotCoords);
        window_->topLeft->setTypeY(QCPItemPosition::ptAxisRectRatio);
        window_->bottomRight->setTypeX(QCPItemPosition::ptPlotCoords);
        window_->bottomRight->setTypeY(QCPItemPosition::ptAxisRectRatio);
    }
    windowFrom_ = fromVolts;
    windowTo_ = toVolts;
    placeWindow();
    scheduleReplot();
}

void BarChart::clearWindow()
{
    if (!window_)
        return;
    plot_->removeItem(window_);
    window_ = nullptr;
    scheduleReplot();
}

bool BarChart::windowShown() const
{
    return window_ != nullptr;
}

// The band follows the axes: an open end is held just past the visible range.
void BarChart::placeWindow()
{
    if (!window_)
        return;
    const QCPRange range = plot_->xAxis->range();
    const double span = range.size();
    const double lo = windowFrom_.value_or(range.lower - span);
    const double hi = windowTo_.value_or(range.upper + span);
    window_->topLeft->setCoords(lo, 0.0);
    window_->bottomRight->setCoords(hi, 1.0);
}

bool BarChart::markPress(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !(event->modifiers() & Qt::ShiftModifier) ||
        logVoltage_)
        return false;
    // Dragging with Shift marks a window instead of panning.
    plot_->setInteraction(QCP::iRangeDrag, false);
    markStart_ = plot_->xAxis->pixelToCoord(event->position().x());
    showWindow(*markStart_, *markStart_);
    return true;
}

void BarChart::markMove(QMouseEvent* event)
{
    const double at = plot_->xAxis->pixelToCoord(event->position().x());
    showWindow(std::min(*markStart_, at), std::max(*markStart_, at));
}

void BarChart::markRelease(QMouseEvent* event)
{
    if (!markStart_)
        return;
    const double at = plot_->xAxis->pixelToCoord(event->position().x());
    const double from = roundToPixel(std::min(*markStart_, at));
    const double to = roundToPixel(std::max(*markStart_, at));
    markStart_.reset();
    plot_->setInteraction(QCP::iRangeDrag, true);
    if (from < to) {
        showWindow(from, to);
        emit windowMarked(from, to);
    } else {
        clearWindow(); // a click, not a drag
    }
}

// To the decimals one pixel of the x axis needs: what a drag can mean, and all the
// window's fields should show ("0.445", not "0.44489795918367347").
double BarChart::roundToPixel(double volts) const
{
    const double perPixel = plot_->xAxis->range().size() / std::max(1, plot_->axisRect()->width());
    const int decimals = std::clamp(int(std::ceil(-std::log10(perPixel))), 0, 17);
    char text[400]; // room for any double in fixed notation
    const auto written =
        std::to_chars(text, text + sizeof text, volts, std::chars_format::fixed, decimals);
    double rounded = volts;
    if (written.ec == std::errc())
        std::from_chars(text, written.ptr, rounded);
    return rounded == 0.0 ? 0.0 : rounded; // no "-0"
}

void BarChart::scheduleReplot()
{
    onlyLivePoints_ = false;
    if (!replotTimer_.isActive())
        replotTimer_.start();
}

void BarChart::replotNow()
{
    replotTimer_.stop();
    // Its own replot() falls back to the whole plot when the buffers are not valid.
    if (onlyLivePoints_)
        plot_->layer(currentLayer)->replot();
    else
        plot_->replot();
    onlyLivePoints_ = true;
}

void BarChart::redrawAll()
{
    onlyLivePoints_ = false;
    replotNow();
}

WriteResult BarChart::exportImage(const QString& path, int width, int height)
{
    // The readout belongs to the screen, not to the picture.
    clearHover();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (path.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive)) {
        QSvgGenerator generator;
        generator.setOutputDevice(&buffer);
        generator.setSize(QSize(width, height));
        generator.setViewBox(QRect(0, 0, width, height));
        generator.setTitle(QStringLiteral("I-V curve"));
        QCPPainter painter;
        painter.begin(&generator);
        plot_->toPainter(&painter, width, height);
        painter.end();
    } else if (path.endsWith(QLatin1String(".png"), Qt::CaseInsensitive)) {
        if (!plot_->toPixmap(width, height).save(&buffer, "PNG"))
            return WriteResult{
                false, QStringLiteral("Could not draw the chart for %1").arg(printableText(path))};
    } else {
        return WriteResult{false, QStringLiteral("Could not export %1: the name must end in .png "
                                                 "or .svg")
                                      .arg(printableText(path))};
    }
    buffer.close();
    WriteResult result = writeFileAtomically(path, bytes);
    if (result.ok)
        result.message = QStringLiteral("Chart exported to %1").arg(printableText(path));
    return result;
}

WriteResult BarChart::exportImage(const QString& path, const ChartRun& alsoDraw, int width,
                                  int height)
{
    if (isShown(alsoDraw.key))
        return exportImage(path, width, height);
    const std::optional<qint64> current = current_;
    const bool userView = userView_;
    const QCPRange x = plot_->xAxis->range(), y = plot_->yAxis->range();
    newTrace(alsoDraw.key, alsoDraw.label, alsoDraw.legs)
        ->setPoints(alsoDraw.points, alsoDraw.inCompliance);
    setCurrentRun(alsoDraw.key);
    updateLegend();
    fitToData(); // the view on screen was chosen without this run
    WriteResult result = exportImage(path, width, height);
    hideRun(alsoDraw.key);
    if (current)
        setCurrentRun(*current);
    adjustRanges([&] {
        plot_->xAxis->setRange(x);
        plot_->yAxis->setRange(y);
    });
    userView_ = userView;
    return result;
}

} // namespace kestrel
