// kestrel-sweep as a script runs it: the real chain (zsh, sendArbcmd.sh, kestrel-scpi)
// against kestrel-sim, its files, its exit status, and the output off however it ends.
#include "simulator.h"
#include "testhome.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace
{

// kestrel-sweep against a simulator, through a home whose sendArbcmd.sh is the real one
// (or a wrapper around it that breaks one command).
class SweepBench
{
  public:
    explicit SweepBench(const QStringList& simArgs = {})
        : sim(QStringList{"--device", "resistor:1000", "--noise", "0"} + simArgs)
    {
        home.installRealScript();
        started = sim.start();
    }

    // For commands matching pattern (a shell case pattern) the script does action
    // instead of asking the instrument.
    void breakCommand(const QString& pattern, const QString& action)
    {
        QVERIFY(QFile::rename(home.pat() + "sendArbcmd.sh", home.pat() + "real.sh"));
        home.installScript(QStringLiteral("#!/bin/sh\ncase \"$3\" in %1) %2 ;; esac\n"
                                          "exec \"$(dirname \"$0\")/real.sh\" \"$@\"\n")
                               .arg(pattern, action)
                               .toUtf8());
    }

    QStringList args(const QStringList& more) const
    {
        return QStringList{"--source", sim.sourceAddress() + ':' + sim.sourcePort(),
                           "--meter",  sim.meterAddress() + ':' + sim.meterPort(),
                           "--home",   home.path(),
                           "--range",  "2",
                           "--out",    path("iv.txt"),
                           "--store",  path("runs.sqlite")} +
               more;
    }

    void start(QProcess& process, const QStringList& more) const
    {
        process.start(kestrelToolPath("sweep/kestrel-sweep"), args(more));
        QVERIFY(process.waitForStarted());
    }

    int run(const QStringList& more)
    {
        const ToolRun run = runTool(kestrelToolPath("sweep/kestrel-sweep"), args(more));
        out = run.out;
        err = run.err;
        return run.exitCode;
    }

    QString path(const QString& name) const { return files.filePath(name); }
    QByteArray read(const QString& name) const
    {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    // The queries that confirm a switch-off follow it.
    QString lastSourceSetting() const
    {
        QStringList settings = sim.sourceCommands();
        settings.removeIf([](const QString& command) { return command.contains('?'); });
        return settings.value(settings.size() - 1);
    }

    Simulator sim;
    TestHome home;
    QTemporaryDir files;
    bool started = false;
    QByteArray out, err;
};

} // namespace

class TestSweepTool : public QObject
{
    Q_OBJECT

  private slots:
    void completeSweepWritesExactlyTheData();
    void aSettleTimeComesBeforeEachReading();
    void unreachableMeterSendsNothingElse();
    void endingEarlyStillWritesTheFiles_data();
    void endingEarlyStillWritesTheFiles();
    void brokenScriptEndsSafely_data();
    void brokenScriptEndsSafely();
    void aStoreThatFailsIsReported_data();
    void aStoreThatFailsIsReported();
    void badArgumentsSendNothing_data();
    void badArgumentsSendNothing();
    void aListSweepTakesItsLevelsInOrder();
    void averagedReadingsKeepTheirSpread();
    void aHoldReadsOneLevelAgainstTime();
    void readsTheDeviceOffItsCurve();
    void aFamilyStepsTheGateOnceForEachCurve();
    void aFamilyKilledLeavesEverySourceOff();
    void aFamilyStepsASecondOutputOfTheSupply();
    void anImportShowsWhatItsFileRecorded_data();
    void anImportShowsWhatItsFileRecorded();
};

void TestSweepTool::completeSweepWritesExactlyTheData()
{
    SweepBench bench;
    QVERIFY(bench.started);
    QCOMPARE(
        bench.run({"--start", "-1", "--stop", "1", "--steps", "4", "--csv", bench.path("iv.csv")}),
        0);
    QCOMPARE(bench.read("iv.txt"), QByteArray("[[-1.0, -0.001], [-0.5, -0.0005], [0.0, 0.0], "
                                              "[0.5, 0.0005], [1.0, 0.001]]\n"));
    QCOMPARE(bench.out, QByteArray("-1.000000E-03\n\n-5.000000E-04\n\n0.000000E+00\n\n"
                                   "5.000000E-04\n\n1.000000E-03\n\n"));
    QTRY_COMPARE(bench.lastSourceSetting(), ":OUTP1 OFF");

    // An independent reader: Python's csv module, against the data file read as JSON.
    QProcess python;
    python.start("python3", {"-c", R"PY(
import csv, json, sys
rows = [r for r in csv.reader(l for l in open(sys.argv[1]) if not l.startswith('#'))]
assert rows[0] == ['voltage_V', 'current_A'], rows[0]
assert [[float(a), float(b)] for a, b in rows[1:]] == json.load(open(sys.argv[2]))
print(len(rows) - 1)
)PY",
                             bench.path("iv.csv"), bench.path("iv.txt")});
    QVERIFY(python.waitForFinished(20000));
    QCOMPARE(python.readAllStandardError(), QByteArray());
    QCOMPARE(python.readAllStandardOutput(), QByteArray("5\n"));
}

void TestSweepTool::aSettleTimeComesBeforeEachReading()
{
    SweepBench bench;
    QVERIFY(bench.started);
    QCOMPARE(bench.run({"--start", "0", "--stop", "1", "--steps", "2", "--settle-ms", "300",
                        "--rate", "slow", "--csv", bench.path("iv.csv")}),
             0);
    QVERIFY(bench.read("iv.csv").contains("\n# limit A: none\n# settle ms: 300\n# rate: slow\n"
                                          "# source profile: default\n# meter profile: default\n"
                                          "# compliance A: none\n# nplc: none\n"
                                          "voltage_V,current_A\n"));
    QVERIFY(bench.sim.meterCommands().contains(":RATE:CURR:DC S"));
    // From each level's confirmation to its reading at least the settle time passes, and
    // the ticks, a whole number of 0.1 s holding that and the commands, grow with it.
    double confirmed = -1;
    QList<double> readings;
    for (const auto& [ms, line] : bench.sim.timedLog()) {
        if (line == "source\t:SYST:ERR?")
            confirmed = ms;
        if (line != "meter\t:MEAS:CURR:DC?")
            continue;
        QVERIFY2(ms - confirmed >= 300 && (readings.isEmpty() || ms - readings.last() >= 350),
                 qPrintable(QString::number(ms)));
        readings << ms;
    }
    QCOMPARE(readings.size(), 3);
}

