#include "data/csvfile.h"
#include "data/levellist.h"
#include "data/numbertext.h"
#include "data/sweepplan.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <limits>

using namespace kestrel;

namespace
{

QStringList levelTexts(const SweepPlan& plan)
{
    QStringList texts;
    for (int k = 0; k < plan.count(); ++k)
        texts << QString::fromStdString(formatDouble(plan.levelAt(k)));
    return texts;
}

SweepPlan plan(double start, double stop, int steps, SweepShape shape = SweepShape::Linear)
{
    return SweepPlan{start, stop, steps, shape};
}

} // namespace

class TestSweepPlan : public QObject
{
    Q_OBJECT

  private slots:
    void linearLevelsAreExact_data();
    void linearLevelsAreExact();
    void decimalGridLevelsAreTheirShortDecimals_data();
    void decimalGridLevelsAreTheirShortDecimals();
    void otherGridsEndExactlyAtTheStop();
    void dualSweepGoesThereAndBack();
    void logSweepSpacesLevelsEvenlyInLog();
    void manyStepsStayMonotonicAndExactAtTheEnds();
    void fieldsAreCheckedBeforeUse_data();
    void fieldsAreCheckedBeforeUse();
    void limitIsNoneOrPositive();
    void listSweepKeepsItsLevelsAndOrder();
    void cyclesRepeatTheWholeSweep();
    void badLevelListsNameTheLine_data();
    void badLevelListsNameTheLine();
    void levelFilesMayBeKestrelFiles();
};

void TestSweepPlan::linearLevelsAreExact_data()
{
    QTest::addColumn<double>("start");
    QTest::addColumn<double>("stop");
    QTest::addColumn<int>("steps");
    QTest::addColumn<QString>("levels");
    QTest::newRow("through zero") << -1.0 << 1.0 << 10
                                  << "-1.0 -0.8 -0.6 -0.4 -0.2 0.0 0.2 0.4 0.6 0.8 1.0";
    QTest::newRow("quarters") << 0.0 << 1.0 << 4 << "0.0 0.25 0.5 0.75 1.0";
    QTest::newRow("falling") << 1.0 << 0.0 << 2 << "1.0 0.5 0.0";
    QTest::newRow("one step") << 1.0 << 0.0 << 1 << "1.0 0.0";
    QTest::newRow("flat") << 0.1 << 0.1 << 3 << "0.1 0.1 0.1 0.1";
    QTest::newRow("tenths") << 0.0 << 1.0 << 10 << "0.0 0.1 0.2 0.3 0.4 0.5 0.6 0.7 0.8 0.9 1.0";
}

void TestSweepPlan::linearLevelsAreExact()
{
    QFETCH(double, start);
    QFETCH(double, stop);
    QFETCH(int, steps);
    QFETCH(QString, levels);
    QCOMPARE(levelTexts(plan(start, stop, steps)).join(' '), levels);
}

void TestSweepPlan::decimalGridLevelsAreTheirShortDecimals_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("stop");
    QTest::addColumn<int>("steps");
    QTest::addColumn<int>("decimals"); // of the step, so every level is a whole number of units
    QTest::addColumn<int>("shape");
    QTest::newRow("-0.1 to 0.6, 200 steps") << "-0.1"
                                            << "0.6" << 200 << 4 << 0;
    QTest::newRow("falling in 64ths") << "1.5"
                                      << "-1.5" << 64 << 6 << 0;
    QTest::newRow("millivolts") << "0.001"
                                << "0.02" << 19 << 3 << 0;
    QTest::newRow("exponent ends") << "1e-05"
                                   << "2.5e-4" << 48 << 6 << 0;
    QTest::newRow("ten nanovolt step") << "5e-7"
                                       << "1.3e-6" << 80 << 8 << 0;
    QTest::newRow("dual") << "-0.3"
                          << "0.3" << 120 << 3 << 1;
}

// Reference: level k is (start + k x step) in units of 10^-decimals, read as decimal text.
void TestSweepPlan::decimalGridLevelsAreTheirShortDecimals()
{
    QFETCH(QString, start);
    QFETCH(QString, stop);
    QFETCH(int, steps);
    QFETCH(int, decimals);
    QFETCH(int, shape);
    const auto made =
        makeSweepPlan(SweepFields{start, stop, QString::number(steps), SweepShape(shape), {}});
    QVERIFY(std::holds_alternative<SweepPlan>(made));
    const SweepPlan p = std::get<SweepPlan>(made);
    const qint64 first = std::llround(p.start * std::pow(10.0, decimals));
    const qint64 span = std::llround(p.stop * std::pow(10.0, decimals)) - first;
    QCOMPARE(span % steps, 0);
    for (int k = 0; k < p.count(); ++k) {
        const int onLeg = k <= steps ? k : 2 * steps - k;
        const std::string decimal =
            QStringLiteral("%1e-%2").arg(first + span / steps * onLeg).arg(decimals).toStdString();
        QCOMPARE(QString::fromStdString(formatDouble(p.levelAt(k))),
                 QString::fromStdString(formatDouble(*parseNumber(decimal))));
    }
}

