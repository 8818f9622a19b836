#include "chart/barchart.h"
#include "chart/markerstamps.h"
#include "chart/runpalette.h"
#include "chart/scattertrace.h"
#include "data/numbertext.h"
#include "data/sitext.h"
#include "testhome.h"

#include <qcustomplot.h>
#include <QImage>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <set>

using namespace kestrel;

namespace
{

// A cloud along a line, the same every time.
ChartPointList cloud(int n, double slope, double noise)
{
    ChartPointList points;
    for (int i = 0; i < n; ++i) {
        const double volt = -1.0 + 2.0 * i / (n - 1);
        points.push_back({volt, slope * volt * (1.0 + noise * std::sin(i * 12.9898))});
    }
    return points;
}

void showAndWait(BarChart& chart, QSize size = {600, 400})
{
    chart.resize(size);
    chart.show();
    QVERIFY(QTest::qWaitForWindowExposed(&chart));
    chart.replotNow();
}

// The user's view, which new points leave alone, drawn.
void setView(BarChart& chart, QCPRange volts, QCPRange amps)
{
    chart.plot()->xAxis->setRange(volts);
    chart.plot()->yAxis->setRange(amps);
    chart.replotNow();
}

QPoint pixelOf(const BarChart& chart, const ivData& point)
{
    return QPointF(chart.plot()->xAxis->coordToPixel(point.sourceVolt),
                   chart.plot()->yAxis->coordToPixel(point.drainVolt))
        .toPoint();
}

// The mouse at pixel, with buttons held (not QTest's idea of them, which an earlier
// test's clicks may have left pressed).
void mouse(QCustomPlot* plot, QEvent::Type type, QPointF pixel, Qt::MouseButtons buttons = {},
           Qt::KeyboardModifiers keys = {})
{
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, pixel, plot->mapToGlobal(pixel), button, buttons, keys);
    QApplication::sendEvent(plot, &event);
}

// How many pixels of rect (clipped to the image) are such.
int countPixels(const QImage& image, QRect rect, const std::function<bool(QColor)>& such)
{
    int count = 0;
    rect &= image.rect();
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            count += such(image.pixelColor(x, y));
    return count;
}

// The largest difference in any channel between two images of one size.
int largestDifference(const QImage& a, const QImage& b)
{
    int largest = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            for (int shift : {0, 8, 16, 24})
                largest = std::max(largest, std::abs(int((a.pixel(x, y) >> shift) & 0xff) -
                                                     int((b.pixel(x, y) >> shift) & 0xff)));
    return largest;
}
double luminance(QColor colour)
{
    const auto channel = [](double c) {
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(colour.redF()) + 0.7152 * channel(colour.greenF()) +
           0.0722 * channel(colour.blueF());
}

} // namespace

class TestChart : public QObject
{
    Q_OBJECT

  private slots:
    void siTextPicksPrefixAndDigits_data();
    void siTextPicksPrefixAndDigits();
    void ticksUseOneNotation_data();
    void ticksUseOneNotation();
    void noTwoShownRunsLookAlike();
    void logAxesLeaveZerosOut_data();
    void logAxesLeaveZerosOut();
    void readoutShowsTheNearestPoint_data();
    void readoutShowsTheNearestPoint();
    void wheelZoomsAroundTheCursorAndDoubleClickFits();
    void returnLegIsHollowAndLinesJoinPoints();
    void pointsInComplianceAreRinged();
    void aTimeTraceIsDrawnOnItsOwnTimeAxis();
    void fullRedrawLooksLikeEveryMarkerDrawn_data();
    void fullRedrawLooksLikeEveryMarkerDrawn();
    void aRedrawShowsEveryChangeWithTheNewPoints_data();
    void aRedrawShowsEveryChangeWithTheNewPoints();
    void exportsShowAxesAndLegend();
    void legendCoversNoPoint();
    void axesAreReadableFromTheStart();
    void markedWindowIsRoundedToAPixel();
};

