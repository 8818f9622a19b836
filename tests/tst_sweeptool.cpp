#include "data/numbertext.h"
#include "simulator.h"
#include "testhome.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <csignal>

namespace
{

struct SweepResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// kestrel-sweep against a simulator, through a home whose sendArbcmd.sh is the real one.
class SweepBench
{
  public:
    explicit SweepBench(const QStringList& simArgs) : sim(simArgs)
    {
        home.installRealScript();
        started = sim.start();
    }

    QStringList endpoints() const
    {
        return {"--source", sim.sourceAddress() + ':' + sim.sourcePort(),
                "--meter",  sim.meterAddress() + ':' + sim.meterPort(),
                "--home",   home.path()};
    }

    SweepResult run(const QStringList& args)
    {
        QProcess process;
        process.start(kestrelToolPath("sweep/kestrel-sweep"), endpoints() + args);
        process.waitForFinished(60000);
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                process.readAllStandardOutput(), process.readAllStandardError()};
    }

    QString path(const QString& name) const { return files.filePath(name); }
    QByteArray read(const QString& name) const
    {
        QFile file(path(name));
        file.open(QIODevice::ReadOnly);
        return file.readAll();
    }

    // Levels the source was given, in order, as sent.
    QStringList levels() const
    {
        QStringList sent;
        for (const QString& command : sim.sourceCommands())
            if (command.startsWith(":SOUR1:APPL:DC 1,1,"))
                sent << command.mid(19);
        return sent;
    }

    Simulator sim;
    TestHome home;
    QTemporaryDir files;
    bool started = false;
};

const QStringList exactResistor{"--device", "resistor:1000", "--noise", "0"};

} // namespace

class TestSweepTool : public QObject
{
    Q_OBJECT

  private slots:
    void completeSweepWritesExactlyTheData();
    void dualSweepGoesThereAndBack();
    void logSweepLevels();
    void badArgumentsSendNothing_data();
    void badArgumentsSendNothing();
    void currentLimitEndsTheSweepKeepingThePoint();
    void overloadEndsTheSweepWithoutAPoint();
    void garbledReadingEndsTheSweepSafely();
    void csvReadsBackToTheSameNumbers();
    void interruptSwitchesTheOutputOff();
};