void TestSweepPlan::otherGridsEndExactlyAtTheStop()
{
    // A third of 0.1 is no short decimal; the last level is still 0.1 itself, not the
    // 0.10000000000000002 that the evenly spaced formula gives.
    const SweepPlan thirds = plan(0.0, 0.1, 3);
    QVERIFY(thirds.levelAt(3) == 0.1);
    QVERIFY(std::fabs(thirds.levelAt(2) - 0.2 / 3) < 1e-17);
    // A plan made in code may hold what no field accepts: its levels are still numbers.
    const SweepPlan unbounded = plan(0.0, std::numeric_limits<double>::infinity(), 4);
    QVERIFY(std::isinf(unbounded.levelAt(2)) && unbounded.levelAt(0) == 0.0);
    QVERIFY(std::isnan(plan(0.0, std::nan(""), 4).levelAt(1)));
}

void TestSweepPlan::dualSweepGoesThereAndBack()
{
    const SweepPlan dual = plan(0.0, 1.0, 4, SweepShape::Dual);
    QCOMPARE(dual.count(), 9);
    QCOMPARE(levelTexts(dual).join(' '), "0.0 0.25 0.5 0.75 1.0 0.75 0.5 0.25 0.0");
    QCOMPARE(levelTexts(plan(1.0, -1.0, 1, SweepShape::Dual)).join(' '), "1.0 -1.0 1.0");
}

void TestSweepPlan::logSweepSpacesLevelsEvenlyInLog()
{
    // Exact at both ends, within rounding in between (-0.20000000000000004), either sign.
    const SweepPlan up = plan(0.001, 1.0, 3, SweepShape::Log);
    const SweepPlan negative = plan(-2.0, -0.02, 2, SweepShape::Log);
    QCOMPARE(up.count(), 4);
    QCOMPARE(levelTexts(up).join(' '), "0.001 0.01 0.1 1.0");
    QCOMPARE(negative.levelAt(2), -0.02);
    QVERIFY(std::fabs(negative.levelAt(1) / -0.2 - 1) < 1e-12);
}

void TestSweepPlan::manyStepsStayMonotonicAndExactAtTheEnds()
{
    for (const SweepPlan& p : {plan(-3.3, 7.7, 100000), plan(5.0, -5.0, 99991),
                               plan(1e-6, 10.0, 5000, SweepShape::Log)}) {
        QCOMPARE(p.levelAt(0), p.start);
        QCOMPARE(p.levelAt(p.count() - 1), p.stop);
        const bool rising = p.stop > p.start;
        for (int k = 1; k < p.count(); ++k) {
            const double a = p.levelAt(k - 1), b = p.levelAt(k);
            QVERIFY2(rising ? b > a : b < a, qPrintable(QString::number(k)));
        }
    }
}

void TestSweepPlan::fieldsAreCheckedBeforeUse_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("stop");
    QTest::addColumn<QString>("steps");
    QTest::addColumn<int>("shape");
    QTest::addColumn<QString>("problem"); // empty: accepted
    const auto row = [](const char* name, const char* start, const char* stop, const char* steps,
                        int shape, const char* problem) {
        QTest::newRow(name) << start << stop << steps << shape << problem;
    };
    row("plain", "-1", "1", "10", 0, "");
    row("blanks around", " -1 ", "\t1", " 10", 0, "");
    row("exponent", "-1e-3", "2.5E-1", "1e2", 0, "");
    row("whole number with point", "0", "1", "10.0", 0, "");
    row("most steps", "0", "1", "1000000", 0, "");
    row("most steps, dual", "-1", "1", "1e6", 1, "");
    row("log negative", "-1", "-0.001", "3", 2, "");
    row("empty start", "", "1", "10", 0, "Start");
    row("hex", "0x1p-1", "1", "10", 0, "Start");
    row("comma", "0,5", "1", "10", 0, "Start");
    row("-inf stop", "0", "-inf", "10", 0, "Stop");
    row("overflowing stop", "0", "1e999", "10", 0, "Stop");
    row("hex steps", "0", "1", "0x10", 0, "Steps");
    row("fractional steps", "0", "1", "2.5", 0, "Steps");
    row("too many steps", "0", "1", "1000001", 0,
        "Steps must be a whole number from 1 to 1,000,000.");
    row("steps nan", "0", "1", "nan", 0, "Steps");
    row("log sign change", "-1", "1", "3", 2, "same sign");
    row("log negative zero", "1", "-0", "3", 2, "non-zero");
}

