#include "data/datafile.h"
#include "data/ivpoints.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace kestrel;

class TestDataSet : public QObject
{
    Q_OBJECT

  private slots:
    void init() { resetPoints(); }

    void placeholderAndReplacement();
    void chartRecordsFollowThePoints();
    void copiesDoNotChangeWithTheDataSet();
    void describesPairsInOrder();
    void savesExactlyTheTextAndOneLineFeed();
    void failedSaveKeepsTheOldFile();
    void largeDataSetSaves();
};

void TestDataSet::placeholderAndReplacement()
{
    QCOMPARE(describePoints(), std::string("[[0.0, 0.0]]"));
    for (int i = 0; i < 5; ++i)
        appendPoint(i, i * 1e-3);
    QCOMPARE(ivPoints().size(), std::size_t(6));
    replacePoints(0.5, 0.001);
    QCOMPARE(ivPoints(), (IVPointList{{0.5, 0.001}}));
    resetPoints();
    QCOMPARE(ivPoints(), placeholderPoints);
}

void TestDataSet::chartRecordsFollowThePoints()
{
    replacePoints(0.5, 0.001);
    rebuildChartPoints();
    QCOMPARE(chartPoints().size(), std::size_t(1));
    QCOMPARE(chartPoints()[0].sourceVolt, 0.5);
    QCOMPARE(chartPoints()[0].drainVolt, 0.001);
    appendPoint(0.6, 0.002);
    rebuildChartPoints();
    QCOMPARE(chartPoints().size(), std::size_t(2));
    QCOMPARE(chartPoints()[1].sourceVolt, 0.6);
    QCOMPARE(chartPoints()[1].drainVolt, 0.002);
    // Rebuilding starts over rather than appending to the old records.
    replacePoints(-1.0, -2e-6);
    rebuildChartPoints();
    QCOMPARE(chartPoints().size(), std::size_t(1));
    QCOMPARE(chartPoints()[0].drainVolt, -2e-6);
}

void TestDataSet::copiesDoNotChangeWithTheDataSet()
{
    replacePoints(1.0, 2.0);
    const IVPointList copy = ivPoints();
    appendPoint(3.0, 4.0);
    QCOMPARE(copy.size(), std::size_t(1));
    QCOMPARE(describePoints(copy), std::string("[[1.0, 2.0]]"));
}

void TestDataSet::describesPairsInOrder()
{
    QCOMPARE(describePoints(IVPointList{}), std::string("[]"));
    replacePoints(0.1, 1.23456e-05);
    appendPoint(0.2, 2.5e-05);
    QCOMPARE(describePoints(), std::string("[[0.1, 1.23456e-05], [0.2, 2.5e-05]]"));
    replacePoints(-5.551115123125783e-17, -0.0);
    QCOMPARE(describePoints(), std::string("[[-5.551115123125783e-17, -0.0]]"));
}

void TestDataSet::savesExactlyTheTextAndOneLineFeed()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("iv.txt"));
    WriteResult result = saveDataFile(path, ivPoints());
    QVERIFY2(result.ok, qPrintable(result.message));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("[[0.0, 0.0]]\n"));
    file.close();

    // Saving again replaces the file: only the second data set remains.
    replacePoints(0.25, 1e-3);
    appendPoint(0.5, 2e-3);
    result = saveDataFile(path, ivPoints());
    QVERIFY(result.ok);
    QVERIFY2(result.message.contains(QLatin1String("2 points")), qPrintable(result.message));
    QVERIFY(result.message.contains(path));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("[[0.25, 0.001], [0.5, 0.002]]\n"));
}

void TestDataSet::failedSaveKeepsTheOldFile()
{
    QTemporaryDir dir;
    const QString missing = dir.filePath(QStringLiteral("no such folder/iv.txt"));
    WriteResult result = saveDataFile(missing, ivPoints());
    QVERIFY(!result.ok);
    QVERIFY2(result.message.contains(missing), qPrintable(result.message));
    QVERIFY2(result.message.contains(QLatin1String("does not exist")), qPrintable(result.message));

    // A folder in the way of the file: the write fails and nothing is left behind.
    const QString blocked = dir.filePath(QStringLiteral("taken"));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("taken")));
    result = saveDataFile(blocked, ivPoints());
    QVERIFY(!result.ok);
    QVERIFY(result.message.contains(blocked));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 0);

    // /proc refuses new files even to root.
    result = saveDataFile(QStringLiteral("/proc/kestrel-iv.txt"), ivPoints());
    QVERIFY(!result.ok);
    QVERIFY(result.message.contains(QLatin1String("/proc/kestrel-iv.txt")));
}

void TestDataSet::largeDataSetSaves()
{
    resetPoints();
    for (int i = 1; i <= 10000; ++i)
        appendPoint(i * 1e-4, i * 1.234567e-7);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("big.txt"));
    const WriteResult result = saveDataFile(path, ivPoints());
    QVERIFY2(result.ok, qPrintable(result.message));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY(text.size() > 128 * 1024); // past what one shell argument could carry
    QCOMPARE(text, QByteArray::fromStdString(describePoints()) + '\n');
}

QTEST_GUILESS_MAIN(TestDataSet)
#include "tst_dataset.moc"
