#include "chartbench.h"

#include "benchsupport.h"
#include "chart/barchart.h"
#include "chart/scattertrace.h"
#include "data/ivpoints.h"

#include <qcustomplot.h>
#include <QPainter>

#include <memory>
#include <random>

namespace kestrel::bench
{

namespace
{

constexpr int chartWidth = 800;
constexpr int chartHeight = 500;
constexpr int sizes[] = {100, 1000, 10000, 100000};
constexpr int memoryPoints = 100000;
constexpr double memoryTargetBytes = 200;
constexpr double frameTargetMs100k = 16;
constexpr double frameTargetMs10k = 3;
constexpr int fullRedraws = 20;
constexpr int logToggles = 5;
constexpr int breakdownFrames = 100;
constexpr int labelWidth = 44;

void printError(const QString& text)
{
    bench::printError("chart", text);
}

QString verdict(bool met)
{
    return met ? QStringLiteral("met") : QStringLiteral("MISSED");
}

// A 1 kOhm resistor swept from -1 V to 1 V, read with 2 % noise: a realistic cloud
// of markers along a line, the same every run.
class Readings
{
  public:
    // Point i of a sweep of n points.
    std::pair<double, double> sweepPoint(int i, int n)
    {
        const double volt = n > 1 ? -1.0 + 2.0 * i / (n - 1) : 0.0;
        return {volt, current(volt)};
    }
    // A point well inside the axes a full sweep set.
    std::pair<double, double> insidePoint()
    {
        const double volt = std::uniform_real_distribution<double>(-0.9, 0.9)(random_);
        return {volt, current(volt)};
    }

  private:
    double current(double volt)
    {
        return volt / 1000.0 * (1.0 + 0.02 * std::clamp(noise_(random_), -2.5, 2.5));
    }
    std::mt19937_64 random_{20240521};
    std::normal_distribution<double> noise_;
};

// A chart shown at a realistic size on whatever platform is in use. Counts the
// plot's paint events, so a frame is known to have reached the window.
class ShownChart : public QObject
{
  public:
    ShownChart()
    {
        chart.resize(chartWidth, chartHeight);
        chart.show();
        chart.plot()->installEventFilter(this);
        waitUntil([this] { return chart.windowHandle() && chart.windowHandle()->isExposed(); },
                  5000);
        spinFor(50);
    }

    // Draws the chart into QCustomPlot's buffers, then onto the window at once.
    // Returns the milliseconds of both parts.
    std::pair<double, double> frame()
    {
        const Clock::time_point start = Clock::now();
        chart.replotNow();
        const double replot = msSince(start);
        const Clock::time_point painting = Clock::now();
        chart.plot()->repaint();
        return {replot, msSince(painting)};
    }

    BarChart chart;
    int paints = 0;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return QObject::eventFilter(watched, event);
    }
};

// The marker ScatterTrace draws for the live trace (same colour, size and drawing).
QImage liveMarker()
{
    const int markerSize = 6;
    const int side = markerSize + 2;
    QImage marker(side, side, QImage::Format_ARGB32_Premultiplied);
    marker.fill(Qt::transparent);
    QPainter painter(&marker);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(31, 119, 180));
    painter.drawEllipse(QPointF(side / 2.0, side / 2.0), markerSize / 2.0, markerSize / 2.0);
    return marker;
}

// What a full redraw of the live trace does (every marker drawn into a fresh kept
// image), and two cheaper ways to the same picture. A marker lands on whole pixels
// (no transformation, no smoothing), so markers at one pixel position can be drawn
// as one: OncePerPixel draws the first and drops the rest (their only effect is
// darker anti-aliased edges); Stacked draws, once per position, the marker composited
// onto itself as many times as points landed there, which is the every-marker
// picture up to rounding, whatever the order (the markers of a trace share a colour).
enum class Redraw { EveryMarker, OncePerPixel, Stacked };

struct RedrawTrial {
    double ms = 0;
    int drawn = 0;
    QImage image;
};