void TestSweepTool::unreachableMeterSendsNothingElse()
{
    SweepBench bench;
    QVERIFY(bench.started);
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress("127.0.0.3")));
    const QByteArray meter = "127.0.0.3:" + QByteArray::number(closed.serverPort());
    closed.close();
    QCOMPARE(bench.run({"--meter", meter, "--start", "0", "--stop", "1", "--steps", "2"}), 1);
    QCOMPARE(bench.err, "kestrel-sweep: The meter at " + meter +
                            R"( did not answer "*IDN?": )"
                            R"("kestrel-scpi: )" +
                            meter +
                            R"(: connection refused" (exit status )"
                            "1) Nothing was switched on.\nkestrel-sweep: Nothing to save: no "
                            "sweep has run yet.\n");
    QTRY_COMPARE(bench.sim.log(), QStringList{"source\t*IDN?"});
}

void TestSweepTool::endingEarlyStillWritesTheFiles_data()
{
    QTest::addColumn<int>("signalNumber"); // 0: `kestrel-sweep ... | head -n 1` instead
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::newRow("SIGINT") << SIGINT << 130 << "Interrupted by SIGINT after";
    QTest::newRow("SIGTERM") << SIGTERM << 130 << "Interrupted by SIGTERM after";
    QTest::newRow("SIGHUP") << SIGHUP << 130 << "Interrupted by SIGHUP after";
    QTest::newRow("stdout closed") << 0 << 1 << "Standard output cannot be written (Broken pipe)";
}

