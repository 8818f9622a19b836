#include "chart/barchart.h"
#include "chart/scattertrace.h"

#include <qcustomplot.h>
#include <QFile>
#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace kestrel;

namespace
{

int shownPoints(const BarChart& chart)
{
    return chart.liveTrace()->shownCount();
}

// Pixels of the chart drawn in exactly this colour.
int pixelsOf(const QImage& image, QColor colour)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += image.pixelColor(x, y) == colour;
    return count;
}

} // namespace

class TestChart : public QObject
{
    Q_OBJECT

  private slots:
    void drawsEveryPointAsItArrives();
    void logAxisLeavesZerosOut();
    void keepsAtMostFiveEarlierTracesBehindTheLiveOne();
    void exportsPngAndSvg();
    void drawsNewPointsOntoWhatIsAlreadyDrawn();
};

void TestChart::drawsEveryPointAsItArrives()
{
    BarChart chart;
    chart.resize(600, 400);
    chart.show();
    chart.beginTrace("Sweep 1");
    for (int i = 0; i < 1000; ++i)
        chart.addPoint(i * 1e-3 - 0.5, -i * 1e-6);
    QCOMPARE(shownPoints(chart), 1000);
    // Redraws are coalesced: a thousand points do not mean a thousand redraws.
    QSignalSpy replots(chart.plot(), &QCustomPlot::afterReplot);
    QTRY_VERIFY_WITH_TIMEOUT(replots.count() >= 1, 2000);
    QVERIFY(replots.count() <= 2);
    // The axes hold every point, a negative current below zero as measured.
    const QCPRange x = chart.plot()->xAxis->range();
    const QCPRange y = chart.plot()->yAxis->range();
    QVERIFY(x.lower <= -0.5 && x.upper >= 0.499 && x.size() < 2.0);
    QVERIFY(y.lower <= -999e-6 && y.upper >= 0 && y.size() < 2e-3);
}

void TestChart::logAxisLeavesZerosOut()
{
    BarChart chart;
    chart.resize(600, 400);
    chart.beginTrace("Sweep");
    chart.addPoint(-1.0, -1e-9);
    chart.addPoint(0.0, 0.0);
    chart.addPoint(1.0, 2e-4);
    chart.setLogCurrent(true);
    QCOMPARE(chart.plot()->yAxis->scaleType(), QCPAxis::stLogarithmic);
    QCOMPARE(shownPoints(chart), 2);
    chart.addPoint(2.0, 0.0); // still left out while the log view is on
    chart.addPoint(3.0, -3e-3);
    QCOMPARE(shownPoints(chart), 3);
    const QCPRange y = chart.plot()->yAxis->range();
    QVERIFY(y.lower > 0 && y.lower <= 1e-9 && y.upper >= 3e-3);
    chart.replotNow(); // drawing with the log axis must not fail
    chart.setLogCurrent(false);
    QCOMPARE(shownPoints(chart), 5);
}

void TestChart::keepsAtMostFiveEarlierTracesBehindTheLiveOne()
{
    BarChart chart;
    chart.beginTrace("Sweep 1");
    for (int sweep = 1; sweep <= 7; ++sweep) {
        chart.addPoint(sweep, sweep * 1e-3);
        chart.beginTrace(QStringLiteral("Sweep %1").arg(sweep + 1));
    }
    QCustomPlot* plot = chart.plot();
    QCOMPARE(plot->plottableCount(), BarChart::maxEarlierTraces + 1);
    // The live trace is drawn last, on top, in full colour; the others are fainter.
    QCOMPARE(plot->plottable(plot->plottableCount() - 1), chart.liveTrace());
    QCOMPARE(chart.liveTrace()->color().alpha(), 255);
    QStringList names;
    for (ScatterTrace* trace : chart.earlierTraces()) {
        QVERIFY(trace->color().alpha() < 255);
        names << trace->name();
    }
    // The oldest were dropped: sweeps 3 to 7 remain, the newest first.
    QCOMPARE(names, (QStringList{"Sweep 7", "Sweep 6", "Sweep 5", "Sweep 4", "Sweep 3"}));

    chart.clearEarlier();
    QCOMPARE(plot->plottableCount(), 1);
}

void TestChart::exportsPngAndSvg()
{
    BarChart chart;
    chart.beginTrace("Sweep");
    for (int i = -10; i <= 10; ++i)
        chart.addPoint(i * 0.1, i * i * 1e-5);
    QTemporaryDir dir;

    const QString png = dir.filePath("chart.png");
    WriteResult result = chart.exportImage(png, 640, 480);
    QVERIFY2(result.ok, qPrintable(result.message));
    QCOMPARE(QImage(png).size(), QSize(640, 480));

    const QString svg = dir.filePath("chart one.svg");
    result = chart.exportImage(svg);
    QVERIFY2(result.ok, qPrintable(result.message));
    QFile file(svg);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY(text.contains("<svg") && text.contains("</svg>"));
    QVERIFY(text.contains("Voltage"));

    QVERIFY(
        chart.exportImage(dir.filePath("missing/chart.png")).message.contains("does not exist"));
}

void TestChart::drawsNewPointsOntoWhatIsAlreadyDrawn()
{
    // The kept image must show exactly what a full redraw shows, after points were
    // added in many small batches and after the axes had to grow.
    BarChart chart;
    chart.resize(500, 350);
    chart.show();
    chart.beginTrace("Sweep");
    for (int i = 0; i <= 400; ++i) {
        chart.addPoint(i * 0.01, std::sin(i * 0.05) * (1 + i * 0.01) * 1e-3);
        if (i % 37 == 0)
            chart.replotNow();
    }
    chart.replotNow();
    const QImage incremental = chart.plot()->grab().toImage();
    const QCPRange x = chart.plot()->xAxis->range();
    QVERIFY(x.upper >= 4.0);

    BarChart whole;
    whole.resize(500, 350);
    whole.show();
    whole.beginTrace("Sweep");
    whole.setPoints(chart.liveTrace()->points());
    whole.plot()->xAxis->setRange(chart.plot()->xAxis->range());
    whole.plot()->yAxis->setRange(chart.plot()->yAxis->range());
    whole.replotNow();
    const QImage full = whole.plot()->grab().toImage();
    QCOMPARE(incremental.size(), full.size());
    QVERIFY(pixelsOf(full, QColor(31, 119, 180)) > 400);
    QCOMPARE(incremental, full);
}

QTEST_MAIN(TestChart)
#include "tst_chart.moc"