RedrawTrial drawAllMarkers(const ChartPointList& points, QCPAxis* keys, QCPAxis* values,
                           const QRect& rect, const QImage& marker, Redraw how)
{
    RedrawTrial trial;
    const Clock::time_point start = Clock::now();
    trial.image = QImage(rect.size(), QImage::Format_ARGB32_Premultiplied);
    trial.image.fill(Qt::transparent);
    QPainter painter(&trial.image);
    const QPointF centre(marker.width() / 2.0, marker.height() / 2.0);
    const QPointF origin = rect.topLeft();
    // Positions are kept for the image plus a marker's width on every side.
    const int margin = marker.width();
    const int stride = rect.width() + 2 * margin;
    const int rows = rect.height() + 2 * margin;
    std::vector<quint32> count(how == Redraw::EveryMarker ? 0 : std::size_t(stride) * rows);
    std::vector<int> order; // positions in the order first reached
    for (const ivData& point : points) {
        if (!std::isfinite(point.sourceVolt) || !std::isfinite(point.drainVolt))
            continue;
        const QPointF at =
            QPointF(keys->coordToPixel(point.sourceVolt), values->coordToPixel(point.drainVolt)) -
            origin - centre;
        if (how != Redraw::EveryMarker) {
            const int x = qRound(at.x()) + margin;
            const int y = qRound(at.y()) + margin;
            if (x >= 0 && y >= 0 && x < stride && y < rows) {
                const int index = y * stride + x;
                if (count[index]++ == 0)
                    order.push_back(index);
                continue;
            }
        }
        painter.drawImage(at, marker);
        ++trial.drawn;
    }
    std::vector<QImage> stacks{QImage(), marker}; // stacks[k]: k markers at one place
    for (int index : order) {
        const QPoint at(index % stride - margin, index / stride - margin);
        quint32 k = how == Redraw::Stacked ? count[index] : 1;
        while (stacks.size() <= k) {
            QImage next = stacks.back().copy();
            QPainter stacking(&next);
            stacking.drawImage(0, 0, marker);
            stacking.end();
            stacks.push_back(std::move(next));
        }
        painter.drawImage(at, stacks[k]);
        ++trial.drawn;
    }
    painter.end();
    trial.ms = msSince(start);
    return trial;
}

// Pixels that differ between two images of one size, and the largest difference in
// any channel.
std::pair<int, int> compareImages(const QImage& a, const QImage& b)
{
    int differing = 0;
    int largest = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto* rowA = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const auto* rowB = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            if (rowA[x] == rowB[x])
                continue;
            ++differing;
            for (int shift : {0, 8, 16, 24})
                largest = std::max(largest, std::abs(int((rowA[x] >> shift) & 0xff) -
                                                     int((rowB[x] >> shift) & 0xff)));
        }
    }
    return {differing, largest};
}

struct SizeResult {
    int points = 0;
    Summary replot;  // addPoint + replotNow
    Summary frame;   // ... + paint onto the window
    Summary full;    // axes moved: every marker drawn again
    Summary logAxis; // setLogCurrent on or off (fit + full redraw)
    int paintsMissing = 0;
    int fullRedrawsDuringFrames = 0;
};

SizeResult measureSize(int points, int further, Readings& readings)
{
    SizeResult result;
    result.points = points;
    ShownChart shown;
    BarChart& chart = shown.chart;
    chart.beginTrace(QStringLiteral("bench"));
    for (int i = 0; i < points; ++i) {
        const auto [volt, amps] = readings.sweepPoint(i, points);
        chart.addPoint(volt, amps);
    }
    chart.fitToData();
    shown.frame(); // the first full redraw
    shown.frame();

    int rangeChanges = 0;
    const auto counter = [&rangeChanges] { ++rangeChanges; };
    QObject::connect(chart.plot()->xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged),
                     &shown, counter);
    QObject::connect(chart.plot()->yAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged),
                     &shown, counter);

    std::vector<double> replot, frame;
    const int paintsBefore = shown.paints;
    for (int i = 0; i < further; ++i) {
        const auto [volt, amps] = readings.insidePoint();
        const Clock::time_point start = Clock::now();
        chart.addPoint(volt, amps);
        const double paintMs = shown.frame().second;
        replot.push_back(msSince(start) - paintMs);
        frame.push_back(msSince(start));
    }
    result.paintsMissing = further - (shown.paints - paintsBefore);
    result.fullRedrawsDuringFrames = rangeChanges;
    result.replot = summarize(replot);
    result.frame = summarize(frame);

    std::vector<double> full;
    QCPAxis* x = chart.plot()->xAxis;
    for (int i = 0; i < fullRedraws; ++i) {
        const double shift = x->range().size() * 0.001 * (i % 2 ? -1 : 1);
        const Clock::time_point start = Clock::now();
        x->setRange(x->range().lower + shift, x->range().upper + shift);
        shown.frame();
        full.push_back(msSince(start));
    }
    result.full = summarize(full);

    std::vector<double> logAxis;
    for (int i = 0; i < 2 * logToggles; ++i) {
        const Clock::time_point start = Clock::now();
        chart.setLogCurrent(i % 2 == 0);
        chart.plot()->repaint();
        logAxis.push_back(msSince(start));
    }
    result.logAxis = summarize(logAxis);
    return result;
}

