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
    plot_->legend->setVisible(false);
    plot_->legend->setFont(font());
    plot_->legend->setBrush(QColor(255, 255, 255, 220));
    plot_->axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignTop | Qt::AlignLeft);
    plot_->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    plot_->setMouseTracking(true);
    readout_ = std::make_unique<HoverReadout>(plot_);
    setAxes();

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

BarChart::~BarChart() = default;

template <typename F> void BarChart::adjustRanges(F f)
{
    const bool outer = adjusting_;
    adjusting_ = true;
    f();
    adjusting_ = outer;
}

ScatterTrace* BarChart::newTrace(qint64 key, const QString& label, int returnFrom)
{
    hideRun(key);
    auto* trace = new ScatterTrace(plot_->xAxis, plot_->yAxis); // the plot owns it
    trace->setName(label);
    trace->setColor(runColour(key), markerSize);
    trace->setReturnFrom(returnFrom);
    trace->setLines(lines_);
    runs_[key] = Run{label, trace, nextOrder_++};
    return trace;
}

void BarChart::showRun(qint64 key, ChartPointList points, const QString& label, int returnFrom,
                       const std::vector<std::uint8_t>& inCompliance)
{
    newTrace(key, label, returnFrom)->setPoints(std::move(points), inCompliance);
    if (live_ == key)
        live_.reset();
    setCurrentRun(key);
    updateLegend();
    if (!userView_)
        fitToData();
    scheduleReplot();
}

void BarChart::beginLiveRun(qint64 key, const QString& label, int returnFrom,
                            std::size_t expectedPoints)
{
    newTrace(key, label, returnFrom)->reserve(expectedPoints);
    live_ = key;
    setCurrentRun(key);
    updateLegend();
    fitToData();
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
            previous->setColor(previous->color(), markerSize);
        }
    current_ = key;
    ScatterTrace* now = trace(key);
    now->setLayer(currentLayer);
    now->setColor(now->color(), currentMarkerSize);
    scheduleReplot();
}

void BarChart::addPoint(double volt, double amps, bool inCompliance)
{
    ScatterTrace* live = live_ ? trace(*live_) : nullptr;
    if (!live)
        return;
    live->append(volt, amps, inCompliance);
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
    for (const auto& [key, run] : runs_) {
        run.trace->removeFromLegend();
        run.trace->addToLegend();
    }
    if (fit_) {
        fit_->removeFromLegend();
        fit_->addToLegend();
    }
    plot_->legend->setVisible(!runs_.empty() || fit_);
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
    for (const auto& [key, run] : runs_) {
        const auto found = run.trace->nearest(at, hoverRadiusPx);
        // On a tie the current run wins: it is drawn on top.
        if (found && (!bestRun || found->distancePx < best.distancePx ||
                      (found->distancePx == best.distancePx && key == current_))) {
            bestRun = &run;
            best = *found;
        }
    }
    if (!bestRun) {
        clearHover();
        return;
    }
    const ivData& point = bestRun->trace->points()[best.index];
    const QString leg = bestRun->trace->isHollow(best.index) ? tr(" (return)") : QString();
    const QString limit =
        bestRun->trace->inCompliance(best.index) ? tr(", in compliance") : QString();
    const QString text = tr("%1, point %2%3: %4, %5%6")
                             .arg(bestRun->label)
                             .arg(best.index + 1)
                             .arg(leg, siText(point.sourceVolt, QStringLiteral("V")),
                                  siText(point.drainVolt, QStringLiteral("A")), limit);
    const QPointF pixel(
        plot_->xAxis->coordToPixel(logVoltage_ ? std::fabs(point.sourceVolt) : point.sourceVolt),
        plot_->yAxis->coordToPixel(logCurrent_ ? std::fabs(point.drainVolt) : point.drainVolt));
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
    const double from = std::min(*markStart_, at), to = std::max(*markStart_, at);
    markStart_.reset();
    plot_->setInteraction(QCP::iRangeDrag, true);
    if (from < to) {
        showWindow(from, to);
        emit windowMarked(from, to);
    } else {
        clearWindow(); // a click, not a drag
    }
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
    newTrace(alsoDraw.key, alsoDraw.label, alsoDraw.returnFrom)
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
