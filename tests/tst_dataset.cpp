#include "data/csvfile.h"
#include "data/datafile.h"
#include "data/ivpoints.h"
#include "data/numbertext.h"
#include "data/printabletext.h"
#include "data/runfile.h"
#include "testhome.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <bit>
#include <csignal>
#include <limits>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace kestrel;

class TestDataSet : public QObject
{
    Q_OBJECT

  private slots:
    void init() { resetPoints(); }

    void placeholderReplacementAndCopies();
    void describesPairsInOrder();
    void savesExactlyTheTextAndOneLineFeed();
    void failedSaveKeepsWhatWasThere();
    void savedFilesOpenAgainExactly_data();
    void savedFilesOpenAgainExactly();
    void unreadableFilesNameTheLineAndColumn_data();
    void unreadableFilesNameTheLineAndColumn();
    void controlsAreShownEscaped_data();
    void controlsAreShownEscaped();
};

void TestDataSet::placeholderReplacementAndCopies()
{
    QCOMPARE(describePoints(), std::string("[[0.0, 0.0]]"));
    appendPoint(1.0, 1e-3);
    replacePoints(0.5, 0.001);
    const IVPointList copy = ivPoints();
    appendPoint(0.6, 0.002);
    rebuildChartPoints();
    QCOMPARE(copy, (IVPointList{{0.5, 0.001}}));
    QCOMPARE(chartPoints().size(), std::size_t(2));
    QCOMPARE(chartPoints()[1].sourceVolt, 0.6);
    QCOMPARE(chartPoints()[1].drainVolt, 0.002);
    resetPoints();
    QCOMPARE(ivPoints(), placeholderPoints);
}

void TestDataSet::describesPairsInOrder()
{
    QCOMPARE(describePoints(IVPointList{}), std::string("[]"));
    replacePoints(0.1, 1.23456e-05);
    appendPoint(0.2, 2.5e-05);
    QCOMPARE(describePoints(), std::string("[[0.1, 1.23456e-05], [0.2, 2.5e-05]]"));
}

void TestDataSet::savesExactlyTheTextAndOneLineFeed()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("iv.txt");
    QVERIFY(saveDataFile(path, ivPoints()).ok);
    // Saving again replaces the file: only the second data set remains.
    replacePoints(0.25, 1e-3);
    appendPoint(0.5, 2e-3);
    const WriteResult result = saveDataFile(path, ivPoints());
    QVERIFY(result.ok);
    QCOMPARE(result.message, "Saved 2 points to " + path);
    QCOMPARE(saveDataFile(dir.filePath("iv\x07.txt"), ivPoints()).message,
             "Saved 2 points to " + dir.path() + R"(/iv\x07.txt)");
    QCOMPARE(fileContents(path), QByteArray("[[0.25, 0.001], [0.5, 0.002]]\n"));
    // Far past what one shell argument could carry.
    for (int i = 1; i <= 10000; ++i)
        appendPoint(i * 1e-4, i * 1.234567e-7);
    QVERIFY(saveDataFile(path, ivPoints()).ok);
    const QByteArray text = fileContents(path);
    QCOMPARE(text, QByteArray::fromStdString(describePoints()) + '\n');
    QVERIFY(text.size() > 128 * 1024);
}