// Memory the program spends per point: RSS before and after 100000 points went into
// the data set (as the sweep engine records them) and onto a shown chart, drawn.
double bytesPerPoint(Readings& readings, std::size_t* growth)
{
    ShownChart shown;
    shown.chart.beginTrace(QStringLiteral("memory"));
    shown.frame();
    resetPoints();
    const std::size_t before = residentBytes();
    for (int i = 0; i < memoryPoints; ++i) {
        const auto [volt, amps] = readings.sweepPoint(i, memoryPoints);
        appendPoint(volt, amps);
        shown.chart.addPoint(volt, amps);
    }
    shown.frame();
    spinFor(50);
    const std::size_t after = residentBytes();
    *growth = after > before ? after - before : 0;
    resetPoints();
    return double(*growth) / memoryPoints;
}

void printBreakdown(int points, Readings& readings)
{
    ShownChart shown;
    BarChart& chart = shown.chart;
    QCustomPlot* plot = chart.plot();
    chart.beginTrace(QStringLiteral("breakdown"));
    for (int i = 0; i < points; ++i) {
        const auto [volt, amps] = readings.sweepPoint(i, points);
        chart.addPoint(volt, amps);
    }
    chart.fitToData();
    shown.frame();

    const auto frames = [&](const std::function<void()>& before) {
        std::vector<double> replot, paint;
        for (int i = 0; i < breakdownFrames; ++i) {
            if (before)
                before();
            const auto [replotMs, paintMs] = shown.frame();
            replot.push_back(replotMs);
            paint.push_back(paintMs);
        }
        return std::pair{summarize(replot), summarize(paint)};
    };

    print(QStringLiteral("\nwhere a frame's time goes (%1 points, %2 frames each)\n")
              .arg(points)
              .arg(breakdownFrames));
    print(summaryHeader(labelWidth));
    const auto unchanged = frames({});
    chart.liveTrace()->setVisible(false);
    const auto axesOnly = frames({});
    chart.liveTrace()->setVisible(true);
    const auto oneNew = frames([&] {
        const auto [volt, amps] = readings.insidePoint();
        chart.addPoint(volt, amps);
    });
    plot->setNotAntialiasedElements(QCP::aeAll);
    const auto noAntialiasing = frames({});
    plot->setNotAntialiasedElements(QCP::aeNone);
    const QCP::PlottingHints hints = plot->plottingHints();
    plot->setPlottingHint(QCP::phCacheLabels, false);
    const auto noLabelCache = frames({});
    plot->setPlottingHints(hints);

    const QRect rect = plot->axisRect()->rect();
    print(summaryRow(QStringLiteral("replot, one new point"), oneNew.first, labelWidth));
    print(summaryRow(QStringLiteral("replot, nothing new"), unchanged.first, labelWidth));
    print(summaryRow(QStringLiteral("replot, trace hidden (axes, grid, labels)"), axesOnly.first,
                     labelWidth));
    print(summaryRow(QStringLiteral("replot, nothing new, no anti-aliasing"), noAntialiasing.first,
                     labelWidth));
    print(summaryRow(QStringLiteral("replot, nothing new, labels not cached"), noLabelCache.first,
                     labelWidth));
    print(summaryRow(QStringLiteral("paint onto the window (repaint)"), unchanged.second,
                     labelWidth));

    // A full redraw of the trace alone: as ScatterTrace does it, and the two
    // cheaper ways; each compared with the first.
    const ChartPointList& all = chart.liveTrace()->points();
    const QImage marker = liveMarker();
    std::vector<double> ms[3];
    RedrawTrial trials[3];
    for (int run = 0; run < 5; ++run)
        for (Redraw how : {Redraw::EveryMarker, Redraw::OncePerPixel, Redraw::Stacked}) {
            trials[int(how)] = drawAllMarkers(all, plot->xAxis, plot->yAxis, rect, marker, how);
            ms[int(how)].push_back(trials[int(how)].ms);
        }
    print(QStringLiteral("\nfull redraw of the trace's markers alone (%1 points, 5 runs)\n")
              .arg(all.size()));
    print(summaryHeader(labelWidth));
    print(summaryRow(
        QStringLiteral("every marker, as the chart does (%1 drawn)").arg(trials[0].drawn),
        summarize(ms[0]), labelWidth));
    print(summaryRow(QStringLiteral("once per pixel position (%1 drawn)").arg(trials[1].drawn),
                     summarize(ms[1]), labelWidth));
    print(summaryRow(QStringLiteral("stacked per pixel position (%1 drawn)").arg(trials[2].drawn),
                     summarize(ms[2]), labelWidth));
    // Rounding alone: every marker again, in the opposite order.
    ChartPointList reversed(all.rbegin(), all.rend());
    const RedrawTrial backwards =
        drawAllMarkers(reversed, plot->xAxis, plot->yAxis, rect, marker, Redraw::EveryMarker);
    const std::pair<QString, const QImage*> others[] = {
        {QStringLiteral("every marker, opposite order"), &backwards.image},
        {QStringLiteral("once per pixel position"), &trials[1].image},
        {QStringLiteral("stacked per pixel position"), &trials[2].image}};
    for (const auto& [label, image] : others) {
        const auto [differing, largest] = compareImages(trials[0].image, *image);
        print(QStringLiteral("  vs every marker: %1 %2 of %3 pixels differ, by at most %4/255\n")
                  .arg(label + QLatin1Char(':'), -30)
                  .arg(differing, 5)
                  .arg(rect.width() * rect.height())
                  .arg(largest));
    }

    // The kept marker image (this picture) drawn onto a buffer like QCustomPlot's:
    // the part of every frame that grows with the plot's area, not with the points.
    QPixmap buffer(plot->size());
    buffer.fill(Qt::white);
    std::vector<double> copy;
    for (int i = 0; i < breakdownFrames; ++i) {
        QPainter painter(&buffer);
        const Clock::time_point start = Clock::now();
        painter.drawImage(rect.topLeft(), trials[0].image);
        painter.end();
        copy.push_back(msSince(start));
    }
    print(summaryRow(
        QStringLiteral("kept marker image copied (%1x%2)").arg(rect.width()).arg(rect.height()),
        summarize(copy), labelWidth));
}

} // namespace