void TestChart::siTextPicksPrefixAndDigits_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<int>("digits");
    QTest::addColumn<QString>("text");
    QTest::newRow("micro") << 12.34e-6 << "A" << 3 << "12.3 µA";
    QTest::newRow("negative milli") << -0.512 << "V" << 3 << "−512 mV";
    QTest::newRow("zero") << 0.0 << "V" << 3 << "0 V";
    QTest::newRow("negative zero") << -0.0 << "A" << 3 << "0 A";
    QTest::newRow("femto") << 1e-15 << "A" << 3 << "1.00 fA";
    QTest::newRow("below femto") << 2e-18 << "A" << 2 << "0.0020 fA";
    QTest::newRow("giga") << 1e9 << "V" << 2 << "1.0 GV";
    QTest::newRow("beyond giga") << 5e12 << "V" << 1 << "5000 GV";
    QTest::newRow("rounds up a prefix") << 0.99996 << "V" << 3 << "1.00 V";
    QTest::newRow("kilo") << -1500.0 << "V" << 2 << "−1.5 kV";
    QTest::newRow("nano") << 4.56e-9 << "A" << 2 << "4.6 nA";
    QTest::newRow("infinite") << std::numeric_limits<double>::infinity() << "V" << 3 << "∞ V";
    QTest::newRow("minus infinite")
        << -std::numeric_limits<double>::infinity() << "A" << 3 << "−∞ A";
    QTest::newRow("not a number") << std::nan("") << "V" << 3 << "NaN V";
}

void TestChart::siTextPicksPrefixAndDigits()
{
    QFETCH(double, value);
    QFETCH(QString, unit);
    QFETCH(int, digits);
    QFETCH(QString, text);
    QCOMPARE(kestrel::siText(value, unit, digits), text);
}

void TestChart::ticksUseOneNotation_data()
{
    QTest::addColumn<double>("lower");
    QTest::addColumn<double>("upper");
    QTest::addColumn<bool>("logarithmic");
    QTest::newRow("tens of microamps to a tenth of a milliamp") << -4e-5 << 1e-4 << false;
    QTest::newRow("around zero") << -3e-3 << 3e-3 << false;
    QTest::newRow("narrow, far from zero") << 1.0001 << 1.0004 << false;
    QTest::newRow("steps of 2.5") << -0.5e-6 << 12.4e-6 << false;
    QTest::newRow("steps of 0.25") << -0.1e-3 << 1.3e-3 << false;
    QTest::newRow("decades") << 1e-12 << 1e-2 << true;
}

void TestChart::ticksUseOneNotation()
{
    QFETCH(double, lower);
    QFETCH(double, upper);
    QFETCH(bool, logarithmic);
    BarChart chart;
    chart.resize(600, 400);
    chart.setLogCurrent(logarithmic);
    chart.plot()->yAxis->setRange(lower, upper);
    chart.replotNow();
    const QVector<QString> labels = chart.plot()->yAxis->tickVectorLabels();
    QVERIFY(labels.size() >= 3);
    const QRegularExpression si(QStringLiteral("^(−?[0-9]+(?:\\.[0-9]+)?) ([fpnµmkMG]?)A$"));
    const QVector<double> ticks = chart.plot()->yAxis->tickVector();
    const double step = logarithmic ? 0.0 : ticks[1] - ticks[0];
    for (int i = 0; i < labels.size(); ++i) {
        const QRegularExpressionMatch parts = si.match(labels[i]);
        QVERIFY2(parts.hasMatch(), qPrintable(labels[i]));
        // Each label reads back as its tick, not a rounded neighbour.
        const QStringList prefixes{"f", "p", "n", "µ", "m", "", "k", "M", "G"};
        const double read = parts.captured(1).replace(QChar(0x2212), '-').toDouble() *
                            std::pow(1000.0, prefixes.indexOf(parts.captured(2)) - 5);
        const double tolerance = logarithmic ? ticks[i] * 1e-9 : step * 1e-6;
        QVERIFY2(std::fabs(read - ticks[i]) <= tolerance, qPrintable(labels[i]));
    }
    QCOMPARE(QSet<QString>(labels.begin(), labels.end()).size(), labels.size());
    QCOMPARE(chart.plot()->yAxis->label(),
             logarithmic ? QStringLiteral("|Current| (A)") : QStringLiteral("Current (A)"));
}