void TestSweepTool::completeSweepWritesExactlyTheData()
{
    SweepBench bench(exactResistor);
    QVERIFY(bench.started);
    const SweepResult result = bench.run({"--start", "-1", "--stop", "1", "--steps", "10",
                                          "--range", "2", "--out", bench.path("iv data.txt")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(bench.read("iv data.txt"),
             QByteArray("[[-1.0, -0.001], [-0.8, -0.0008], [-0.6, -0.0006], [-0.4, -0.0004], "
                        "[-0.2, -0.0002], [0.0, 0.0], [0.2, 0.0002], [0.4, 0.0004], "
                        "[0.6, 0.0006], [0.8, 0.0008], [1.0, 0.001]]\n"));
    // Every measurement reply on standard output, followed by one more line feed.
    QVERIFY(result.out.startsWith("-1.000000E-03\n\n-8.000000E-04\n\n"));
    QCOMPARE(result.out.count("\n\n"), 11);
    QTRY_COMPARE(bench.sim.sourceCommands().value(0), QStringLiteral(":SOUR1:APPL:DC 1,1,-1.0"));
    QCOMPARE(bench.sim.sourceCommands().value(1), QStringLiteral(":OUTP1 ON"));
    QTRY_COMPARE(bench.sim.sourceCommands().last(), QStringLiteral(":OUTP1 OFF"));
    QCOMPARE(bench.sim.meterCommands().mid(0, 3),
             (QStringList{":FUNCtion:CURRent:DC", ":MEAS:CURR:DC 2", ":RATE:CURR:DC M"}));
    QCOMPARE(bench.sim.meterCommands().count(":MEAS:CURR:DC?"), 11);
}

void TestSweepTool::dualSweepGoesThereAndBack()
{
    SweepBench bench(exactResistor);
    QVERIFY(bench.started);
    const SweepResult result = bench.run({"--start", "0", "--stop", "1", "--steps", "2", "--shape",
                                          "dual", "--range", "2", "--out", bench.path("dual.txt")});
    QCOMPARE(result.exitCode, 0);
    QTRY_COMPARE(bench.levels(), (QStringList{"0.0", "0.0", "0.5", "1.0", "0.5", "0.0"}));
    QCOMPARE(bench.read("dual.txt"),
             QByteArray("[[0.0, 0.0], [0.5, 0.0005], [1.0, 0.001], [0.5, 0.0005], [0.0, 0.0]]\n"));
}

void TestSweepTool::logSweepLevels()
{
    SweepBench bench(exactResistor);
    QVERIFY(bench.started);
    SweepResult result = bench.run(
        {"--start", "0.001", "--stop", "1", "--steps", "3", "--shape", "log", "--range", "2"});
    QCOMPARE(result.exitCode, 0);
    QTRY_COMPARE(bench.levels().size(), 5);
    const QStringList levels = bench.levels().mid(1); // after the set-up's start level
    QCOMPARE(levels.first(), QStringLiteral("0.001"));
    QCOMPARE(levels.last(), QStringLiteral("1.0"));
    const double expected[] = {0.01, 0.1};
    for (int k = 1; k <= 2; ++k) {
        const auto level = kestrel::parseNumber(levels[k].toStdString());
        QVERIFY(level.has_value());
        QVERIFY2(std::fabs(*level / expected[k - 1] - 1) < 1e-12, qPrintable(levels[k]));
    }
}

void TestSweepTool::badArgumentsSendNothing_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("named");
    QTest::newRow("log sign change")
        << QStringList{"--start", "-1", "--stop", "1", "--steps", "3", "--shape", "log"}
        << "same sign";
    QTest::newRow("steps") << QStringList{"--start", "0", "--stop", "1", "--steps", "0"} << "Steps";
    QTest::newRow("start") << QStringList{"--start", "x", "--stop", "1", "--steps", "3"} << "Start";
    QTest::newRow("missing stop") << QStringList{"--start", "0", "--steps", "3"} << "--stop";
    QTest::newRow("range") << QStringList{"--start", "0", "--stop",  "1",
                                          "--steps", "3", "--range", "9"}
                           << "--range";
    QTest::newRow("shape") << QStringList{"--start", "0", "--stop",  "1",
                                          "--steps", "3", "--shape", "square"}
                           << "--shape";
    QTest::newRow("limit") << QStringList{"--start", "0", "--stop",  "1",
                                          "--steps", "3", "--limit", "0"}
                           << "Limit";
}

void TestSweepTool::badArgumentsSendNothing()
{
    QFETCH(QStringList, args);
    QFETCH(QString, named);
    SweepBench bench(exactResistor);
    QVERIFY(bench.started);
    const SweepResult result = bench.run(args);
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.err.contains(named.toUtf8()), result.err.constData());
    QTest::qWait(200);
    QCOMPARE(bench.sim.log(), QStringList());
}

void TestSweepTool::currentLimitEndsTheSweepKeepingThePoint()
{
    SweepBench bench(exactResistor);
    QVERIFY(bench.started);
    const SweepResult result =
        bench.run({"--start", "0", "--stop", "1", "--steps", "10", "--range", "2", "--limit",
                   "0.00045", "--out", bench.path("limit.txt")});
    QCOMPARE(result.exitCode, 3);
    QCOMPARE(bench.read("limit.txt"),
             QByteArray("[[0.0, 0.0], [0.1, 0.0001], [0.2, 0.0002], [0.3, 0.0003], "
                        "[0.4, 0.0004], [0.5, 0.0005]]\n"));
    QVERIFY2(result.err.contains("limit reached at 0.5 V"), result.err.constData());
    QTRY_COMPARE(bench.sim.sourceCommands().last(), QStringLiteral(":OUTP1 OFF"));
    QCOMPARE(bench.levels().last(), QStringLiteral("0.5"));
}