void TestDataSet::failedSaveKeepsWhatWasThere()
{
    QTemporaryDir dir;
    const QString missing = dir.filePath("no such folder/iv.txt");
    WriteResult result = saveDataFile(missing, ivPoints());
    QCOMPARE(result.message, "Could not save " + missing + ": the folder " +
                                 dir.filePath("no such folder") + " does not exist");
    // A file name may hold control characters; a message shows them, a terminal never obeys.
    const QString odd = dir.filePath("\x1b[2J/iv\u009b.txt");
    const QString shown = dir.path() + R"(/\x1b[2J)";
    QCOMPARE(checkSaveTarget(odd), "the folder " + shown + " does not exist");
    QCOMPARE(saveDataFile(odd, ivPoints()).message,
             "Could not save " + shown + R"(/iv\x9b.txt: the folder )" + shown + " does not exist");
    QVERIFY(checkSaveTarget(dir.filePath("fine.txt")).isEmpty());
    // /proc refuses new files even to root.
    QVERIFY(checkSaveTarget("/proc/kestrel-iv.txt").startsWith("the folder /proc cannot take"));

    // A pipe, a device or a folder in the way is refused, never replaced by a file.
    const QString fifo = dir.filePath("fifo");
    QCOMPARE(mkfifo(qPrintable(fifo), 0600), 0);
    QVERIFY(QDir(dir.path()).mkdir("taken"));
    for (const QString& path : {fifo, dir.filePath("taken")}) {
        result = saveDataFile(path, ivPoints());
        QVERIFY(!result.ok);
        QVERIFY2(result.message.startsWith("Could not save " + path + ": it is "),
                 qPrintable(result.message));
    }
    struct stat info;
    QVERIFY(stat(qPrintable(fifo), &info) == 0 && S_ISFIFO(info.st_mode));

    // A file-size limit makes writes past it fail as on a full disk: the good file stays.
    const QString path = dir.filePath("iv.txt");
    QVERIFY(saveDataFile(path, IVPointList{{1.0, 2.0}}).ok);
    IVPointList many;
    for (int i = 0; i < 10000; ++i)
        many.push_back({i * 1e-3, i * 1e-7});
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    result = saveDataFile(path, many);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    QCOMPARE(result.message, "Could not save " + path + ": File too large");
    QCOMPARE(fileContents(path), QByteArray("[[1.0, 2.0]]\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

void TestDataSet::savedFilesOpenAgainExactly_data()
{
    QTest::addColumn<double>("level");
    QTest::addColumn<double>("current");
    const double max = std::numeric_limits<double>::max();
    QTest::newRow("subnormal current") << 0.5 << 1e-310;
    QTest::newRow("smallest subnormals") << -5e-324 << 5e-324;
    QTest::newRow("smallest normal") << 2.2250738585072014e-308 << -2.2250738585072014e-308;
    QTest::newRow("negative zeros") << -0.0 << -0.0;
    QTest::newRow("largest doubles") << max << -max;
}

// Written by the real saving code in both formats, read by the real reader, bit for bit.
void TestDataSet::savedFilesOpenAgainExactly()
{
    QFETCH(double, level);
    QFETCH(double, current);
    const IVPointList points{{0.1, 2e-05}, {level, current}};
    QTemporaryDir dir;
    QVERIFY(saveDataFile(dir.filePath("iv.txt"), points).ok);
    QVERIFY(writeFileAtomically(dir.filePath("iv.csv"), csvText(CsvHeader{}, points)).ok);
    for (const QString name : {"iv.txt", "iv.csv"}) {
        const auto read = readRunFile(fileContents(dir.filePath(name)));
        const QString* problem = std::get_if<QString>(&read);
        QVERIFY2(!problem, problem ? qPrintable(*problem) : "");
        const IVPointList back = std::get<Run>(read).points;
        QCOMPARE(back.size(), points.size());
        for (std::size_t i = 0; i < points.size(); ++i)
            for (std::size_t j = 0; j < 2; ++j)
                QVERIFY2(
                    std::bit_cast<quint64>(back[i][j]) == std::bit_cast<quint64>(points[i][j]),
                    qPrintable(name + ": " + QString::fromStdString(formatDouble(back[i][j]))));
    }
}

void TestDataSet::unreadableFilesNameTheLineAndColumn_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("problem");
    QTest::newRow("overflowing current")
        << QByteArray("[[0.0, 1e999]]\n")
        << "line 1, column 8: expected a current in amps (a decimal number) and \"]\"";
    QTest::newRow("pair cut at the end of the line")
        << QByteArray("[[0.1, 0.2\n")
        << "line 1, column 11: expected a current in amps (a decimal number) and \"]\"";
    QTest::newRow("overflowing CSV level")
        << QByteArray("voltage_V,current_A\n-1e999,0.0\n")
        << "line 2: expected a level and a current, two decimal numbers separated by a comma";
}

void TestDataSet::unreadableFilesNameTheLineAndColumn()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, problem);
    const auto read = readRunFile(text);
    QVERIFY(std::holds_alternative<QString>(read));
    QCOMPARE(std::get<QString>(read), problem);
}

void TestDataSet::controlsAreShownEscaped_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("lines");
    // Without a line break, one line shows as the text of many.
    const auto row = [](const char* name, const char* text, const char* line,
                        const char* lines = nullptr) {
        QTest::newRow(name) << QString(text) << QString(line) << QString(lines ? lines : line);
    };
    row("terminal escapes", "\x1b[2J\x1b]0;owned\x07", R"(\x1b[2J\x1b]0;owned\x07)");
    row("CRLF and inner lines", "a\r\nb\r\n", R"(a\x0d\x0ab)", "a\\x0d\nb\\x0d\n");
    row("tab and DEL", "a\tb\x7f", R"(a\x09b\x7f)");
    row("C1 CSI and NEL", "a\u009b2Jb\u0085c", R"(a\x9b2Jb\x85c)");
    row("C1 bounds, letters beyond", "\u0080\u009f\u00a0\u00b5", "\\x80\\x9f\u00a0\u00b5");
}

void TestDataSet::controlsAreShownEscaped()
{
    QFETCH(QString, text);
    QFETCH(QString, line);
    QFETCH(QString, lines);
    QCOMPARE(printableLine(text), line);
    QCOMPARE(printableLines(text), lines);
}

QTEST_GUILESS_MAIN(TestDataSet)
#include "tst_dataset.moc"