void TestChart::noTwoShownRunsLookAlike()
{
    for (int i = 0; i < 3000; ++i) { // every style stays visible on white
        const QColor colour = runStyle(i).colour;
        QVERIFY2(1.05 / (luminance(colour) + 0.05) >= 3.0, qPrintable(colour.name()));
        QVERIFY(i >= runPaletteStyles() || colour != runStyle(i + 1).colour);
    }
    QVERIFY(runPaletteSize() >= 8);
    // Each shape draws differently from every other.
    std::vector<QImage> shapes;
    for (int shape = 0; shape < markerShapeCount; ++shape) {
        const QImage marker = MarkerStamps({Qt::black, 7, false, MarkerShape(shape)}).marker();
        for (const QImage& other : shapes)
            QVERIFY(other.size() != marker.size() || largestDifference(other, marker) > 100);
        shapes.push_back(marker);
    }

    // Keys 10 apart share a colour, 50 apart their own style: 120 such runs, all
    // different; a run shown again gets its own style back.
    BarChart many;
    for (qint64 key = 42; key < 1242; key += 10)
        many.showRun(key, {}, "run");
    std::set<std::pair<QRgb, int>> seen;
    for (qint64 key : many.shownRuns())
        QVERIFY(seen.emplace(many.trace(key)->color().rgb(), int(many.trace(key)->style().shape))
                    .second);
    many.hideRun(42);
    many.showRun(42, {}, "again");
    QCOMPARE(many.trace(42)->style(), runStyle(42));

    BarChart chart;
    chart.showRun(42, cloud(10, 1e-3, 0), "A");
    const QColor first = chart.trace(42)->color();
    for (qint64 key = 100; key < 112; ++key)
        chart.showRun(key, cloud(10, 2e-3, 0), "other");
    chart.hideRun(100);
    chart.hideRun(101);
    QCOMPARE(chart.trace(42)->color(), first);
    QCOMPARE(chart.shownRuns().size(), 11);
    QCOMPARE(chart.shownRuns().first(), 42);
    // The current run is drawn above the others, a little larger.
    QCOMPARE(chart.currentRun(), 111);
    QVERIFY(chart.trace(111)->markerSize() > chart.trace(42)->markerSize());
    // The legend lists runs oldest first, whatever order they were shown in.
    chart.showRun(7, cloud(10, 1e-3, 0), "seven");
    auto* top = qobject_cast<QCPPlottableLegendItem*>(chart.plot()->legend->item(0));
    QVERIFY(top && top->plottable() == chart.trace(7));
    chart.hideAllButCurrent();
    QCOMPARE(chart.shownRuns(), QList<qint64>{7});
}

void TestChart::logAxesLeaveZerosOut_data()
{
    QTest::addColumn<bool>("logVoltage");
    QTest::addColumn<int>("shownThenLive");
    QTest::newRow("log |current|") << false << 3;
    QTest::newRow("log |current| and |voltage|") << true << 2;
}

void TestChart::logAxesLeaveZerosOut()
{
    QFETCH(bool, logVoltage);
    QFETCH(int, shownThenLive);
    BarChart chart;
    chart.resize(600, 400);
    chart.beginLiveRun(1, "Sweep");
    chart.addPoint(-1.0, -1e-9);
    chart.addPoint(0.0, 0.0);
    chart.addPoint(1.0, 2e-4);
    chart.setLogCurrent(true);
    chart.setLogVoltage(logVoltage);
    chart.addPoint(2.0, 0.0); // still left out while the log view is on
    chart.addPoint(0.0, -3e-3);
    QCOMPARE(chart.trace(1)->shownCount(), shownThenLive);
    const QCPRange y = chart.plot()->yAxis->range();
    QVERIFY(y.lower > 0 && y.lower <= 1e-9 && y.upper >= 3e-3);
    chart.replotNow(); // drawing with log axes must not fail
    chart.setLogCurrent(false);
    chart.setLogVoltage(false);
    QCOMPARE(chart.trace(1)->shownCount(), 5);
}

void TestChart::readoutShowsTheNearestPoint_data()
{
    // Run 4 has two points measured one after the other 42 nA apart; zoomed, the view is
    // 0.25 V to 0.35 V and 23.4 µA to 23.6 µA.
    QTest::addColumn<qint64>("key");
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("zoomed");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char* name, qint64 key, int index, bool zoomed, const char* text) {
        QTest::newRow(name) << key << index << zoomed << QString(text);
    };
    row("steep run, near the start", 7, 3, false, "Steep, point 4: −850 mV, −1.73 mA");
    row("flat run, near the end", 8, 30, false, "Flat, point 31 (return): 500 mV, 100 µA");
    row("steep run, last point", 7, 40, false, "Steep, point 41: 1.000 V, 1.96 mA");
    row("close neighbours, the first", 4, 1, false, "Run 4, point 2: 300 mV, 23.50 µA");
    row("close neighbours, the second", 4, 2, false, "Run 4, point 3: 310 mV, 23.46 µA");
    row("close neighbours, zoomed", 4, 1, true, "Run 4, point 2: 300.0 mV, 23.5040 µA");
}