void TestSweepTool::overloadEndsTheSweepWithoutAPoint()
{
    SweepBench bench(exactResistor);
    QVERIFY(bench.started);
    // 200 uA range: 0.3 V across 1 kOhm is beyond it.
    const SweepResult result = bench.run({"--start", "0", "--stop", "1", "--steps", "10", "--range",
                                          "0", "--out", bench.path("over.txt")});
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(bench.read("over.txt"), QByteArray("[[0.0, 0.0], [0.1, 0.0001], [0.2, 0.0002]]\n"));
    QVERIFY2(result.err.contains("overloaded at 0.3 V"), result.err.constData());
    QVERIFY(result.err.contains("less sensitive range"));
    QTRY_COMPARE(bench.sim.sourceCommands().last(), QStringLiteral(":OUTP1 OFF"));
}

void TestSweepTool::garbledReadingEndsTheSweepSafely()
{
    // The meter's commands: three of set-up, then one reading per point.
    SweepBench bench(exactResistor + QStringList{"--fault", "garbage:meter:7"});
    QVERIFY(bench.started);
    const SweepResult result = bench.run({"--start", "0", "--stop", "1", "--steps", "10", "--range",
                                          "2", "--out", bench.path("partial.txt")});
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(bench.read("partial.txt"), QByteArray("[[0.0, 0.0], [0.1, 0.0001], [0.2, 0.0002]]\n"));
    QVERIFY2(result.err.contains("not a number"), result.err.constData());
    QTRY_COMPARE(bench.sim.sourceCommands().last(), QStringLiteral(":OUTP1 OFF"));
}

void TestSweepTool::csvReadsBackToTheSameNumbers()
{
    SweepBench bench({"--device", "diode", "--seed", "7"});
    QVERIFY(bench.started);
    const SweepResult result = bench.run({"--start", "-1", "--stop", "1", "--steps", "20", "--out",
                                          bench.path("iv.txt"), "--csv", bench.path("iv.csv")});
    QCOMPARE(result.exitCode, 0);
    const QByteArray csv = bench.read("iv.csv");
    QVERIFY(csv.contains(QByteArray("# source: " + bench.sim.sourceAddress().toUtf8() + ':')));
    QVERIFY(csv.contains("# source identity: Kestrel,SIM-SOURCE"));
    QVERIFY(csv.contains("# meter identity: Kestrel,SIM-METER"));
    QVERIFY(csv.contains("\nvoltage_V,current_A\n"));

    // An independent reader: Python's csv module, against the data file read as JSON.
    const QString check = QStringLiteral(R"PY(
import csv, json, sys
rows = [r for r in csv.reader(l for l in open(sys.argv[1]) if not l.startswith('#'))]
assert rows[0] == ['voltage_V', 'current_A'], rows[0]
got = [[float(a), float(b)] for a, b in rows[1:]]
want = json.load(open(sys.argv[2]))
assert got == want, (got, want)
print(len(got))
)PY");
    QProcess python;
    python.start("python3", {"-c", check, bench.path("iv.csv"), bench.path("iv.txt")});
    QVERIFY(python.waitForFinished(20000));
    QCOMPARE(python.readAllStandardError(), QByteArray());
    QCOMPARE(python.readAllStandardOutput(), QByteArray("21\n"));
}

void TestSweepTool::interruptSwitchesTheOutputOff()
{
    SweepBench bench(exactResistor + QStringList{"--latency", "200"});
    QVERIFY(bench.started);
    QProcess process;
    process.start(kestrelToolPath("sweep/kestrel-sweep"),
                  bench.endpoints() + QStringList{"--start", "0", "--stop", "1", "--steps", "50",
                                                  "--range", "2", "--out", bench.path("cut.txt")});
    QVERIFY(process.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(bench.sim.meterCommands().count(":MEAS:CURR:DC?") >= 3, 10000);
    ::kill(pid_t(process.processId()), SIGINT);
    QVERIFY(process.waitForFinished(15000));
    QCOMPARE(process.exitCode(), 130);
    QTRY_COMPARE(bench.sim.sourceCommands().last(), QStringLiteral(":OUTP1 OFF"));
    const QByteArray data = bench.read("cut.txt");
    // The points measured before the interrupt; the reading in flight was abandoned.
    QVERIFY2(data.startsWith("[[0.0, 0.0], [0.02, 2e-05]"), data.constData());
    QVERIFY(data.endsWith("]]\n"));
}

QTEST_GUILESS_MAIN(TestSweepTool)
#include "tst_sweeptool.moc"