void TestSweepTool::endingEarlyStillWritesTheFiles()
{
    QFETCH(int, signalNumber);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    SweepBench bench;
    QVERIFY(bench.started);
    const QStringList sweep{"--start", "0", "--stop", "1", "--steps", "100"};
    QProcess process;
    if (signalNumber) {
        bench.start(process, sweep);
        // The fourth reading is asked for only once the third point is recorded.
        QTRY_VERIFY(bench.sim.meterCommands().count(":MEAS:CURR:DC?") >= 4);
        ::kill(pid_t(process.processId()), signalNumber);
    } else {
        process.start("bash", QStringList{"-c", R"("$@" | head -n 1; exit "${PIPESTATUS[0]}")",
                                          "bash", kestrelToolPath("sweep/kestrel-sweep")} +
                                  bench.args(sweep));
    }
    QVERIFY(process.waitForFinished(15000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    const QByteArray err = process.readAllStandardError();
    QVERIFY2(err.contains(message.toUtf8()) && err.contains("The source output is off.\n"),
             err.constData());
    QTRY_COMPARE(bench.lastSourceSetting(), ":OUTP1 OFF");
    const QByteArray data = bench.read("iv.txt");
    QVERIFY2(data.startsWith(signalNumber ? "[[0.0, 0.0], [0.01, 1e-05], [0.02, 2e-05]"
                                          : "[[0.0, 0.0], [0.01, 1e-05]") &&
                 data.endsWith("]]\n"),
             data.constData());
}

void TestSweepTool::brokenScriptEndsSafely_data()
{
    QTest::addColumn<QString>("pattern"); // the commands the script breaks, if any
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("a level beyond --max-level")
        << ""
        << "" << 1
        << R"(The source refused ":SOUR1:APPL:DC 1,1,15.0": -222,"Data out of range". The source output is off.)"
        << QByteArray("[[0.0, 0.0], [5.0, 0.005], [10.0, 0.01]]\n");
    QTest::newRow("reply without end")
        << "':MEAS:CURR:DC?'"
        << "exec yes" << 1 << "(reply longer than 1 MiB)" << QByteArray();
    QTest::newRow("reading, then a failure")
        << "':MEAS:CURR:DC?'"
        << "echo 1.000000E-03; exit 3" << 1 << "(exit status 3)" << QByteArray();
    // An instrument's words reach the terminal shown, never obeyed: here an older
    // entry in the source's error queue, answered once.
    QTest::newRow("error entry with an escape")
        << "':SYST:ERR?'"
        << R"([ -e "$0.told" ] || { : >"$0.told"; printf '%s\033[31mbad"\n' '-222,"'; exit 0; })"
        << 1 << R"(Before the sweep the source had -222,"\x1b[31mbad" in its error queue)"
        << QByteArray("[[0.0, 0.0], [5.0, 0.005], [10.0, 0.01]]\n");
    QTest::newRow("switch-off fails") << "':OUTP1 OFF'"
                                      << "exit 1" << 4 << "The source output may still be on: "
                                      << QByteArray("[[0.0, 0.0], [5.0, 0.005], [10.0, 0.01]]\n");
}

void TestSweepTool::brokenScriptEndsSafely()
{
    QFETCH(QString, pattern);
    QFETCH(QString, action);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(QByteArray, data);
    SweepBench bench({"--max-level", "10"});
    QVERIFY(bench.started);
    if (!pattern.isEmpty())
        bench.breakCommand(pattern, action);
    QCOMPARE(bench.run({"--start", "0", "--stop", "20", "--steps", "4", "--range", "4"}), exitCode);
    QVERIFY2(bench.err.contains(message.toUtf8()) && !bench.err.contains('\x1b'),
             bench.err.constData());
    QVERIFY(bench.out.size() < 1024);
    if (!data.isEmpty())
        QCOMPARE(bench.read("iv.txt"), data);
    // The switch-off is the last setting the source gets, unless the script dropped it.
    QTRY_COMPARE(bench.lastSourceSetting() == ":OUTP1 OFF", exitCode != 4);
}

void TestSweepTool::aStoreThatFailsIsReported_data()
{
    QTest::addColumn<bool>("full"); // the disk fills mid-sweep; else the store is newer
    QTest::addColumn<QString>("reason");
    QTest::newRow("a newer store") << false << "was written by a newer Kestrel";
    QTest::newRow("a full disk") << true << " cannot be written: a point: ";
}

// The sweep goes on and ends with the output off; the store is never overwritten.
void TestSweepTool::aStoreThatFailsIsReported()
{
    QFETCH(bool, full);
    QFETCH(QString, reason);
    SweepBench bench;
    QVERIFY(bench.started);
    const QString store = bench.path("runs.sqlite");
    if (!full) {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "newer");
        db.setDatabaseName(store);
        QVERIFY(db.open() && QSqlQuery(db).exec("PRAGMA user_version = 99"));
        db.close();
    }
    QSqlDatabase::removeDatabase("newer");
    QFile file(store);
    const QByteArray before = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    file.close();
    // A file size limit stands for the full disk; SIGXFSZ ignored, a write just fails.
    const ToolRun run = runTool(
        "bash",
        QStringList{"-c",
                    QString(R"(trap '' XFSZ; ulimit -f %1; exec "$@")").arg(full ? 64 : 100000),
                    "bash", kestrelToolPath("sweep/kestrel-sweep")} +
            bench.args({"--start", "0", "--stop", "1", "--steps", full ? "20" : "2"}));
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(
        run.err.contains(QByteArray("kestrel-sweep: Runs are not being kept: " + store.toUtf8())) &&
            run.err.contains(reason.toUtf8()) &&
            run.err.contains(full ? "Sweep complete: 21 points." : "Sweep complete: 3 points."),
        run.err.constData());
    QTRY_COMPARE(bench.lastSourceSetting(), ":OUTP1 OFF");
    if (!full) {
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
    }
}

void TestSweepTool::badArgumentsSendNothing_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("named");
    QTest::newRow("missing folder")
        << QStringList{"--csv", "<tmp>/gone/iv.csv"}
        << "--csv <tmp>/gone/iv.csv: the folder <tmp>/gone does not exist";
    QTest::newRow("a pipe") << QStringList{"--out", "<tmp>/fifo"}
                            << "--out <tmp>/fifo: it is not a regular file";
    QTest::newRow("a link to nowhere")
        << QStringList{"--out", "<tmp>/dangling.txt"}
        << "--out <tmp>/dangling.txt: it is a symbolic link to <tmp>/gone/iv.txt, which does "
           "not exist";
    QTest::newRow("no file name") << QStringList{"--out", ""} << "--out needs a file name";
    QTest::newRow("a device") << QStringList{"--png", "<tmp>/null.png"}
                              << "--png <tmp>/null.png: it is not a regular file";
    QTest::newRow("unknown model") << QStringList{"--analyze", "cubic"}
                                   << "--analyze must be linear, diode or solar, not 'cubic'";
    QTest::newRow("shunt alone") << QStringList{"--shunt"}
                                 << "--temperature and --shunt belong to --analyze";
    for (const char* settle : {"60001", "-1", "0.5", "1,5"})
        QTest::newRow(settle) << QStringList{"--settle-ms", settle}
                              << QString("--settle-ms must be a whole number of milliseconds "
                                         "from 0 to 60000, not '%1'")
                                     .arg(settle);
    QTest::newRow("too many steps")
        << QStringList{"--steps", "1000001"} << "Steps must be a whole number from 1 to 1,000,000.";
    QTest::newRow("too many readings")
        << QStringList{"--readings", "101"} << "Readings must be a whole number from 1 to 100.";
    QTest::newRow("no cycles") << QStringList{"--cycles", "0"}
                               << "Cycles must be a whole number from 1 to 1,000.";
    QTest::newRow("a rate") << QStringList{"--rate", "Fast"}
                            << "--rate must be fast, medium or slow, not 'Fast'";
    const QStringList family{"--step-start", "1", "--step-stop", "2", "--step-steps", "1"};
    QTest::newRow("a step level alone")
        << family.mid(0, 2) << "--step-start belongs to a family: give --step-source too";
    QTest::newRow("the meter as step source")
        << QStringList{"--step-source", "<meter>"} + family
        << "--step-source must be a second source, not the source or the meter";
    QTest::newRow("a family of holds")
        << QStringList{"--step-source", "127.0.0.9:5555", "--hold", "1"} + family
        << "--hold reads one level: leave out --step-source";
    QTest::newRow("a family's picture")
        << QStringList{"--step-source", "127.0.0.9:5555", "--png", "<tmp>/f.png"} + family
        << "--analyze and --png take one curve";
}

void TestSweepTool::badArgumentsSendNothing()
{
    QFETCH(QStringList, args);
    QFETCH(QString, named);
    SweepBench bench;
    QVERIFY(bench.started);
    const QString tmp = bench.files.path();
    QCOMPARE(mkfifo(qPrintable(tmp + "/fifo"), 0600), 0);
    QVERIFY(QFile::link(tmp + "/gone/iv.txt", tmp + "/dangling.txt"));
    // A character device of its own (as /dev/null), never one of /dev.
    const bool device = mknod(qPrintable(tmp + "/null.png"), S_IFCHR | 0600, makedev(1, 3)) == 0;
    if (!device && named.contains("null.png"))
        QSKIP("making a device node needs root");
    args.replaceInStrings("<tmp>", tmp);
    args.replaceInStrings("<meter>", bench.sim.meterAddress() + ':' + bench.sim.meterPort());
    QCOMPARE(bench.run(QStringList{"--start", "0", "--stop", "1", "--steps", "2"} + args), 2);
    QVERIFY2(bench.err.contains(named.replace("<tmp>", tmp).toUtf8()), bench.err.constData());
    QTest::qWait(100);
    QCOMPARE(bench.sim.log(), QStringList());
    QCOMPARE(QFileInfo(tmp + "/fifo").isFile(), false); // still the pipe it was
}

void TestSweepTool::aListSweepTakesItsLevelsInOrder()
{
    SweepBench bench;
    QVERIFY(bench.started);
    QFile list(bench.path("levels.txt"));
    QVERIFY(list.open(QIODevice::WriteOnly) && list.write("0.5\n-0.25\n\n0.1\n0.2 V\n") > 0);
    list.close();
    const QStringList levels{"--levels", list.fileName()};
    QCOMPARE(bench.run(levels), 2);
    QVERIFY2(bench.err.contains(
                 QByteArray(list.fileName().toUtf8() + ", line 5: \"0.2 V\" is not a number")),
             bench.err.constData());
    QCOMPARE(bench.run(levels + QStringList{"--steps", "3"}), 2);
    QVERIFY2(bench.err.contains("--levels gives every level: leave out --steps"),
             bench.err.constData());
    QTest::qWait(100);
    QCOMPARE(bench.sim.log(), QStringList());

    QVERIFY(list.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
            list.write("0.5\n-0.25\n\n0.1\n") > 0);
    list.close();
    // Swept twice over, each point with its cycle.
    QCOMPARE(bench.run(levels + QStringList{"--csv", bench.path("iv.csv"), "--cycles", "2"}), 0);
    QCOMPARE(bench.read("iv.txt"), QByteArray("[[0.5, 0.0005], [-0.25, -0.00025], [0.1, 0.0001], "
                                              "[0.5, 0.0005], [-0.25, -0.00025], [0.1, 0.0001]]\n"));
    const QByteArray csv = bench.read("iv.csv");
    QVERIFY2(csv.contains("\n# start V: 0.5\n# stop V: 0.1\n# steps: 2\n# shape: list\n") &&
                 csv.endsWith("\n# cycles: 2\nvoltage_V,current_A,cycle\n0.5,0.0005,1\n"
                              "-0.25,-0.00025,1\n0.1,0.0001,1\n0.5,0.0005,2\n-0.25,-0.00025,2\n"
                              "0.1,0.0001,2\n"),
             csv.constData());
    QStringList sent = bench.sim.sourceCommands().filter(":SOUR1:APPL:DC");
    const QStringList cycle{":SOUR1:APPL:DC 1,1,0.5", ":SOUR1:APPL:DC 1,1,-0.25",
                            ":SOUR1:APPL:DC 1,1,0.1"};
    QCOMPARE(sent.mid(1), cycle + cycle);
    QTRY_COMPARE(bench.lastSourceSetting(), ":OUTP1 OFF");
    // The store keeps the cycles, and an import of the CSV reads them.
    const QString runs = kestrelToolPath("kestrel-runs"), store = bench.path("runs.sqlite");
    QVERIFY(runTool(runs, {"--store", store, "show", "1"}).out.contains("\ncycles: 2\n"));
    QCOMPARE(runTool(runs, {"--store", store, "import", bench.path("iv.csv")}).exitCode, 0);
    const QByteArray imported = runTool(runs, {"--store", store, "show", "2"}).out;
    QVERIFY2(imported.contains("\ncycles: 2\n") && imported.contains("\npoints: 6"),
             imported.constData());

    // Hysteresis: a dual sweep three times over, each loop closed, each point's cycle told.
    QCOMPARE(bench.run({"--start", "0", "--stop", "1", "--steps", "1", "--shape", "dual",
                        "--cycles", "3", "--csv", bench.path("loops.csv")}),
             0);
    QVERIFY(
        bench.read("loops.csv")
            .endsWith("voltage_V,current_A,cycle\n0.0,0.0,1\n1.0,0.001,1\n0.0,0.0,1\n"
                      "0.0,0.0,2\n1.0,0.001,2\n0.0,0.0,2\n0.0,0.0,3\n1.0,0.001,3\n0.0,0.0,3\n"));
}

void TestSweepTool::aHoldReadsOneLevelAgainstTime()
{
    SweepBench bench;
    QVERIFY(bench.started);
    for (const auto& [args, named] :
         {std::pair{QStringList{"--hold", "0,5"}, "--hold: Level must be a number of volts"},
          {{"--hold", "0.5", "--duration", "0"}, "--duration: Duration must be empty"},
          {{"--hold", "0.5", "--steps", "3"}, "--hold reads one level: leave out --steps"}}) {
        QCOMPARE(bench.run(args), 2);
        QVERIFY2(bench.err.contains(named), bench.err.constData());
    }
    QTest::qWait(100);
    QCOMPARE(bench.sim.log(), QStringList());

    // 5 s at 0.1 s: a point at once and 50 after it, the level set and confirmed once.
    QCOMPARE(bench.run({"--hold", "0.5", "--duration", "5", "--csv", bench.path("iv.csv")}), 0);
    QCOMPARE(bench.sim.sourceCommands().filter(":SOUR1:APPL:DC"),
             QStringList{":SOUR1:APPL:DC 1,1,0.5"});
    QTRY_COMPARE(bench.lastSourceSetting(), ":OUTP1 OFF");
    QCOMPARE(bench.read("iv.txt"), "[" + QList<QByteArray>(51, "[0.5, 0.0005]").join(", ") + "]\n");
    // The CSV's times rise, about a tick apart (a late tick's follower comes early, to keep
    // the grid), and are the store's milliseconds exactly, in the run measured and its import.
    const QByteArray csv = bench.read("iv.csv");
    const qsizetype columns = csv.indexOf("\n# duration s: 5.0\nvoltage_V,current_A,time_s\n");
    QVERIFY2(columns > 0 && csv.left(columns).contains("\n# steps: 50\n# shape: hold\n"),
             csv.constData());
    QList<qint64> csvMs;
    for (const QByteArray& row : csv.mid(columns + 46).split('\n').mid(0, 51))
        csvMs << qRound64(row.split(',').last().toDouble() * 1000);
    for (qsizetype i = 1; i < csvMs.size(); ++i)
        QVERIFY2(csvMs[i] > csvMs[i - 1] && csvMs[i] - csvMs[i - 1] <= 250,
                 qPrintable(QString::number(csvMs[i] - csvMs[i - 1])));
    QVERIFY(csvMs.last() - csvMs.first() >= 4900 && csvMs.last() - csvMs.first() < 5600);
    const QString runs = kestrelToolPath("kestrel-runs"), store = bench.path("runs.sqlite");
    QCOMPARE(runTool(runs, {"--store", store, "import", bench.path("iv.csv")}).exitCode, 0);
    for (const char* id : {"1", "2"}) {
        QCOMPARE(runTool(runs, {"--store", store, "export", id, bench.path("again.csv")}).exitCode,
                 0);
        QVERIFY(bench.read("again.csv").endsWith(csv.mid(columns)));
    }

    // Without a duration it holds until a signal, which switches the output off.
    QProcess process;
    bench.start(process, {"--hold", "-0.25"});
    QTRY_VERIFY(bench.sim.meterCommands().count(":MEAS:CURR:DC?") >= 51 + 4);
    ::kill(pid_t(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(15000));
    QCOMPARE(process.exitCode(), 130);
    const QString err = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(QRegularExpression("by SIGTERM after \\d+ points\\. The source output is off\\.\n")
                 .match(err)
                 .hasMatch(),
             qPrintable(err));
    QTRY_COMPARE(bench.lastSourceSetting(), ":OUTP1 OFF");
}

// The simulated meter's noise at medium rate on the 20 mA range: 1e-3 x 3 x 20 mA.
void TestSweepTool::averagedReadingsKeepTheirSpread()
{
    SweepBench bench({"--noise", "1e-3"});
    QVERIFY(bench.started);
    const double noise = 60e-6, readings = 20;
    QCOMPARE(bench.run({"--start", "0", "--stop", "1", "--steps", "4", "--readings", "20", "--csv",
                        bench.path("iv.csv")}),
             0);
    const QByteArray csv = bench.read("iv.csv");
    const QList<QByteArray> rows =
        csv.mid(csv.indexOf("\n# readings: 20\nvoltage_V,current_A,current_sd_A\n")).split('\n');
    QCOMPARE(rows.size(), 3 + 5 + 1);
    double squares = 0;
    for (int k = 0; k < 5; ++k) {
        const QList<QByteArray> cells = rows[3 + k].split(',');
        QCOMPARE(cells.size(), 3);
        QCOMPARE(cells[0].toDouble(), 0.25 * k);
        // The mean of 20 readings lies within four of its standard errors of the device's current.
        QVERIFY2(std::abs(cells[1].toDouble() - 0.25 * k / 1000) < 4 * noise / std::sqrt(readings),
                 rows[3 + k].constData());
        squares += cells[2].toDouble() * cells[2].toDouble();
    }
    // Pooled over 95 degrees of freedom, the spread is the noise within 15 %.
    QVERIFY2(std::abs(std::sqrt(squares / 5) / noise - 1) < 0.15, csv.constData());
    QCOMPARE(bench.sim.meterCommands().count(":MEAS:CURR:DC?"), 100);
    // The store keeps them, and an import of the CSV reads them exactly.
    const QString runs = kestrelToolPath("kestrel-runs"), store = bench.path("runs.sqlite");
    QVERIFY(runTool(runs, {"--store", store, "show", "1"}).out.contains("\nreadings: 20\n"));
    QCOMPARE(runTool(runs, {"--store", store, "import", bench.path("iv.csv")}).exitCode, 0);
    QCOMPARE(runTool(runs, {"--store", store, "export", "2", bench.path("again.csv")}).exitCode, 0);
    const QByteArray again = bench.read("again.csv");
    QVERIFY2(again.endsWith(csv.mid(csv.indexOf("\n# readings: 20\n"))), again.constData());
    // A file that does not say how many readings keeps its spreads all the same.
    QFile unsaid(bench.path("unsaid.csv"));
    QVERIFY(unsaid.open(QIODevice::WriteOnly) &&
            unsaid.write(QByteArray(csv).replace("# readings: 20\n", "")) > 0);
    unsaid.close();
    QCOMPARE(runTool(runs, {"--store", store, "import", unsaid.fileName()}).exitCode, 0);
    QCOMPARE(runTool(runs, {"--store", store, "export", "3", unsaid.fileName()}).exitCode, 0);
    QVERIFY(bench.read("unsaid.csv").endsWith(csv.mid(csv.indexOf("\nvoltage_V"))));
}

namespace
{

// The simulated transistor's drain current: Vth 1 V, K 2e-3 A/V², lambda 0.02 1/V.
double drainAmps(double gateVolts, double drainVolts)
{
    if (drainVolts < 0)
        return -drainAmps(gateVolts - drainVolts, -drainVolts);
    const double overdrive = gateVolts - 1.0, m = 1 + 0.02 * drainVolts;
    if (overdrive <= 0)
        return 0;
    return drainVolts < overdrive
               ? 2e-3 * (overdrive * drainVolts - drainVolts * drainVolts / 2) * m
               : 1e-3 * overdrive * overdrive * m;
}

// The settings the simulated instrument received, in order, without the queries.
QStringList settingsOf(QStringList commands)
{
    commands.removeIf([](const QString& command) { return command.contains('?'); });
    return commands;
}

} // namespace

// A transistor's output characteristics: the gate stepped by a second source, the drain
// swept at each level, each curve a run of its own; the family in one CSV.
void TestSweepTool::aFamilyStepsTheGateOnceForEachCurve()
{
    SweepBench bench({"--device", "mosfet", "--step-source", "127.0.0.4:0"});
    QVERIFY(bench.started);
    const QStringList family{"--step-source", bench.sim.stepAddress() + ':' + bench.sim.stepPort(),
                             "--step-start",  "1.5",
                             "--step-stop",   "2.5",
                             "--step-steps",  "2",
                             "--start",       "-0.5",
                             "--stop",        "2",
                             "--steps",       "5",
                             "--csv",         bench.path("family.csv")};
    QCOMPARE(bench.run(family), 0);
    QVERIFY2(bench.err.contains("Family complete: 3 curves of 6 points. The step source output is "
                                "off.\n"),
             bench.err.constData());
    const QByteArray csv = bench.read("family.csv");
    QVERIFY2(csv.contains("\n# message: Family complete: 3 curves of 6 points. The step source "
                          "output is off.\n") &&
                 csv.contains("\n# step V: 1.5, 2.0, 2.5\nstep_V,voltage_V,current_A\n"),
             csv.constData());
    const QList<QByteArray> rows = csv.mid(csv.indexOf("step_V,")).trimmed().split('\n');
    QCOMPARE(rows.size(), 1 + 3 * 6);
    for (int k = 0; k < 18; ++k) {
        const QList<QByteArray> cells = rows[1 + k].split(',');
        const double gate = 1.5 + 0.5 * (k / 6), drain = -0.5 + 0.5 * (k % 6);
        QCOMPARE(cells[0].toDouble(), gate);
        QCOMPARE(cells[1].toDouble(), drain);
        QVERIFY2(std::abs(cells[2].toDouble() - drainAmps(gate, drain)) <=
                     1e-6 * std::abs(drainAmps(gate, drain)),
                 rows[1 + k].constData());
    }
    // One data file per curve, named after its level.
    QVERIFY(bench.read("iv-step-2.0V.txt").startsWith("[[-0.5, "));
    // Each level set and confirmed before its curve; the drain off after each, the gate at the end.
    QTRY_COMPARE(settingsOf(bench.sim.stepCommands()).constLast(), ":OUTP1 OFF");
    QStringList order;
    for (const QString& line : bench.sim.log())
        if (line.startsWith("step	:SOUR1") || line.startsWith("step	:OUTP1 O") ||
            line.startsWith("source	:OUTP1 O"))
            order << line;
    QCOMPARE(order, QStringList({"step	:SOUR1:APPL:DC 1,1,1.5", "step	:OUTP1 ON",
                                 "source	:OUTP1 ON", "source	:OUTP1 OFF",
                                 "step	:SOUR1:APPL:DC 1,1,2.0", "source	:OUTP1 ON",
                                 "source	:OUTP1 OFF", "step	:SOUR1:APPL:DC 1,1,2.5",
                                 "source	:OUTP1 ON", "source	:OUTP1 OFF",
                                 "step	:OUTP1 OFF"}));
    // Each curve is a run of the store that knows its family and its level.
    const QString runs = kestrelToolPath("kestrel-runs"), store = bench.path("runs.sqlite");
    const QByteArray second = runTool(runs, {"--store", store, "show", "2"}).out;
    QVERIFY2(second.contains(
                 QByteArray(QByteArray("\nstep source: ") + bench.sim.stepAddress().toUtf8())) &&
                 second.contains("\nstep V: 2.0 (curve 2 of 3)\n") &&
                 second.contains("\npoints: 6"),
             second.constData());
    // The store gives the family's CSV again, byte for byte, from any of its curves; a
    // curve's own export stays one curve, and the listing names each curve's level.
    QCOMPARE(runTool(runs, {"--store", store, "export", "--family", "2", bench.path("again.csv")})
                 .exitCode,
             0);
    QCOMPARE(bench.read("again.csv"), csv);
    QCOMPARE(runTool(runs, {"--store", store, "export", "2", bench.path("one.csv")}).exitCode, 0);
    QByteArray curve = "\nvoltage_V,current_A\n";
    for (const QByteArray& row : rows)
        if (row.startsWith("2.0,"))
            curve += row.mid(4) + '\n';
    QVERIFY2(bench.read("one.csv").endsWith(curve), bench.read("one.csv").constData());
    const QList<QByteArray> listed = runTool(runs, {"--store", store, "list"}).out.split('\n');
    QVERIFY2(listed[0].contains("HIGHEST V    STEP V  SOURCE") &&
                 listed[1].contains(" 2.0       2.5  127.") &&
                 listed[3].contains(" 2.0       1.5  127."),
             listed.join('\n').constData());
    const ToolRun single = runTool(runs, {"--store", store, "export", "--family", "1", "x.txt"});
    QCOMPARE(single.exitCode, 2);

    // A curve beyond the current limit ends the family there, the gate switched off.
    QCOMPARE(bench.run(family +
                       QStringList{"--step-stop", "3", "--step-steps", "3", "--limit", "1.5e-3"}),
             3);
    QVERIFY2(bench.err.contains("Curve 3 of 4 (step 2.5 V): Current limit reached at -0.5 V") &&
                 bench.err.contains("The source output is off. The step source output is off."),
             bench.err.constData());
    QTRY_COMPARE(settingsOf(bench.sim.stepCommands()).constLast(), ":OUTP1 OFF");
    QVERIFY(!bench.sim.stepCommands().contains(":SOUR1:APPL:DC 1,1,3.0"));
    QVERIFY(bench.read("family.csv").endsWith("\n2.0,2.0,0.00104\n2.5,-0.5,-0.0017675\n"));
    QCOMPARE(runTool(runs, {"--store", store, "export", "--family", "6", bench.path("again.csv")})
                 .exitCode,
             0);
    QCOMPARE(bench.read("again.csv"), bench.read("family.csv"));
    QVERIFY(bench.read("again.csv")
                .contains("\n# message: Curve 3 of 4 (step 2.5 V): Current limit "
                          "reached at -0.5 V"));

    // A drain that will not switch off after its curve ends the family there, said so.
    SweepBench stuck({"--device", "mosfet", "--step-source", "127.0.0.4:0", "--refuse-off", "1"});
    QVERIFY(stuck.started);
    QCOMPARE(stuck.run(QStringList(family).replaceInStrings(
                 bench.sim.stepAddress() + ':' + bench.sim.stepPort(),
                 stuck.sim.stepAddress() + ':' + stuck.sim.stepPort())),
             4);
    QVERIFY2(stuck.err.contains("Curve 1 of 3 (step 1.5 V): Sweep complete: 6 points. The source "
                                "output is still on: ") &&
                 stuck.err.contains("The family ended there: the curves after it were not "
                                    "measured.") &&
                 !stuck.err.contains("Family complete"),
             stuck.err.constData());
    QTRY_COMPARE(settingsOf(stuck.sim.stepCommands()).constLast(), ":OUTP1 OFF");
}

// Killed mid-family, the guards switch both sources off, and the store keeps every point.
void TestSweepTool::aFamilyKilledLeavesEverySourceOff()
{
    SweepBench bench({"--device", "mosfet", "--step-source", "127.0.0.4:0"});
    QVERIFY(bench.started);
    QProcess sweep;
    bench.start(sweep, {"--step-source", bench.sim.stepAddress() + ':' + bench.sim.stepPort(),
                        "--step-start", "2", "--step-stop", "3", "--step-steps", "2", "--start",
                        "0", "--stop", "1", "--steps", "20"});
    QTRY_VERIFY_WITH_TIMEOUT(bench.sim.stepCommands().contains(":SOUR1:APPL:DC 1,1,2.5") &&
                                 bench.sim.meterCommands().count(":MEAS:CURR:DC?") > 25,
                             20000);
    sweep.kill();
    QVERIFY(sweep.waitForFinished());
    QElapsedTimer killed;
    killed.start();
    QTRY_VERIFY_WITH_TIMEOUT(settingsOf(bench.sim.sourceCommands()).constLast() == ":OUTP1 OFF" &&
                                 settingsOf(bench.sim.stepCommands()).constLast() == ":OUTP1 OFF",
                             1000);
    // The guards record what they did; every reading the meter gave is a point of the store.
    QTRY_VERIFY_WITH_TIMEOUT(runTool(kestrelToolPath("kestrel-runs"),
                                     {"--store", bench.path("runs.sqlite"), "show", "2"})
                                 .out.contains("The guard switched the source off"),
                             5000);
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "family");
    db.setDatabaseName(bench.path("runs.sqlite"));
    QVERIFY(db.open());
    QSqlQuery count(db);
    QVERIFY(count.exec("SELECT count(*), count(DISTINCT run) FROM points") && count.next());
    const int readings = int(bench.sim.meterCommands().count(":MEAS:CURR:DC?"));
    QVERIFY2(
        count.value(0).toInt() >= readings - 1 && count.value(1).toInt() == 2,
        qPrintable(
            QStringLiteral("%1 points kept of %2 read").arg(count.value(0).toInt()).arg(readings)));
    // The step source's guard says what it did in the family's last curve alone.
    QSqlQuery step(db);
    QTRY_VERIFY(step.exec("SELECT group_concat(coalesce(step_guard, '-') || '|' || "
                          "coalesce(step_output_off, '-'), ';') FROM runs") &&
                step.next() &&
                QRegularExpression("^-\\|-;The guard switched the step source off at "
                                   "\\d\\d:\\d\\d:\\d\\d\\.\\|1$")
                    .match(step.value(0).toString())
                    .hasMatch());
}

// A two-output supply: output 2 steps the gate, output 1 sweeps the drain, each by its own
// profile. Killed mid-family, the two guards switch both outputs off.
void TestSweepTool::aFamilyStepsASecondOutputOfTheSupply()
{
    QTemporaryDir config;
    QVERIFY(QDir(config.path()).mkpath("kestrel/instruments"));
    QVERIFY(QFile::copy(kestrelSourcePath("tests/data/profiles/keysight-e36300-output2.toml"),
                        config.filePath("kestrel/instruments/keysight-e36300-output2.toml")));
    const QByteArray before = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    const auto restore = qScopeGuard([&] { qputenv("XDG_CONFIG_HOME", before); });
    SweepBench bench(
        {"--source-dialect", "keysight-e36300", "--gate-on-output2", "--device", "mosfet"});
    QVERIFY(bench.started);
    const QString supply = bench.sim.sourceAddress() + ':' + bench.sim.sourcePort();
    const QStringList family{"--step-source",
                             supply,
                             "--step-profile",
                             "keysight-e36300-output2",
                             "--source-profile",
                             "keysight-e36300",
                             "--step-start",
                             "2",
                             "--step-stop",
                             "2.5",
                             "--step-steps",
                             "1",
                             "--start",
                             "0",
                             "--stop",
                             "2",
                             "--csv",
                             bench.path("family.csv")};
    QVERIFY2(bench.run(family + QStringList{"--steps", "4"}) == 0, bench.err.constData());
    QVERIFY2(bench.read("family.csv").endsWith("\n2.5,2.0,0.00234,0\n"),
             bench.read("family.csv").right(200).constData());
    QTRY_COMPARE(settingsOf(bench.sim.sourceCommands()).filter("OUTP"),
                 QStringList({"OUTP ON,(@2)", "OUTP ON,(@1)", "OUTP OFF,(@1)", "OUTP ON,(@1)",
                              "OUTP OFF,(@1)", "OUTP OFF,(@2)"}));
    QVERIFY(bench.sim.sourceCommands().contains("VOLT 2.5,(@2)"));

    QProcess sweep;
    bench.start(sweep, family + QStringList{"--steps", "40"});
    QTRY_VERIFY_WITH_TIMEOUT(bench.sim.sourceCommands().count("VOLT 2.5,(@2)") == 2, 30000);
    sweep.kill();
    QVERIFY(sweep.waitForFinished());
    const auto lastOf = [&](const QString& output) {
        return settingsOf(bench.sim.sourceCommands()).filter("OUTP").filter(output).constLast();
    };
    QTRY_VERIFY_WITH_TIMEOUT(lastOf("(@1)") == "OUTP OFF,(@1)" && lastOf("(@2)") == "OUTP OFF,(@2)",
                             1000);
}

// Both tools print the fit's lines and keep the fit with the run; the CSV carries it and
// reads back in; a fit without enough points says so and keeps nothing.
void TestSweepTool::readsTheDeviceOffItsCurve()
{
    SweepBench bench({"--noise", "1e-4"});
    QVERIFY(bench.started);
    QCOMPARE(bench.run({"--start", "-5", "--stop", "5", "--steps", "40", "--csv",
                        bench.path("iv.csv"), "--analyze", "linear"}),
             0);
    const auto resistance = [](const QByteArray& lines) {
        const qsizetype at = lines.indexOf("\nR = ") + 5;
        return at < 5 ? 0.0 : lines.mid(at, lines.indexOf(' ', at) - at).toDouble();
    };
    QVERIFY2(std::abs(resistance(bench.out) / 1000.0 - 1.0) < 1e-3, bench.out.constData());
    QVERIFY(bench.out.contains("\nr2 = ") && bench.out.contains(" Ohm\n"));
    const QByteArray csv = bench.read("iv.csv");
    QVERIFY2(csv.contains("\n# fit linear: R = ") && csv.contains("(whole run, 25.0 °C)\n"),
             csv.constData());

    const QString runs = kestrelToolPath("kestrel-runs"), store = bench.path("runs.sqlite");
    // The listing gives its points and the lowest and highest level measured.
    const ToolRun listed = runTool(runs, {"--store", store, "list"});
    QVERIFY2(QString(listed.out)
                 .section('\n', 1, 1)
                 .simplified()
                 .contains(" completed 41 -5.0 5.0 127.0.0.2:"),
             listed.out.constData());
    ToolRun analyze =
        runTool(runs, {"--store", store, "analyze", "1", "--model", "linear", "--from", "0"});
    QCOMPARE(analyze.exitCode, 0);
    QVERIFY2(std::abs(resistance("\n" + analyze.out) / 1000.0 - 1.0) < 1e-3,
             analyze.out.constData());
    analyze = runTool(runs, {"--store", store, "analyze", "1", "--model", "linear", "--from", "0.1",
                             "--to", "0.2"});
    QCOMPARE(analyze.exitCode, 1);
    QVERIFY(analyze.err.startsWith("kestrel-runs: run 1: ") && analyze.out.isEmpty());
    // The sweep's fit and the one of 0 V up are kept; the failed one is not.
    const ToolRun exported =
        runTool(runs, {"--store", store, "export", "1", bench.path("again.csv")});
    QVERIFY2(exported.exitCode == 0, exported.err.constData());
    const QByteArray again = bench.read("again.csv");
    QCOMPARE(again.count("\n# fit linear: "), 2);
    QVERIFY(again.contains("(from 0.0 V, 25.0 °C)\n"));
    const ToolRun imported = runTool(runs, {"--store", store, "import", bench.path("again.csv")});
    QCOMPARE(imported.out, QByteArray("2\n"));
    // What is wrong with its command line, named as it is.
    QCOMPARE(runTool(runs, {"--store", store, "show", "1", "--to", "1"}).err,
             "kestrel-runs: --model, --from, --to, --temperature and --shunt belong to analyze, "
             "not show\n");
    QCOMPARE(runTool(runs, {"--store", store, "analyze", "1", "--from", "0.1"}).err,
             "kestrel-runs: analyze needs --model linear, diode or solar\n");
    // Without HOME, as cron or a service starts it, the store is in the user database's
    // home, which the help names: nothing is opened there (root's home, in CI).
    QVERIFY(runTool(runs, {"--help"}, {"HOME", "XDG_DATA_HOME"})
                .out.contains(QByteArray(getpwuid(getuid())->pw_dir)
                                  .append("/.local/share/kestrel/runs.sqlite)\n")));
}

void TestSweepTool::anImportShowsWhatItsFileRecorded_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("shown");  // lines of kestrel-runs show
    QTest::addColumn<QStringList>("header"); // lines of the CSV it exports
    QStringList none;
    for (const char* key : {"source", "source identity", "meter", "meter identity", "range",
                            "limit A", "settle ms", "rate"})
        none << QString(key) + ": not recorded";
    QStringList noneWritten = none;
    noneWritten.replaceInStrings(QRegularExpression("^"), "# ");
    noneWritten << "# start V: not recorded"
                << "# stop V: not recorded"
                << "# steps: not recorded"
                << "# shape: not recorded";
    for (const char* key : {"start V", "stop V", "steps", "shape"})
        none << QString(key) + ": not recorded";
    QTest::newRow("one-line data")
        << QByteArray("[[0.1, 1e-05], [0.2, 2e-05], [0.3, 3e-05]]\n") << none << noneWritten;
    const QStringList kestrel{"# source: 127.0.0.2:5555",
                              "# source identity: A,B,1,2",
                              "# meter: 127.0.0.3:inst0",
                              "# meter identity: C,D,3,4",
                              "# start V: -1.0",
                              "# stop V: 1.0",
                              "# steps: 4",
                              "# shape: dual",
                              "# range: 20 mA (index 2)",
                              "# limit A: none",
                              "# settle ms: 150",
                              "# rate: fast"};
    QTest::newRow("Kestrel CSV")
        << (kestrel.join('\n') + "\nvoltage_V,current_A\n0.1,1e-05\n").toUtf8()
        << QStringList{"meter: 127.0.0.3:inst0", "meter identity: C,D,3,4",
                       "start V: -1.0",          "shape: dual",
                       "range: 20 mA (index 2)", "limit A: none",
                       "settle ms: 150",         "rate: fast"}
        << kestrel;
    // Written before the settle time and the rate were: measured without either.
    QTest::newRow("older Kestrel CSV")
        << (kestrel.mid(0, 10).join('\n') + "\nvoltage_V,current_A\n0.1,1e-05\n").toUtf8()
        << QStringList{"settle ms: 0", "rate: medium"}
        << QStringList{"# settle ms: 0", "# rate: medium"};
    // What an older Kestrel wrote for a one-line file: defaults, and no instruments.
    QTest::newRow("CSV of made-up defaults")
        << QByteArray("# source: \n# meter: \n# start V: 0.0\n# stop V: 0.0\n# steps: 1\n"
                      "# shape: linear\n# range: 200 µA (index 0)\n# limit A: none\n"
                      "# settle ms: 0\n# rate: medium\nvoltage_V,current_A\n0.1,1e-05\n")
        << none << noneWritten;
    QTest::newRow("CSV recording a part")
        << QByteArray("# stop V: 0.3\n# limit A: 0.25\n# settle ms: 250\n"
                      "voltage_V,current_A\n0.1,1e-05\n")
        << QStringList{"start V: not recorded", "stop V: 0.3",         "steps: not recorded",
                       "limit A: 0.25",         "settle ms: 250",      "rate: not recorded",
                       "range: not recorded",   "source: not recorded"}
        << QStringList{"# start V: not recorded", "# stop V: 0.3", "# limit A: 0.25",
                       "# rate: not recorded"};
}

