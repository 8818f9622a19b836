#include "chart/barchart.h"

#include "chart/scattertrace.h"

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

const QColor liveColor(31, 119, 180);
const QColor earlierColors[] = {QColor(214, 39, 40), QColor(44, 160, 44), QColor(148, 103, 189),
                                QColor(255, 127, 14), QColor(140, 86, 75)};

struct Bounds {
    double xMin = std::numeric_limits<double>::infinity();
    double xMax = -std::numeric_limits<double>::infinity();
    double yMin = std::numeric_limits<double>::infinity();
    double yMax = -std::numeric_limits<double>::infinity();

    void add(double x, double y)
    {
        if (!std::isfinite(x) || !std::isfinite(y))
            return;
        xMin = std::min(xMin, x);
        xMax = std::max(xMax, x);
        yMin = std::min(yMin, y);
        yMax = std::max(yMax, y);
    }
    bool empty() const { return !(xMin <= xMax); }
};

QCPRange paddedRange(double lo, double hi)
{
    if (lo == hi) {
        const double pad = lo == 0.0 ? 1.0 : std::fabs(lo) * 0.1;
        return QCPRange(lo - pad, hi + pad);
    }
    const double pad = (hi - lo) * 0.05;
    return QCPRange(lo - pad, hi + pad);
}

} // namespace

BarChart::BarChart(QWidget* parent) : QWidget(parent), plot_(new QCustomPlot(this))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(plot_);
    setMinimumHeight(300);

    plot_->xAxis->setLabel(QStringLiteral("Voltage"));
    plot_->yAxis->setLabel(QStringLiteral("Current"));
    plot_->legend->setVisible(false);
    plot_->legend->setFont(font());
    plot_->axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignTop | Qt::AlignLeft);

    live_.trace = newTrace();

    replotTimer_.setSingleShot(true);
    replotTimer_.setInterval(replotIntervalMs);
    connect(&replotTimer_, &QTimer::timeout, this, &BarChart::replotNow);
    fitToData();
}

ScatterTrace* BarChart::newTrace()
{
    auto* trace = new ScatterTrace(plot_->xAxis, plot_->yAxis); // the plot owns it
    trace->setColor(liveColor, 6);
    trace->setMagnitudeOnly(logCurrent_);
    return trace;
}

int BarChart::livePointCount() const
{
    return int(live_.trace->points().size());
}

QList<ScatterTrace*> BarChart::earlierTraces() const
{
    QList<ScatterTrace*> traces;
    for (const Trace& trace : earlier_)
        traces << trace.trace;
    return traces;
}

void BarChart::beginTrace(const QString& name)
{
    // The start-up placeholder has no name and is not worth keeping as a trace.
    if (!live_.trace->points().empty() && !live_.name.isEmpty()) {
        earlier_.prepend(live_);
        if (earlier_.size() > maxEarlierTraces) {
            plot_->removePlottable(earlier_.last().trace);
            earlier_.removeLast();
        }
        live_ = Trace{QString(), newTrace()}; // added last, so drawn on top
        restackEarlier();
    }
    live_.name = name;
    live_.trace->setName(name);
    live_.trace->setPoints({});
    fitToData();
    scheduleReplot();
}

void BarChart::restackEarlier()
{
    for (int i = 0; i < earlier_.size(); ++i) {
        QColor faded = earlierColors[i % std::size(earlierColors)];
        faded.setAlpha(110);
        earlier_[i].trace->setColor(faded, 5);
    }
    plot_->legend->setVisible(!earlier_.isEmpty());
}

void BarChart::addPoint(double volt, double amps)
{
    live_.trace->append(volt, amps);
    // The first points set the scale; later ones only widen it when they fall outside.
    if (live_.trace->points().size() <= 16)
        fitToData();
    else
        growRangesFor(volt, amps);
    scheduleReplot();
}

void BarChart::setPoints(const ChartPointList& records)
{
    live_.trace->setPoints(records);
    fitToData();
    scheduleReplot();
}

void BarChart::clearEarlier()
{
    for (Trace& trace : earlier_)
        plot_->removePlottable(trace.trace);
    earlier_.clear();
    restackEarlier();
    fitToData();
    scheduleReplot();
}

void BarChart::setLogCurrent(bool on)
{
    if (on == logCurrent_)
        return;
    logCurrent_ = on;
    QCPAxis* y = plot_->yAxis;
    if (on) {
        y->setScaleType(QCPAxis::stLogarithmic);
        y->setTicker(QSharedPointer<QCPAxisTickerLog>::create());
        y->setNumberFormat(QStringLiteral("eb"));
        y->setNumberPrecision(0);
        y->setLabel(QStringLiteral("|Current|"));
    } else {
        y->setScaleType(QCPAxis::stLinear);
        y->setTicker(QSharedPointer<QCPAxisTicker>::create());
        y->setNumberFormat(QStringLiteral("gb"));
        y->setNumberPrecision(6);
        y->setLabel(QStringLiteral("Current"));
    }
    live_.trace->setMagnitudeOnly(on);
    for (Trace& trace : earlier_)
        trace.trace->setMagnitudeOnly(on);
    fitToData();
    replotNow();
}

void BarChart::fitToData()
{
    Bounds bounds;
    auto collect = [&](const ScatterTrace* trace) {
        for (const ivData& point : trace->points())
            if (!(logCurrent_ && point.drainVolt == 0.0))
                bounds.add(point.sourceVolt,
                           logCurrent_ ? std::fabs(point.drainVolt) : point.drainVolt);
    };
    collect(live_.trace);
    for (const Trace& trace : earlier_)
        collect(trace.trace);

    if (bounds.empty()) {
        plot_->xAxis->setRange(-1, 1);
        plot_->yAxis->setRange(logCurrent_ ? QCPRange(1e-9, 1e-3) : QCPRange(-1, 1));
        return;
    }
    plot_->xAxis->setRange(paddedRange(bounds.xMin, bounds.xMax));
    if (logCurrent_)
        plot_->yAxis->setRange(bounds.yMin / 2.0, bounds.yMax * 2.0);
    else
        plot_->yAxis->setRange(paddedRange(bounds.yMin, bounds.yMax));
}

// A point outside the axes widens them with room to spare on that side, so a
// growing sweep needs a new scale (and a full redraw) only now and then.
void BarChart::growRangesFor(double volt, double amps)
{
    if (!std::isfinite(volt) || !std::isfinite(amps) || (logCurrent_ && amps == 0.0))
        return;
    auto grow = [](QCPAxis* axis, double value, bool logarithmic) {
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
    grow(plot_->xAxis, volt, false);
    grow(plot_->yAxis, logCurrent_ ? std::fabs(amps) : amps, logCurrent_);
}

void BarChart::scheduleReplot()
{
    if (!replotTimer_.isActive())
        replotTimer_.start();
}

void BarChart::replotNow()
{
    replotTimer_.stop();
    plot_->replot();
}

WriteResult BarChart::exportImage(const QString& path, int width, int height)
{
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
            return WriteResult{false, QStringLiteral("Could not draw the chart for %1").arg(path)};
    } else {
        return WriteResult{false, QStringLiteral("Could not export %1: the name must end in .png "
                                                 "or .svg")
                                      .arg(path)};
    }
    buffer.close();
    WriteResult result = writeFileAtomically(path, bytes);
    if (result.ok)
        result.message = QStringLiteral("Chart exported to %1").arg(path);
    return result;
}

} // namespace kestrel
