#include "chart/barchart.h"

#include <QFile>
#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <qcustomplot.h>

using namespace kestrel;

namespace {

int shownPoints(QCPGraph* graph)
{
    return graph->data()->size();
}

} // namespace

class TestChart : public QObject
{
    Q_OBJECT

private slots:
    void drawsEveryPointAsItArrives();
    void axesFitTheData();
    void logAxisLeavesZerosOut();
    void keepsAtMostFiveEarlierTracesBehindTheLiveOne();
    void exportsPngAndSvg();
};

void TestChart::drawsEveryPointAsItArrives()
{
    BarChart chart;
    chart.resize(600, 400);
    chart.show();
    QCOMPARE(chart.plot()->xAxis->label(), QStringLiteral("Voltage"));
    QCOMPARE(chart.plot()->yAxis->label(), QStringLiteral("Current"));
    chart.beginTrace("Sweep 1");
    for (int i = 0; i < 1000; ++i)
        chart.addPoint(i * 1e-3, -i * 1e-6);
    QCOMPARE(chart.livePointCount(), 1000);
    QCOMPARE(shownPoints(chart.plot()->graph(0)), 1000);
    QCOMPARE(chart.plot()->graph(0)->lineStyle(), QCPGraph::lsNone);
    // Redraws are coalesced: a thousand points do not mean a thousand redraws.
    QSignalSpy replots(chart.plot(), &QCustomPlot::afterReplot);
    QTRY_VERIFY_WITH_TIMEOUT(replots.count() >= 1, 2000);
    QVERIFY(replots.count() <= 2);
}

void TestChart::axesFitTheData()
{
    BarChart chart;
    chart.beginTrace("Sweep");
    chart.addPoint(-2.0, 5e-3);
    chart.addPoint(3.0, -1e-3);
    chart.addPoint(0.5, 2e-3);
    const QCPRange x = chart.plot()->xAxis->range();
    const QCPRange y = chart.plot()->yAxis->range();
    QVERIFY(x.lower <= -2.0 && x.upper >= 3.0 && x.size() < 6.0);
    QVERIFY(y.lower <= -1e-3 && y.upper >= 5e-3 && y.size() < 1e-2);
    // A negative current is drawn below zero, as measured.
    QVERIFY(y.lower < 0);
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
    QCOMPARE(shownPoints(chart.plot()->graph(0)), 2);
    chart.addPoint(2.0, 0.0); // still left out while the log view is on
    chart.addPoint(3.0, -3e-3);
    QCOMPARE(shownPoints(chart.plot()->graph(0)), 3);
    const QCPRange y = chart.plot()->yAxis->range();
    QVERIFY(y.lower > 0 && y.lower <= 1e-9 && y.upper >= 3e-3);
    chart.replotNow(); // drawing with the log axis must not fail
    QVERIFY(!chart.plot()->toPixmap(300, 200).isNull());
    chart.setLogCurrent(false);
    QCOMPARE(shownPoints(chart.plot()->graph(0)), 5);
    QCOMPARE(chart.livePointCount(), 5);

    BarChart empty; // only zeros: nothing to show, nothing to crash
    empty.beginTrace("Zeros");
    empty.addPoint(0.0, 0.0);
    empty.setLogCurrent(true);
    empty.replotNow();
    QCOMPARE(shownPoints(empty.plot()->graph(0)), 0);
}

void TestChart::keepsAtMostFiveEarlierTracesBehindTheLiveOne()
{
    BarChart chart;
    // The start-up point is not a sweep and is not kept.
    chart.setPoints(ChartPointList{ivData{0.0, 0.0}});
    chart.beginTrace("Sweep 1");
    QCOMPARE(chart.earlierTraceCount(), 0);
    for (int sweep = 1; sweep <= 7; ++sweep) {
        chart.addPoint(sweep, sweep * 1e-3);
        chart.beginTrace(QStringLiteral("Sweep %1").arg(sweep + 1));
    }
    QCOMPARE(chart.earlierTraceCount(), BarChart::maxEarlierTraces);
    QCustomPlot* plot = chart.plot();
    QCOMPARE(plot->graphCount(), BarChart::maxEarlierTraces + 1);
    // The live trace is drawn last, on top, in full colour; the others are fainter and
    // each has a colour of its own.
    QCPGraph* live = plot->graph(plot->graphCount() - 1);
    QCOMPARE(live->name(), QStringLiteral("Sweep 8"));
    QCOMPARE(live->pen().color().alpha(), 255);
    QSet<QRgb> colours;
    for (int i = 0; i < plot->graphCount() - 1; ++i) {
        QVERIFY(plot->graph(i)->pen().color().alpha() < 255);
        colours.insert(plot->graph(i)->pen().color().rgb());
    }
    QCOMPARE(colours.size(), BarChart::maxEarlierTraces);
    QVERIFY(plot->legend->visible());
    // The oldest were dropped: sweeps 3 to 7 remain.
    QStringList names;
    for (int i = 0; i < plot->graphCount() - 1; ++i)
        names << plot->graph(i)->name();
    names.sort();
    QCOMPARE(names, (QStringList{"Sweep 3", "Sweep 4", "Sweep 5", "Sweep 6", "Sweep 7"}));

    chart.clearEarlier();
    QCOMPARE(chart.earlierTraceCount(), 0);
    QCOMPARE(plot->graphCount(), 1);
    QVERIFY(!plot->legend->visible());
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
    const QImage image(png);
    QCOMPARE(image.size(), QSize(640, 480));

    const QString svg = dir.filePath("chart one.svg");
    result = chart.exportImage(svg);
    QVERIFY2(result.ok, qPrintable(result.message));
    QFile file(svg);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY(text.contains("<svg") && text.contains("</svg>"));
    QVERIFY(text.contains("Voltage"));

    result = chart.exportImage(dir.filePath("chart.bmp"));
    QVERIFY(!result.ok);
    QVERIFY(result.message.contains(".png"));
    result = chart.exportImage(dir.filePath("missing/chart.png"));
    QVERIFY(!result.ok);
    QVERIFY(result.message.contains("does not exist"));
}

QTEST_MAIN(TestChart)
#include "tst_chart.moc"