int runChartBenchmark(const QStringList& args)
{
    int further = 200;
    if (!parseOptions(args, {{"--further", &further, 1}})) {
        printError(QStringLiteral("usage: kestrel-bench chart [--further N] (N from 1)"));
        return 2;
    }
    Readings readings;

    print(QStringLiteral("kestrel-bench chart: BarChart %1x%2 on the %3 platform, %4 further "
                         "points per size\n")
              .arg(chartWidth)
              .arg(chartHeight)
              .arg(QGuiApplication::platformName())
              .arg(further));
    print(machineLine());

    std::size_t growth = 0;
    const double perPoint = bytesPerPoint(readings, &growth);
    print(QStringLiteral("\nmemory: %1 points in the data set and on the chart: RSS +%2 KiB, %3 "
                         "bytes per point (target <= %4: %5)\n")
              .arg(memoryPoints)
              .arg(growth / 1024)
              .arg(perPoint, 0, 'f', 1)
              .arg(memoryTargetBytes, 0, 'f', 0)
              .arg(verdict(perPoint <= memoryTargetBytes)));

    std::vector<SizeResult> results;
    for (int points : sizes)
        results.push_back(measureSize(points, further, readings));

    print(QStringLiteral("\none new point: addPoint + replotNow (QCustomPlot's buffers)\n"));
    print(summaryHeader(labelWidth));
    for (const SizeResult& r : results)
        print(summaryRow(QStringLiteral("%1 points").arg(r.points), r.replot, labelWidth));
    print(QStringLiteral("\none new point on the window: addPoint + replotNow + repaint\n"));
    print(summaryHeader(labelWidth));
    for (const SizeResult& r : results)
        print(summaryRow(QStringLiteral("%1 points").arg(r.points), r.frame, labelWidth));
    print(QStringLiteral("\nfull redraw: axes moved, every marker drawn again, on the window\n"));
    print(summaryHeader(labelWidth));
    for (const SizeResult& r : results)
        print(summaryRow(QStringLiteral("%1 points").arg(r.points), r.full, labelWidth));
    print(QStringLiteral("\nlog |current| switched on or off (fit, full redraw, repaint)\n"));
    print(summaryHeader(labelWidth));
    for (const SizeResult& r : results)
        print(summaryRow(QStringLiteral("%1 points").arg(r.points), r.logAxis, labelWidth));

    bool allMet = perPoint <= memoryTargetBytes;
    print(QStringLiteral("\ntargets (one new point on the window, p95)\n"));
    for (const SizeResult& r : results) {
        if (r.paintsMissing > 0 || r.fullRedrawsDuringFrames > 0)
            print(QStringLiteral("  note: at %1 points %2 frames did not reach the window and "
                                 "the axes changed %3 times\n")
                      .arg(r.points)
                      .arg(r.paintsMissing)
                      .arg(r.fullRedrawsDuringFrames));
        const double target = r.points == 100000  ? frameTargetMs100k
                              : r.points == 10000 ? frameTargetMs10k
                                                  : 0;
        if (target == 0)
            continue;
        const bool met = r.frame.p95 <= target;
        allMet = allMet && met;
        print(QStringLiteral("  %1 points: p95 %2 ms, max %3 ms (target <= %4 ms: %5)\n")
                  .arg(r.points)
                  .arg(r.frame.p95, 0, 'f', 3)
                  .arg(r.frame.max, 0, 'f', 3)
                  .arg(target, 0, 'f', 0)
                  .arg(verdict(met)));
    }

    printBreakdown(100000, readings);
    return allMet ? 0 : 3;
}

} // namespace kestrel::bench