void TestChart::readoutShowsTheNearestPoint()
{
    QFETCH(qint64, key);
    QFETCH(int, index);
    QFETCH(bool, zoomed);
    QFETCH(QString, expected);
    BarChart chart;
    chart.showRun(7, cloud(41, 2e-3, 0.02), "Steep");
    chart.showRun(8, cloud(41, 0.2e-3, 0.02), "Flat", 20);
    chart.showRun(4, {{-1.0, -1e-3}, {0.3, 23.504e-6}, {0.31, 23.462e-6}, {1.0, 1e-3}}, "Run 4");
    showAndWait(chart);
    if (zoomed)
        setView(chart, {0.25, 0.35}, {23.4e-6, 23.6e-6});
    const ivData point = chart.trace(key)->points()[std::size_t(index)];
    mouse(chart.plot(), QEvent::MouseMove, pixelOf(chart, point) + QPoint(key == 4 ? 0 : 2, 0));
    QCOMPARE(chart.readoutText(), expected);
    // Far from every point: nothing to read.
    mouse(chart.plot(), QEvent::MouseMove, pixelOf(chart, {0.0, 2e-3}));
    QCOMPARE(chart.readoutText(), QString());
    mouse(chart.plot(), QEvent::MouseMove, pixelOf(chart, point));
    QSignalSpy hovered(&chart, &BarChart::hovered);
    QEvent leave(QEvent::Leave); // the cursor leaves the chart: the readout goes
    QApplication::sendEvent(chart.plot(), &leave);
    QVERIFY(chart.readoutText().isEmpty() && hovered.size() == 1 && hovered[0][0] == QString());
}