void TestSweepPlan::fieldsAreCheckedBeforeUse()
{
    QFETCH(QString, start);
    QFETCH(QString, stop);
    QFETCH(QString, steps);
    QFETCH(int, shape);
    QFETCH(QString, problem);
    const auto result = makeSweepPlan(SweepFields{start, stop, steps, SweepShape(shape), {}});
    const QString* message = std::get_if<QString>(&result);
    if (problem.isEmpty())
        QVERIFY2(!message, qPrintable(message ? *message : QString()));
    else
        QVERIFY2(message && message->contains(problem), qPrintable(message ? *message : QString()));
}

void TestSweepPlan::limitIsNoneOrPositive()
{
    using Limit = std::optional<double>;
    QCOMPARE(std::get<Limit>(parseCurrentLimit(" ")), Limit());
    QCOMPARE(std::get<Limit>(parseCurrentLimit("1e-3")), Limit(1e-3));
    for (const char* bad : {"-1", "0", "1 mA", "nan", "0x1p-3", "1e999"})
        QVERIFY2(std::holds_alternative<QString>(parseCurrentLimit(bad)), bad);
}

void TestSweepPlan::listSweepKeepsItsLevelsAndOrder()
{
    const auto read = parseLevelLines("0.1\n-0.25\r\n\n  2e-3 \n1\n-0", "levels.txt");
    QVERIFY(std::holds_alternative<std::vector<double>>(read));
    const SweepPlan list = makeListPlan(std::get<std::vector<double>>(read));
    QCOMPARE(levelTexts(list), QStringList({"0.1", "-0.25", "0.002", "1.0", "-0.0"}));
    QCOMPARE(list.start, 0.1);
    QCOMPARE(list.stop, -0.0);
    QCOMPARE(list.steps, 4);
    // A plan's copies share the levels; one level is a sweep of one point.
    const SweepPlan copy = list;
    QCOMPARE(copy.levelAt(1), -0.25);
    QCOMPARE(makeListPlan({0.5}).count(), 1);

    const auto typed = parseTypedLevels(" 0, 0.1 0.25\n1 ");
    QCOMPARE(std::get<std::vector<double>>(typed), (std::vector<double>{0.0, 0.1, 0.25, 1.0}));
    const auto wrong = parseTypedLevels("0, 1 V");
    QCOMPARE(std::get<QString>(wrong),
             "Level 3 of the list: \"V\" is not a number (write it as 0.25, -1.5 or 2e-3).");
    QVERIFY(std::holds_alternative<QString>(parseTypedLevels(" , ")));
    QVERIFY(std::holds_alternative<QString>(parseTypedLevels("0.5,1")));
    QVERIFY(std::holds_alternative<std::vector<double>>(parseTypedLevels("0.5, 1,-1 ,2")));
    // Start, Stop and Steps never make a list: the Levels field does, or says what is wrong.
    const auto fromField = makeSweepPlan(SweepFields{"0", "1", "2", SweepShape::List, "1, -1"});
    QCOMPARE(levelTexts(std::get<SweepPlan>(fromField)), QStringList({"1.0", "-1.0"}));
    QCOMPARE(std::get<QString>(makeSweepPlan(SweepFields{"0", "1", "2", SweepShape::List, {}})),
             "Levels: Type the levels, separated by commas (0, 0.1, 0.25).");
}

void TestSweepPlan::cyclesRepeatTheWholeSweep()
{
    const auto made = [](const char* steps, SweepShape shape, const char* cycles,
                         const char* levels = "") {
        return makeSweepPlan(SweepFields{"0", "1", steps, shape, levels, cycles});
    };
    const SweepPlan loop = std::get<SweepPlan>(made("2", SweepShape::Dual, "2"));
    QCOMPARE(levelTexts(loop).join(' '), "0.0 0.5 1.0 0.5 0.0 0.0 0.5 1.0 0.5 0.0");
    QCOMPARE((QList<int>{loop.cycleOf(0), loop.cycleOf(4), loop.cycleOf(5), loop.cycleOf(9)}),
             (QList<int>{1, 1, 2, 2}));
    const SweepPlan list = std::get<SweepPlan>(made("", SweepShape::List, " 3 ", "0.2, -0.1"));
    QCOMPARE(levelTexts(list).join(' '), "0.2 -0.1 0.2 -0.1 0.2 -0.1");
    QCOMPARE(std::get<SweepPlan>(made("1", SweepShape::Linear, "")).count(), 2);
    QCOMPARE(std::get<SweepPlan>(made("1", SweepShape::Linear, "1000")).count(), 2000);
    for (const char* bad : {"0", "1001", "2.5", "x", "-1"})
        QCOMPARE(std::get<QString>(made("1", SweepShape::Linear, bad)),
                 "Cycles must be a whole number from 1 to 1,000.");
    // Twice the longest dual sweep is more than any sweep takes.
    QCOMPARE(std::get<QString>(made("1000000", SweepShape::Dual, "2")),
             "Cycles: 2 cycles of 2,000,001 points are more than the 2,000,001 points one sweep "
             "takes.");
}