// Every step a kestrel-runs of its own, so each reads what the one before left in the
// store. A CSV written from an import reads back as the same run.
void TestSweepTool::anImportShowsWhatItsFileRecorded()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, shown);
    QFETCH(QStringList, header);
    QTemporaryDir dir;
    const auto runs = [&](const QStringList& args) {
        return runTool(kestrelToolPath("kestrel-runs"),
                       QStringList{"--store", dir.filePath("runs.sqlite")} + args);
    };
    const auto lines = [&](const QString& name) {
        QFile text(dir.filePath(name));
        return text.open(QIODevice::ReadOnly) ? QString(text.readAll()).split('\n')
                                              : QStringList{"<missing>"};
    };
    QFile in(dir.filePath("in.txt"));
    QVERIFY(in.open(QIODevice::WriteOnly) && in.write(file) == file.size());
    in.close();
    QCOMPARE(runs({"import", in.fileName()}).out, QByteArray("1\n"));
    const ToolRun show = runs({"show", "1"});
    QVERIFY2(show.exitCode == 0, show.err.constData());
    const QStringList showLines = QString(show.out).split('\n');
    for (const QString& line : shown)
        QVERIFY2(showLines.contains(line), qPrintable(line + "\n" + show.out));
    QCOMPARE(runs({"export", "1", dir.filePath("one.csv")}).exitCode, 0);
    const QStringList one = lines("one.csv");
    for (const QString& line : header)
        QVERIFY2(one.contains(line), qPrintable(line));
    // Show names every field the CSV header gives a value by the header's own label.
    static const QRegularExpression field("^# ([^:]+: ).");
    for (const QString& line : one)
        if (const auto label = field.match(line).captured(1); !label.isEmpty())
            QVERIFY2(!showLines.filter(QRegularExpression('^' + QRegularExpression::escape(label)))
                          .isEmpty(),
                     qPrintable(line + "\n" + show.out));

    QCOMPARE(runs({"import", dir.filePath("one.csv")}).out, QByteArray("2\n"));
    QCOMPARE(runs({"export", "2", dir.filePath("two.csv")}).exitCode, 0);
    const auto fromFile = [](const QStringList& csv) { // the message names the file
        return csv.filter(QRegularExpression("^(?!# message: )"));
    };
    QCOMPARE(fromFile(lines("two.csv")), fromFile(one));
}

QTEST_GUILESS_MAIN(TestSweepTool)
#include "tst_sweeptool.moc"
