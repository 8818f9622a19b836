#include "chart/barchart.h"

#include <QBuffer>
#include <QSvgGenerator>
#include <QVBoxLayout>
#include <qcustomplot.h>

#include <cmath>
#include <limits>

namespace kestrel {

namespace {

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

    plot_->setNoAntialiasingOnDrag(true);
    plot_->xAxis->setLabel(QStringLiteral("Voltage"));
    plot_->yAxis->setLabel(QStringLiteral("Current"));
    plot_->legend->setVisible(false);
    plot_->legend->setFont(font());
    plot_->axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignTop | Qt::AlignLeft);

    live_.graph = plot_->addGraph();
    styleGraph(live_.graph, liveColor, true);

    replotTimer_.setSingleShot(true);
    replotTimer_.setInterval(replotIntervalMs);
    connect(&replotTimer_, &QTimer::timeout, this, &BarChart::replotNow);
    updateRanges();
}

void BarChart::styleGraph(QCPGraph* graph, const QColor& color, bool live)
{
    graph->setLineStyle(QCPGraph::lsNone);
    QColor fill = color;
    if (!live)
        fill.setAlpha(110);
    graph->setPen(QPen(fill));
    graph->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssDisc, fill, fill, live ? 6 : 5));
    graph->setAdaptiveSampling(true);
}

void BarChart::fillGraph(Trace& trace)
{
    QVector<QCPGraphData> data;
    data.reserve(qsizetype(trace.points.size()));
    for (const ivData& record : trace.points) {
        if (logCurrent_ && record.drainVolt == 0.0)
            continue;
        data.append(QCPGraphData(record.sourceVolt,
                                 logCurrent_ ? std::fabs(record.drainVolt) : record.drainVolt));
    }
    // The container keeps points sorted by voltage; for a scatter plot order is immaterial.
    trace.graph->data()->set(data, false);
}

void BarChart::beginTrace(const QString& name)
{
    // The start-up placeholder has no name and is not worth keeping as a trace.
    if (!live_.points.empty() && !live_.name.isEmpty()) {
        styleGraph(live_.graph, earlierColors[0], false);
        earlier_.prepend(std::move(live_));
        if (earlier_.size() > maxEarlierTraces) {
            plot_->removeGraph(earlier_.last().graph);
            earlier_.removeLast();
        }
        restackEarlier();
        live_ = Trace{};
        live_.graph = plot_->addGraph(); // added last, so drawn on top
        styleGraph(live_.graph, liveColor, true);
    }
    live_.name = name;
    live_.points.clear();
    live_.graph->data()->clear();
    live_.graph->setName(name);
    updateRanges();
    scheduleReplot();
}

void BarChart::restackEarlier()
{
    for (int i = 0; i < earlier_.size(); ++i) {
        styleGraph(earlier_[i].graph, earlierColors[i % std::size(earlierColors)], false);
        earlier_[i].graph->setName(earlier_[i].name);
    }
    plot_->legend->setVisible(!earlier_.isEmpty());
}

void BarChart::addPoint(double volt, double amps)
{
    live_.points.push_back(ivData{volt, amps});
    if (!(logCurrent_ && amps == 0.0)) {
        const double y = logCurrent_ ? std::fabs(amps) : amps;
        live_.graph->data()->add(QCPGraphData(volt, y));
        QCPRange x = plot_->xAxis->range();
        QCPRange yr = plot_->yAxis->range();
        if (!x.contains(volt) || !yr.contains(y) || live_.points.size() <= 2)
            updateRanges();
    }
    scheduleReplot();
}

void BarChart::setPoints(const ChartPointList& records)
{
    live_.points = records;
    fillGraph(live_);
    updateRanges();
    scheduleReplot();
}

void BarChart::clearEarlier()
{
    for (Trace& trace : earlier_)
        plot_->removeGraph(trace.graph);
    earlier_.clear();
    restackEarlier();
    updateRanges();
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
    fillGraph(live_);
    for (Trace& trace : earlier_)
        fillGraph(trace);
    updateRanges();
    replotNow();
}

// Axes fit every shown point, with a margin so that a growing sweep needs a new
// range only now and then.
void BarChart::updateRanges()
{
    Bounds bounds;
    auto collect = [&](const Trace& trace) {
        for (auto it = trace.graph->data()->constBegin(); it != trace.graph->data()->constEnd(); ++it)
            bounds.add(it->key, it->value);
    };
    collect(live_);
    for (const Trace& trace : earlier_)
        collect(trace);

    if (bounds.empty()) {
        plot_->xAxis->setRange(-1, 1);
        plot_->yAxis->setRange(logCurrent_ ? QCPRange(1e-9, 1e-3) : QCPRange(-1, 1));
        return;
    }
    plot_->xAxis->setRange(paddedRange(bounds.xMin, bounds.xMax));
    if (logCurrent_) {
        const double lo = bounds.yMin, hi = bounds.yMax;
        plot_->yAxis->setRange(lo / 2.0, hi * 2.0);
    } else {
        plot_->yAxis->setRange(paddedRange(bounds.yMin, bounds.yMax));
    }
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
