#include "chartbench.h"

#include "benchsupport.h"
#include "chart/barchart.h"
#include "data/ivpoints.h"

#include <qcustomplot.h>
#include <QPainter>

#include <memory>
#include <random>

namespace kestrel::bench
{

namespace
{

constexpr int sizes[] = {100, 1000, 10000, 100000, 1000001};
constexpr int memoryPoints = 100000;
constexpr double memoryTargetBytes = 200;
constexpr double frameTargetMs100k = 16;
constexpr double frameTargetMs10k = 3;
// At a million points, as with six runs of 200,001 (newPointTargetMs, fullRedrawTargetMs).
constexpr int millionPoints = 1000001;
constexpr int fullRedraws = 20;
constexpr int logToggles = 5;
constexpr int labelWidth = 44;
// Six runs of a 200,000-step sweep on one chart, the last of them live.
constexpr int manyRuns = 6;
constexpr int runPoints = 200001;
constexpr int manyRedraws = 30;
constexpr int hoverMoves = 300;
constexpr double hoverTargetMs = 1;

void printError(const QString& text)
{
    bench::printError("chart", text);
}

QString verdict(bool met)
{
    return met ? QStringLiteral("met") : QStringLiteral("MISSED");
}

// A resistor (1 kOhm unless told) swept from -1 V to 1 V, read with 2 % noise: a
// realistic cloud of markers along a line, the same every run.
class Readings
{
  public:
    explicit Readings(double ohms = 1000.0) : ohms_(ohms) {}
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
        return volt / ohms_ * (1.0 + 0.02 * std::clamp(noise_(random_), -2.5, 2.5));
    }
    double ohms_;
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
    chart.beginLiveRun(1, QStringLiteral("bench"));
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
    shown.chart.beginLiveRun(1, QStringLiteral("memory"));
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

struct ManyRunsResult {
    Summary newPoint, zoom, pan, growing, shownHidden, hover;
    int hoverFound = 0;
};

// Full redraws of one kind: prepare (untimed), then change() and a frame, timed.
Summary timeRedraws(ShownChart& shown, const std::function<void(int)>& change,
                    const std::function<void(int)>& prepare = {})
{
    std::vector<double> ms;
    for (int i = 0; i < manyRedraws; ++i) {
        if (prepare) {
            prepare(i);
            shown.frame();
        }
        const Clock::time_point start = Clock::now();
        change(i);
        shown.frame();
        ms.push_back(msSince(start));
    }
    return summarize(ms);
}

ManyRunsResult measureManyRuns(int further)
{
    ManyRunsResult result;
    ShownChart shown;
    BarChart& chart = shown.chart;
    QCustomPlot* plot = chart.plot();
    std::vector<ChartPointList> runs;
    for (int run = 0; run < manyRuns; ++run) {
        Readings readings(800.0 + 300.0 * run);
        ChartPointList points;
        points.reserve(runPoints);
        for (int i = 0; i < runPoints; ++i) {
            const auto [volt, amps] = readings.sweepPoint(i, runPoints);
            points.push_back({volt, amps});
        }
        runs.push_back(std::move(points));
    }
    for (int run = 0; run + 1 < manyRuns; ++run)
        chart.showRun(run + 1, runs[std::size_t(run)], QStringLiteral("Run %1").arg(run + 1));
    chart.beginLiveRun(manyRuns, QStringLiteral("Run %1 (live)").arg(manyRuns));
    for (const ivData& point : runs.back())
        chart.addPoint(point.sourceVolt, point.drainVolt);
    chart.fitToData();
    shown.frame();
    shown.frame();

    Readings inside(800.0 + 300.0 * (manyRuns - 1));
    std::vector<double> newPoint;
    for (int i = 0; i < further; ++i) {
        const auto [volt, amps] = inside.insidePoint();
        const Clock::time_point start = Clock::now();
        chart.addPoint(volt, amps);
        shown.frame();
        newPoint.push_back(msSince(start));
    }
    result.newPoint = summarize(newPoint);

    const auto fit = [&](int) { chart.fitToData(); };
    result.zoom = timeRedraws(
        shown,
        [&](int i) {
            const double factor = i % 2 ? 1.0 / 0.85 : 0.85;
            plot->xAxis->scaleRange(factor, plot->xAxis->range().center() * 0.9);
            plot->yAxis->scaleRange(factor, plot->yAxis->range().center() * 0.9);
        },
        fit);
    result.pan = timeRedraws(shown, [&](int i) {
        plot->xAxis->moveRange(plot->xAxis->range().size() * 0.02 * (i % 2 ? -1 : 1));
        plot->yAxis->moveRange(plot->yAxis->range().size() * 0.01 * (i % 2 ? -1 : 1));
    });
    chart.fitToData();
    // Each point a little beyond the last: the axes grow, every run is drawn again.
    double beyond = plot->xAxis->range().upper;
    result.growing = timeRedraws(
        shown,
        [&](int) {
            beyond *= 1.3;
            chart.addPoint(beyond, beyond / 1000.0);
        },
        fit);
    // The live run again without the points far outside, so the view fits the six
    // curves as a user would see them.
    chart.showRun(manyRuns, runs.back(), QStringLiteral("Run %1").arg(manyRuns));
    chart.fitToData();
    shown.frame();
    ChartPointList again;
    result.shownHidden = timeRedraws(
        shown,
        [&](int i) {
            if (i % 2 == 0)
                chart.hideRun(3);
            else
                chart.showRun(3, std::move(again), QStringLiteral("Run 3"));
        },
        [&](int i) {
            if (i % 2 == 1)
                again = runs[2];
        });

    // The cursor near the curves, as a hand moves it: every run searched each time.
    std::mt19937_64 random(7);
    std::vector<double> hover;
    const QRect area = plot->axisRect()->rect();
    for (int i = 0; i < hoverMoves; ++i) {
        const double volt = std::uniform_real_distribution<double>(-0.95, 0.95)(random);
        const double amps = volt / (800.0 + 300.0 * double(random() % manyRuns));
        QPointF at(plot->xAxis->coordToPixel(volt) + 3, plot->yAxis->coordToPixel(amps) - 2);
        at.setX(std::clamp(at.x(), double(area.left()), double(area.right())));
        at.setY(std::clamp(at.y(), double(area.top()), double(area.bottom())));
        QMouseEvent move(QEvent::MouseMove, at, plot->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                         Qt::NoModifier);
        const Clock::time_point start = Clock::now();
        QApplication::sendEvent(plot, &move);
        hover.push_back(msSince(start));
        result.hoverFound += !chart.readoutText().isEmpty();
    }
    result.hover = summarize(hover);
    return result;
}

bool printManyRuns(const ManyRunsResult& r, int further)
{
    print(QStringLiteral("\n%1 runs x %2 points (%3 points shown), %1th live\n")
              .arg(manyRuns)
              .arg(runPoints)
              .arg(manyRuns * runPoints));
    print(summaryHeader(labelWidth));
    struct Row {
        QString label;
        const Summary* summary;
        double target;
    };
    const Row rows[] = {
        {QStringLiteral("new live point (%1), on the window").arg(further), &r.newPoint,
         newPointTargetMs},
        {QStringLiteral("full redraw: zoom"), &r.zoom, fullRedrawTargetMs},
        {QStringLiteral("full redraw: pan"), &r.pan, fullRedrawTargetMs},
        {QStringLiteral("full redraw: axes growing"), &r.growing, fullRedrawTargetMs},
        {QStringLiteral("run shown or hidden"), &r.shownHidden, fullRedrawTargetMs},
        {QStringLiteral("hover lookup and readout"), &r.hover, hoverTargetMs},
    };
    for (const Row& row : rows)
        print(summaryRow(row.label, *row.summary, labelWidth));
    print(QStringLiteral("  (the readout found a point on %1 of %2 moves)\n")
              .arg(r.hoverFound)
              .arg(hoverMoves));
    bool allMet = true;
    print(QStringLiteral("\ntargets at %1 points (p95)\n").arg(manyRuns * runPoints));
    for (const Row& row : rows) {
        const bool met = row.summary->p95 <= row.target;
        allMet = allMet && met;
        print(QStringLiteral("  %1: p95 %2 ms, max %3 ms (target <= %4 ms: %5)\n")
                  .arg(row.label)
                  .arg(row.summary->p95, 0, 'f', 3)
                  .arg(row.summary->max, 0, 'f', 3)
                  .arg(row.target, 0, 'f', 0)
                  .arg(verdict(met)));
    }
    return allMet;
}

} // namespace

int runChartBenchmark(const QStringList& args)
{
    int further = 200;
    int load = 0;
    if (!parseOptions(args, {{"--further", &further, 1}, {"--load", &load, 0}})) {
        printError(QStringLiteral("usage: kestrel-bench chart [--further N] [--load N] (further "
                                  "from 1, load from 0 busy threads)"));
        return 2;
    }
    Readings readings;
    const BusyLoad busy(load);

    print(QStringLiteral("kestrel-bench chart: BarChart %1x%2 on the %3 platform, %4 further "
                         "points per size\n")
              .arg(chartWidth)
              .arg(chartHeight)
              .arg(QGuiApplication::platformName())
              .arg(further));
    print(machineLine());
    print(busy.describe());

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
        const double target = r.points == millionPoints ? newPointTargetMs
                              : r.points == 100000      ? frameTargetMs100k
                              : r.points == 10000       ? frameTargetMs10k
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
        if (r.points != millionPoints)
            continue;
        for (const auto& [what, summary] :
             {std::pair{QStringLiteral("full redraw"), &r.full},
              std::pair{QStringLiteral("log axis switched"), &r.logAxis}}) {
            const bool redrawMet = summary->p95 <= fullRedrawTargetMs;
            allMet = allMet && redrawMet;
            print(QStringLiteral("  %1 points, %2: p95 %3 ms, max %4 ms (target <= %5 ms: %6)\n")
                      .arg(r.points)
                      .arg(what)
                      .arg(summary->p95, 0, 'f', 3)
                      .arg(summary->max, 0, 'f', 3)
                      .arg(fullRedrawTargetMs, 0, 'f', 0)
                      .arg(verdict(redrawMet)));
        }
    }

    allMet = printManyRuns(measureManyRuns(further), further) && allMet;
    print(machineLine());
    return allMet ? 0 : 3;
}

} // namespace kestrel::bench