void TestSweepPlan::badLevelListsNameTheLine_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("problem");
    const QString notANumber = "is not a number (write it as 0.25, -1.5 or 2e-3).";
    QTest::newRow("a word") << QByteArray("0.1\n0.2\nabc\n")
                            << "l.txt, line 3: \"abc\" " + notANumber;
    QTest::newRow("a decimal comma")
        << QByteArray("\n0,5") << "l.txt, line 2: \"0,5\" " + notANumber;
    QTest::newRow("two numbers") << QByteArray("0.1 0.2")
                                 << "l.txt, line 1: \"0.1 0.2\" " + notANumber;
    for (const char* word : {"nan", "inf", "0x1p3", "1e999"})
        QTest::newRow(word) << QByteArray("1\n") + word
                            << QString("l.txt, line 2: \"%1\" ").arg(word) + notANumber;
    QTest::newRow("a control") << QByteArray("1\n2\x1b[2J")
                               << "l.txt, line 2: \"2\\x1b[2J\" " + notANumber;
    QTest::newRow("empty") << QByteArray(" \n\r\n")
                           << "l.txt holds no levels: write one number per line.";
    QByteArray most;
    for (int i = 0; i < maxListLevels; ++i)
        most += "0.5\n";
    QTest::newRow("the most") << most << QString();
    QTest::newRow("one too many")
        << most + "1"
        << "l.txt holds more than 100,000 levels, the most one sweep takes.";
}

void TestSweepPlan::badLevelListsNameTheLine()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, problem);
    const auto read = parseLevelLines(text, "l.txt");
    if (problem.isEmpty())
        QCOMPARE(std::get<std::vector<double>>(read).size(), std::size_t(maxListLevels));
    else
        QCOMPARE(std::get<QString>(read), problem);
}

void TestSweepPlan::levelFilesMayBeKestrelFiles()
{
    QTemporaryDir dir;
    const auto write = [&](const char* name, const QByteArray& text) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    };
    write("iv.txt", "[[0.5, 1e-05], [-0.2, 2e-05], [0.1, 3e-06]]");
    CsvHeader header;
    write("iv.csv", csvText(header, {{0.3, 1e-6}, {0.7, 2e-6}}));
    write("plain.txt", "0.25\n0.125\n");
    write("bad.txt", "0.25\n0..1\n");
    using Levels = std::vector<double>;
    QCOMPARE(std::get<Levels>(readLevelFile(dir.filePath("iv.txt"))), (Levels{0.5, -0.2, 0.1}));
    QCOMPARE(std::get<Levels>(readLevelFile(dir.filePath("iv.csv"))), (Levels{0.3, 0.7}));
    QCOMPARE(std::get<Levels>(readLevelFile(dir.filePath("plain.txt"))), (Levels{0.25, 0.125}));
    QCOMPARE(std::get<QString>(readLevelFile(dir.filePath("bad.txt"))),
             dir.filePath("bad.txt") +
                 ", line 2: \"0..1\" is not a number (write it as 0.25, -1.5 or 2e-3).");
    QVERIFY(std::get<QString>(readLevelFile(dir.filePath("none.txt"))).contains("cannot be read"));
    // The Levels field reads a file from a path, and only from one.
    QCOMPARE(std::get<Levels>(parseLevelsField(" " + dir.filePath("plain.txt"))),
             (Levels{0.25, 0.125}));
    const QString here = QDir::currentPath();
    QDir::setCurrent(dir.path());
    const auto relative = parseLevelsField("./iv.txt");
    QDir::setCurrent(here);
    QCOMPARE(std::get<Levels>(relative), (Levels{0.5, -0.2, 0.1}));
    QVERIFY(std::holds_alternative<QString>(parseLevelsField("iv.txt")));
    write("empty.csv", "# kestrel\nvoltage_V,current_A\n");
    QVERIFY(std::holds_alternative<QString>(readLevelFile(dir.filePath("empty.csv"))));
}

QTEST_GUILESS_MAIN(TestSweepPlan)
#include "tst_sweepplan.moc"