void TestChart::wheelZoomsAroundTheCursorAndDoubleClickFits()
{
    BarChart chart;
    chart.showRun(1, cloud(101, 1e-3, 0), "one");
    chart.showRun(2, cloud(101, -3e-3, 0), "two");
    showAndWait(chart);
    QCustomPlot* plot = chart.plot();
    const QCPRange fittedX = plot->xAxis->range();
    const QCPRange fittedY = plot->yAxis->range();
    const QPointF cursor(plot->axisRect()->left() + 100, plot->axisRect()->top() + 80);
    const double underX = plot->xAxis->pixelToCoord(cursor.x());
    const double underY = plot->yAxis->pixelToCoord(cursor.y());
    QWheelEvent wheel(cursor, plot->mapToGlobal(cursor), QPoint(), QPoint(0, 240), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(plot, &wheel);
    QVERIFY(plot->xAxis->range().size() < fittedX.size() * 0.9);
    QVERIFY(plot->yAxis->range().size() < fittedY.size() * 0.9);
    QVERIFY(std::fabs(plot->xAxis->pixelToCoord(cursor.x()) - underX) < fittedX.size() * 1e-3);
    QVERIFY(std::fabs(plot->yAxis->pixelToCoord(cursor.y()) - underY) < fittedY.size() * 1e-3);

    // New live points and the sweep's end leave the user's view alone.
    chart.beginLiveRun(3, "live");
    chart.plot()->xAxis->setRange(0.2, 0.4);
    chart.addPoint(5.0, 1.0);
    chart.liveRunEnded();
    QCOMPARE(plot->xAxis->range(), QCPRange(0.2, 0.4));

    QTest::mouseDClick(plot, Qt::LeftButton, Qt::NoModifier, cursor.toPoint());
    QVERIFY(!chart.viewIsTheUsers());
    QVERIFY(plot->xAxis->range().contains(-1.0) && plot->xAxis->range().contains(5.0));
    QVERIFY(plot->yAxis->range().contains(-3e-3) && plot->yAxis->range().contains(1.0));
}

void TestChart::returnLegIsHollowAndLinesJoinPoints()
{
    // Out to 0.45 V, back over the level of 0.05 V.
    BarChart chart;
    chart.showRun(3, {{-0.45, -0.45}, {0.05, 0.05}, {0.45, 0.45}, {0.05, 0.05}}, "Dual", 2);
    showAndWait(chart);
    setView(chart, {-1, 1}, {-1, 1});
    const QColor colour = runStyle(3).colour;
    const auto pixelAt = [&](QPointF volts) {
        return chart.plot()->grab().toImage().pixelColor(pixelOf(chart, {volts.x(), volts.y()}));
    };
    QCOMPARE(pixelAt({-0.45, -0.45}), colour);          // the first leg is filled
    QCOMPARE(pixelAt({0.45, 0.45}), QColor(Qt::white)); // the return leg is an outline
    QCOMPARE(pixelAt({-0.2, -0.2}), QColor(Qt::white));
    // Where the return retraces, its outline rings the first leg's marker.
    const QImage image = chart.plot()->grab().toImage();
    const QPoint retraced = pixelOf(chart, {0.05, 0.05});
    QCOMPARE(image.pixelColor(retraced), colour);
    for (QPoint at : {QPoint(5, 0), QPoint(-5, 0), QPoint(0, 5), QPoint(0, -5)})
        QVERIFY(image.pixelColor(retraced + at).red() < 200);
    // The readout names the marker on top: the return leg's.
    mouse(chart.plot(), QEvent::MouseMove, retraced);
    QCOMPARE(chart.readoutText(), QStringLiteral("Dual, point 4 (return): 50.0 mV, 50.0 mA"));

    chart.setLines(true);
    const QImage joined = chart.plot()->grab().toImage();
    const QRect between(pixelOf(chart, {-0.2, -0.2}) - QPoint(1, 1), QSize(3, 3));
    QVERIFY(countPixels(joined, between, [](QColor c) { return c != Qt::white; }) > 0);

    // Swept twice over: each cycle's first leg is filled again, and the readout names it.
    chart.setLines(false);
    chart.hideRun(3);
    chart.showRun(4, {{-0.8, -0.8}, {0.8, 0.8}, {0.8, -0.8}, {-0.8, 0.8}}, "Loops",
                  SweepLegs(1, 2));
    chart.plot()->xAxis->setRange(-1, 1);
    chart.plot()->yAxis->setRange(-1, 1);
    chart.replotNow();
    QCOMPARE(pixelAt({0.8, -0.8}), runStyle(4).colour);
    QCOMPARE(pixelAt({-0.8, 0.8}), QColor(Qt::white));
    mouse(chart.plot(), QEvent::MouseMove, pixelOf(chart, {-0.8, 0.8}));
    QCOMPARE(chart.readoutText(),
             QStringLiteral("Loops, point 4 (cycle 2, return): \u2212800 mV, 800 mA"));
}

// A hold's points are current over seconds: while one is current only time traces are
// drawn, on a time axis with SI ticks, and the I-V curves come back with an I-V curve.
void TestChart::aTimeTraceIsDrawnOnItsOwnTimeAxis()
{
    BarChart chart;
    QSignalSpy axis(&chart, &BarChart::axisChanged);
    chart.showRun(1, {{-1, -1e-3}, {1, 1e-3}}, "Sweep");
    SweepLegs overTime;
    overTime.overTime = true;
    chart.beginLiveRun(2, "Hold", overTime);
    for (double seconds : {0.4, 0.5, 90.0})
        chart.addPoint(seconds, seconds * 1e-6);
    chart.liveRunEnded();
    showAndWait(chart);
    QVERIFY(chart.overTime() && !chart.trace(1)->visible() && chart.trace(2)->visible() &&
            chart.plot()->legend->itemCount() == 1);
    QCOMPARE(chart.plot()->xAxis->label(), "Time (s)");
    QVERIFY(chart.plot()->xAxis->tickVectorLabels().join(' ').contains("40 s"));
    mouse(chart.plot(), QEvent::MouseMove, pixelOf(chart, {90.0, 90e-6}));
    QCOMPARE(chart.readoutText(), QStringLiteral("Hold, point 3: 90.0 s, 90.0 µA"));
    mouse(chart.plot(), QEvent::MouseMove, pixelOf(chart, {1, 1e-3})); // hidden: no readout
    QCOMPARE(chart.readoutText(), QString());

    chart.setCurrentRun(1);
    QVERIFY(!chart.overTime() && chart.trace(1)->visible() && !chart.trace(2)->visible());
    QVERIFY(chart.plot()->xAxis->label() == "Voltage (V)" && axis.size() == 2);
}

// The window's test follows a live run to its readout; here, a stored run's flags.
void TestChart::pointsInComplianceAreRinged()
{
    const ChartPointList points{{-0.5, -0.5}, {0.0, 0.0}, {0.5, 0.5}};
    BarChart chart;
    chart.showRun(3, points, "Sweep", -1, {0, 0, 1});
    chart.plot()->legend->setVisible(false);
    showAndWait(chart);
    setView(chart, {-1, 1}, {-1, 1});
    // Red only on a ring around the point at the limit, clear of its marker.
    const QImage image = chart.plot()->grab().toImage();
    const auto redNear = [&](const ivData& point) {
        const int ring = BarChart::currentMarkerSize / 2 + 6;
        const QRect around(pixelOf(chart, point) - QPoint(ring, ring),
                           QSize(2 * ring + 1, 2 * ring + 1));
        return countPixels(image, around, [](QColor c) {
            return c.red() > 150 && c.green() < 120 && c.blue() < 120;
        });
    };
    QVERIFY(redNear(points[2]) > 8);
    QCOMPARE(redNear(points[0]), 0);
    QCOMPARE(chart.trace(3)->compliancePoints(), std::vector<std::size_t>{2});

    // A point of several readings has a bar of one standard deviation each way.
    chart.showRun(4, {{0.0, -0.5}}, "Mean", {}, {}, {0.4});
    chart.replotNow();
    const QImage barred = chart.plot()->grab().toImage();
    const auto colourNear = [&](double amps) {
        const QRect at(pixelOf(chart, {0.0, amps}) - QPoint(2, 0), QSize(5, 1));
        return countPixels(barred, at, [](QColor c) { return c == runStyle(4).colour; });
    };
    QVERIFY(colourNear(-0.2) > 0 && colourNear(-0.8) > 0);
    QCOMPARE(colourNear(0.1), 0);
    mouse(chart.plot(), QEvent::MouseMove, pixelOf(chart, {0.0, -0.5}));
    QVERIFY2(chart.readoutText().endsWith(" ± 400 mA"), qPrintable(chart.readoutText()));
}

void TestChart::fullRedrawLooksLikeEveryMarkerDrawn_data()
{
    QTest::addColumn<bool>("logCurrent");
    QTest::newRow("linear") << false;
    // Half the currents are negative: drawn at their magnitude.
    QTest::newRow("log |current|") << true;
}

void TestChart::fullRedrawLooksLikeEveryMarkerDrawn()
{
    // Markers added in small batches onto the kept image, and a full redraw that
    // stacks the markers of each pixel position, both against every marker drawn one by
    // one: the same picture up to rounding.
    QFETCH(bool, logCurrent);
    const ChartPointList points = cloud(20001, 1e-3, 0.05);
    BarChart live;
    showAndWait(live);
    live.beginLiveRun(5, "Sweep", 15000);
    live.plot()->legend->setVisible(false);
    live.setLogCurrent(logCurrent);
    // Every redraw below adds markers; on the log axis, every marker is inside.
    setView(live, {-1.1, 1.1}, logCurrent ? QCPRange(1e-9, 2e-3) : QCPRange(-1.2e-3, 1.2e-3));
    for (std::size_t i = 0; i < points.size(); ++i) {
        live.addPoint(points[i].sourceVolt, points[i].drainVolt);
        if (i % 997 == 0)
            live.replotNow();
    }
    live.replotNow();
    const QImage incremental = live.plot()->grab().toImage();
    live.plot()->xAxis->setRange(-1, 1);
    live.replotNow();
    live.plot()->xAxis->setRange(-1.1, 1.1);
    live.replotNow();
    const QImage stacked = live.plot()->grab().toImage();

    ScatterTrace* trace = live.trace(5);
    trace->setVisible(false);
    live.replotNow();
    QImage reference =
        live.plot()->grab().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QRect area = live.plot()->axisRect()->rect();
    QImage markers(area.size(), QImage::Format_ARGB32_Premultiplied);
    markers.fill(Qt::transparent);
    trace->drawEveryMarker(markers, area.topLeft());
    QPainter(&reference).drawImage(area.topLeft(), markers);

    const QRect inner = area.adjusted(2, 2, -2, -2); // the axes are drawn over the edges
    const QImage inside = stacked.copy(inner);
    QVERIFY(largestDifference(inside, reference.copy(inner)) <= 19);
    QVERIFY(largestDifference(incremental.copy(inner), inside) <= 19);
    // ... and there are markers to compare: without them the picture is far off.
    QVERIFY(largestDifference(inside, live.plot()->grab().toImage().copy(inner)) > 100);
}

void TestChart::aRedrawShowsEveryChangeWithTheNewPoints_data()
{
    // What changes between two redraws besides a new point of the live run (1); run 2
    // has two points of its own, one above the other; a voltage window may be shaded.
    using Change = std::function<void(BarChart&)>;
    QTest::addColumn<Change>("change");
    QTest::addColumn<bool>("secondShown");
    QTest::addColumn<bool>("windowShaded"); // over 0.6 V to 0.7 V
    QTest::newRow("nothing: the live run on top") << Change() << true << false;
    QTest::newRow("the live run under the current one") << Change([](BarChart& chart) {
        chart.setCurrentRun(2);
        chart.replotNow();
    }) << true << false;
    QTest::newRow("the other run hidden")
        << Change([](BarChart& chart) { chart.hideRun(2); }) << false << false;
    QTest::newRow("lines switched on")
        << Change([](BarChart& chart) { chart.setLines(true); }) << true << false;
    QTest::newRow("the axes moved")
        << Change([](BarChart& chart) { chart.plot()->xAxis->setRange(-1.2, 1.2); }) << true
        << false;
    QTest::newRow("the window moved") << Change([](BarChart& chart) {
        chart.showWindow(-0.9, -0.8);
        chart.replotNow();
        chart.showWindow(0.6, 0.7);
    }) << true << true;
}

void TestChart::aRedrawShowsEveryChangeWithTheNewPoints()
{
    using Change = std::function<void(BarChart&)>;
    QFETCH(Change, change);
    QFETCH(bool, secondShown);
    QFETCH(bool, windowShaded);
    BarChart chart;
    // Off the grid lines, which would colour the pixels between the points.
    const ivData second{0.55, 0.25e-3}, above{0.55, 0.85e-3}, earlier{-0.55, -0.55e-3},
        added{0.55, -0.55e-3}, empty{0.65, -0.85e-3};
    chart.showRun(2, {second, above}, "Run 2");
    chart.beginLiveRun(1, "Sweep");
    chart.addPoint(earlier.sourceVolt, earlier.drainVolt);
    chart.plot()->legend->setVisible(false);
    showAndWait(chart);
    setView(chart, {-1, 1}, {-1e-3, 1e-3});
    if (change)
        change(chart);
    chart.addPoint(added.sourceVolt, added.drainVolt);
    chart.replotNow();

    const QImage image = chart.plot()->grab().toImage();
    const auto colourAt = [&](const ivData& point) {
        return QColor(image.pixel(pixelOf(chart, point)));
    };
    QCOMPARE(colourAt(added), runStyle(1).colour);
    QCOMPARE(colourAt(earlier), runStyle(1).colour);
    QCOMPARE(colourAt(second) == runStyle(2).colour, secondShown);
    QCOMPARE(colourAt(empty) != QColor(Qt::white), windowShaded);
    // Halfway between run 2's points: its line, when lines are on.
    const QPoint middle = (pixelOf(chart, second) + pixelOf(chart, above)) / 2;
    const QColor run = runStyle(2).colour;
    const int line = countPixels(image, QRect(middle - QPoint(1, 0), QSize(3, 1)), [&](QColor c) {
        return std::max({std::abs(c.red() - run.red()), std::abs(c.green() - run.green()),
                         std::abs(c.blue() - run.blue())}) <= 40;
    });
    QCOMPARE(line > 0, chart.lines());
}

void TestChart::exportsShowAxesAndLegend()
{
    BarChart chart;
    chart.showRun(11, cloud(21, 1e-3, 0), "Diode forward");
    chart.showRun(12, cloud(21, -1e-3, 0), "Diode reverse");
    QTemporaryDir dir;

    const QString png = dir.filePath("chart.png");
    WriteResult result = chart.exportImage(png, 640, 480);
    QVERIFY2(result.ok, qPrintable(result.message));
    const QImage image(png);
    QCOMPARE(image.size(), QSize(640, 480));
    for (int key : {11, 12})
        QVERIFY(
            countPixels(image, image.rect(), [&](QColor c) { return c == runStyle(key).colour; }));

    const QString svg = dir.filePath("chart one.svg");
    result = chart.exportImage(svg);
    QVERIFY2(result.ok, qPrintable(result.message));
    const QString text = QString::fromUtf8(fileContents(svg));
    for (const char* expected :
         {"</svg>", "Voltage (V)", "Current (A)", "Diode forward", "Diode reverse", " mV", " mA"})
        QVERIFY2(text.contains(QLatin1String(expected)), expected);

    QVERIFY(
        chart.exportImage(dir.filePath("missing/chart.png")).message.contains("does not exist"));
}

void TestChart::legendCoversNoPoint()
{
    // Twenty runs on a low chart, points everywhere: wherever a legend stood inside the
    // plot it would cover some.
    BarChart chart;
    for (int run = 0; run < 20; ++run) {
        ChartPointList points;
        for (int i = run; i < 225; i += 20) {
            const int column = i / 15; // a 15 x 15 grid of points
            points.push_back({-1.0 + column / 7.0, -1e-3 + i % 15 / 7.0 * 1e-3});
        }
        chart.showRun(run + 1, points, QStringLiteral("Run %1, 12:%2").arg(run + 1).arg(run + 10));
    }
    showAndWait(chart, {600, 300});
    QCPLegend* legend = chart.plot()->legend;
    QList<QCPAbstractLegendItem*> entries;
    for (int i = 0; i < legend->itemCount(); ++i)
        if (legend->item(i)) // a wrapped legend's grid has empty cells
            entries << legend->item(i);
    QCOMPARE(entries.size(), 20);
    const QRect covered = legend->outerRect();
    for (qint64 key : chart.shownRuns())
        for (const ivData& point : chart.trace(key)->points()) {
            const QPoint at = pixelOf(chart, point);
            QVERIFY(chart.plot()->axisRect()->rect().contains(at));
            QVERIFY(!covered.intersects(QRect(at - QPoint(8, 8), QSize(16, 16))));
        }
    for (QCPAbstractLegendItem* entry : entries) // none cut off
        QVERIFY(chart.plot()->rect().contains(entry->outerRect()));
}

void TestChart::axesAreReadableFromTheStart()
{
    // No run yet, -1 V to 1 V and -1 A to 1 A at 1366 wide: the captions are drawn, and
    // the ticks at the right end and at the top have their labels.
    BarChart chart;
    chart.resize(1366, 700);
    chart.show();
    QVERIFY(QTest::qWaitForWindowExposed(&chart));
    QCustomPlot* plot = chart.plot();
    QCOMPARE(plot->xAxis->tickVector().last(), 1.0);
    QCOMPARE(plot->yAxis->tickVector().last(), 1.0);
    const QImage image = plot->grab().toImage();
    const auto ink = [&](QRect rect) {
        return countPixels(image, rect, [](QColor c) { return qGray(c.rgb()) < 128; });
    };
    const QRect area = plot->axisRect()->rect();
    const int line = QFontMetrics(plot->xAxis->tickLabelFont()).height();
    const int rightX = qRound(plot->xAxis->coordToPixel(1.0));
    const int topY = qRound(plot->yAxis->coordToPixel(1.0));
    QVERIFY(ink(QRect(rightX - 15, area.bottom() + 3, 31, line)) > 10);
    QVERIFY(ink(QRect(0, topY - line / 2, area.left() - 3, line)) > 10);
    QVERIFY(ink(QRect(area.center().x() - 40, area.bottom() + line + 3, 81, 2 * line)) > 30);
    QVERIFY(ink(QRect(0, area.center().y() - 40, area.left() - 40, 81)) > 30);
}

void TestChart::markedWindowIsRoundedToAPixel()
{
    // 0.1 V across some 450 pixels: four decimals.
    BarChart chart;
    showAndWait(chart);
    QCustomPlot* plot = chart.plot();
    plot->xAxis->setRange(0.4, 0.5);
    chart.replotNow();
    QSignalSpy marked(&chart, &BarChart::windowMarked);
    const QPointF from(plot->xAxis->coordToPixel(0.43117391), 100),
        to(plot->xAxis->coordToPixel(0.47731529), 100);
    mouse(plot, QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::ShiftModifier);
    mouse(plot, QEvent::MouseMove, to, Qt::LeftButton, Qt::ShiftModifier);
    mouse(plot, QEvent::MouseButtonRelease, to, {}, Qt::ShiftModifier);
    QCOMPARE(marked.size(), 1);
    for (int end : {0, 1}) { // four decimals at most, and still where the drag was
        const double volts = marked.first().at(end).toDouble();
        QVERIFY(QString::fromStdString(formatDouble(volts)).section('.', 1).size() <= 4);
        QVERIFY(std::fabs(plot->xAxis->coordToPixel(volts) - (end ? to : from).x()) <= 1.0);
    }
}

QTEST_MAIN(TestChart)
#include "tst_chart.moc"
