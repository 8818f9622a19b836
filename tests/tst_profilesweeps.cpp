// Whole sweeps through the instrument chain (kestrel-sweep, sendArbcmd.sh, kestrel-scpi)
// against kestrel-sim speaking each instrument's dialect, with the built-in profiles:
// the commands that arrive are the ones the maker's manual gives for that sweep, a
// source-measure unit stops at its compliance with the point kept and marked, and the
// guard switches it off its own way when the sweep is killed.
#include "data/profilecatalog.h"
#include "simulator.h"
#include "store/rundatabase.h"
#include "testhome.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace kestrel;

namespace
{

struct Bench {
    explicit Bench(const QStringList& simArgs)
        : sim(simArgs + QStringList{"--device", "resistor:1000", "--noise", "0"})
    {
        home.installRealScript();
        started = sim.start();
    }

    QString source() const { return sim.sourceAddress() + ':' + sim.sourcePort(); }
    QString meter() const { return sim.meterAddress() + ':' + sim.meterPort(); }
    QString path(const QString& name) const { return files.filePath(name); }
    QStringList args(bool smu, const QStringList& more) const
    {
        return QStringList{"--source", source(),    "--meter", smu ? source() : meter(),
                           "--home",   home.path(), "--store", path("runs.sqlite")} +
               more;
    }
    ToolRun sweep(bool smu, const QStringList& more) const
    {
        return runTool(kestrelToolPath("sweep/kestrel-sweep"), args(smu, more));
    }
    StoredRun newestRun() const
    {
        RunDatabase store(path("runs.sqlite"));
        if (!store.open().isEmpty() || store.list().empty())
            return {};
        return store.load(store.list().front().id).value_or(StoredRun{});
    }

    Simulator sim;
    TestHome home;
    QTemporaryDir files;
    bool started = false;
};

// "a|b|c" as a list; "N*x" repeats x N times (a sweep's points).
QStringList lines(const QString& text)
{
    QStringList result;
    for (const QString& piece : text.split('|')) {
        const qsizetype star = piece.indexOf('*');
        bool counted = false;
        const int count = star > 0 ? piece.left(star).toInt(&counted) : 1;
        for (int i = 0; i < (counted ? count : 1); ++i)
            result << (counted ? piece.mid(star + 1) : piece);
    }
    return result;
}

} // namespace

class TestProfileSweeps : public QObject
{
    Q_OBJECT

  private slots:
    void eachProfileSendsItsManualsCommands_data();
    void eachProfileSendsItsManualsCommands();
    void anSmuStopsAtItsComplianceWithThePointKept_data();
    void anSmuStopsAtItsComplianceWithThePointKept();
    void theGuardSwitchesAKilledSmuSweepOffItsOwnWay();
};

void TestProfileSweeps::eachProfileSendsItsManualsCommands_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QStringList>("sweepArgs");
    QTest::addColumn<bool>("smu");
    QTest::addColumn<QStringList>("source"); // what the source (or the SMU) receives
    QTest::addColumn<QStringList>("meter");
    const auto row = [](const char* name, const QStringList& simArgs, const QStringList& sweepArgs,
                        bool smu, const QStringList& source, const QStringList& meter = {}) {
        QTest::newRow(name) << simArgs << sweepArgs << smu << source << meter;
    };
    // 0 V to 0.5 V in 2 steps: three levels, three readings.
    row("default: Kestrel's own commands, as always", {}, {"--range", "2"}, false,
        lines("*IDN?|:SYST:ERR?|:SOUR1:APPL:DC 1,1,0.0|:SYST:ERR?|:OUTP1 ON|:SYST:ERR?|"
              ":SOUR1:APPL:DC 1,1,0.0|:SYST:ERR?|:SOUR1:APPL:DC 1,1,0.25|:SYST:ERR?|"
              ":SOUR1:APPL:DC 1,1,0.5|:SYST:ERR?|:OUTP1 OFF|:SYST:ERR?|:OUTP1?"),
        lines("*IDN?|:SYST:ERR?|:FUNCtion:CURRent:DC|:SYST:ERR?|:MEAS:CURR:DC 2|:SYST:ERR?|"
              ":RATE:CURR:DC M|:SYST:ERR?|3*:MEAS:CURR:DC?"));

    // Written from the programming manuals; "~" stands for the error query that confirms
    // each setting. 1 kΩ stays well below a 10 mA compliance.
    const auto confirmed = [](QString text, const QString& errorQuery = ":SYST:ERR?") {
        return lines(text.replace('~', errorQuery));
    };
    const QStringList smuArgs{"--range", "auto", "--compliance", "0.01"};
    row("keithley-2400: Series 2400 SourceMeter User's Manual, Rev. K", {"--smu", "keithley-2400"},
        smuArgs, true,
        confirmed("*IDN?|~|:SENS:FUNC \"CURR\"|~|:FORM:ELEM VOLT,CURR,RES,TIME,STAT|~|"
                  ":SENS:CURR:RANG:AUTO ON|~|:SENS:CURR:NPLC 1.0|~|:SOUR:FUNC VOLT|~|"
                  ":SOUR:VOLT:MODE FIX|~|:SOUR:VOLT:RANG:AUTO ON|~|:SENS:CURR:PROT 0.01|~|"
                  ":SOUR:VOLT:LEV 0.0|~|:OUTP ON|~|:SOUR:VOLT:LEV 0.0|~|:READ?|"
                  ":SOUR:VOLT:LEV 0.25|~|:READ?|:SOUR:VOLT:LEV 0.5|~|:READ?|:OUTP OFF|~|:OUTP?"));
    row("keithley-2450: Model 2450 Reference Manual, SCPI commands", {"--smu", "keithley-2450"},
        smuArgs, true,
        confirmed("*IDN?|*LANG?|~|:SENS:FUNC \"CURR\"|~|:SENS:CURR:RANG:AUTO ON|~|"
                  ":SENS:CURR:NPLC 1.0|~|:SOUR:FUNC VOLT|~|:SOUR:VOLT:RANG:AUTO ON|~|"
                  ":SOUR:VOLT:ILIM 0.01|~|:SOUR:VOLT 0.0|~|:OUTP ON|~|:SOUR:VOLT 0.0|~|:READ?|"
                  ":SOUR:VOLT:ILIM:TRIP?|:SOUR:VOLT 0.25|~|:READ?|:SOUR:VOLT:ILIM:TRIP?|"
                  ":SOUR:VOLT 0.5|~|:READ?|:SOUR:VOLT:ILIM:TRIP?|:OUTP OFF|~|:OUTP?"));
    // Without --range, a meter that has auto-range uses it.
    row("keysight-b2900: B2900 SCPI Command Reference, channel 1", {"--smu", "keysight-b2900"},
        {"--compliance", "0.01"}, true,
        confirmed("*IDN?|~|:SENS1:FUNC \"CURR\"|~|:SENS1:CURR:RANG:AUTO ON|~|"
                  ":SENS1:CURR:NPLC 1.0|~|:SOUR1:FUNC:MODE VOLT|~|:SOUR1:VOLT:RANG:AUTO ON|~|"
                  ":SENS1:CURR:PROT 0.01|~|:SOUR1:VOLT 0.0|~|:OUTP1 ON|~|:SOUR1:VOLT 0.0|~|"
                  ":MEAS:CURR? (@1)|:SENS1:CURR:PROT:TRIP?|:SOUR1:VOLT 0.25|~|"
                  ":MEAS:CURR? (@1)|:SENS1:CURR:PROT:TRIP?|:SOUR1:VOLT 0.5|~|"
                  ":MEAS:CURR? (@1)|:SENS1:CURR:PROT:TRIP?|:OUTP1 OFF|~|:OUTP1?"));
    row("keysight-e36300 and keysight-344xx: their programming guides",
        {"--source-dialect", "keysight-e36300", "--meter-dialect", "keysight-344xx"}, smuArgs,
        false,
        confirmed("*IDN?|~|CURR 0.01,(@1)|~|VOLT 0.0,(@1)|~|OUTP ON,(@1)|~|VOLT 0.0,(@1)|~|"
                  "STAT:QUES:INST:ISUM1:COND?|VOLT 0.25,(@1)|~|STAT:QUES:INST:ISUM1:COND?|"
                  "VOLT 0.5,(@1)|~|STAT:QUES:INST:ISUM1:COND?|OUTP OFF,(@1)|~|OUTP? (@1)",
                  "SYST:ERR?"),
        confirmed("*IDN?|~|CONF:CURR:DC|~|CURR:DC:RANG:AUTO ON|~|CURR:DC:NPLC 1.0|~|3*READ?",
                  "SYST:ERR?"));
    row("siglent-spd and keithley-dmm6500: SPD3303X guide, DMM6500 manual",
        {"--source-dialect", "siglent-spd", "--meter-dialect", "keithley-dmm6500"}, smuArgs, false,
        confirmed("*IDN?|~|OUTPut:TRACK 0|~|CH1:CURRent 0.01|~|CH1:VOLTage 0.0|~|"
                  "OUTPut CH1,ON|~|CH1:VOLTage 0.0|~|SYSTem:STATus?|CH1:VOLTage 0.25|~|"
                  "SYSTem:STATus?|CH1:VOLTage 0.5|~|SYSTem:STATus?|OUTPut CH1,OFF|~|"
                  "SYSTem:STATus?",
                  "SYSTem:ERRor?"),
        confirmed("*IDN?|*LANG?|~|:SENS:FUNC \"CURR:DC\"|~|:SENS:CURR:RANG:AUTO ON|~|"
                  ":SENS:CURR:NPLC 1.0|~|3*:READ?"));
}

void TestProfileSweeps::eachProfileSendsItsManualsCommands()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QStringList, sweepArgs);
    QFETCH(bool, smu);
    QFETCH(QStringList, source);
    QFETCH(QStringList, meter);
    Bench bench(simArgs);
    QVERIFY(bench.started);
    const ToolRun run =
        bench.sweep(smu, sweepArgs + QStringList{"--start", "0", "--stop", "0.5", "--steps", "2"});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    // An SMU is identified once for each role it fills.
    QTRY_COMPARE(bench.sim.sourceCommands(), smu ? QStringList{"*IDN?"} + source : source);
    QCOMPARE(bench.sim.meterCommands(), meter);
}

void TestProfileSweeps::anSmuStopsAtItsComplianceWithThePointKept_data()
{
    QTest::addColumn<QStringList>("more");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said");
    QTest::addColumn<QByteArray>("lastRows");
    // 1 kΩ under a 500 µA limit: from 0.6 V on the SMU holds 500 µA, in compliance.
    QTest::newRow("the first point at the limit ends the sweep")
        << QStringList() << 3
        << "kestrel-sweep: The source reached its compliance of 500 µA at 0.6 V. The source "
           "output is off.\n"
        << QByteArray("0.5,0.0005,0\n0.6,0.0005,1\n");
    QTest::newRow("or goes on when asked to")
        << QStringList{"--continue-at-compliance"} << 0
        << "kestrel-sweep: Sweep complete: 11 points.\n"
        << QByteArray("0.5,0.0005,0\n0.6,0.0005,1\n0.7,0.0005,1\n0.8,0.0005,1\n0.9,0.0005,"
                      "1\n1.0,0.0005,1\n");
}

void TestProfileSweeps::anSmuStopsAtItsComplianceWithThePointKept()
{
    QFETCH(QStringList, more);
    QFETCH(int, status);
    QFETCH(QString, said);
    QFETCH(QByteArray, lastRows);
    Bench bench({"--smu", "keithley-2400"});
    QVERIFY(bench.started);
    const ToolRun run = bench.sweep(
        true, more + QStringList{"--start", "0", "--stop", "1", "--steps", "10", "--range", "auto",
                                 "--compliance", "5e-4", "--csv", bench.path("iv.csv")});
    QCOMPARE(run.exitCode, status);
    QVERIFY2(QString::fromUtf8(run.err).startsWith(said), run.err.constData());
    const QByteArray csv = fileContents(bench.path("iv.csv"));
    QVERIFY2(csv.contains("\nvoltage_V,current_A,in_compliance\n0.0,0.0,0\n") &&
                 csv.endsWith(lastRows),
             csv.constData());
    QVERIFY(csv.contains("\n# source profile: keithley-2400\n# meter profile: keithley-2400\n"
                         "# compliance A: 0.0005"));
    // The store has every point and which were at the limit, and the switch-off is
    // the last setting the SMU received, confirmed.
    const StoredRun stored = bench.newestRun();
    const std::size_t points = status == 0 ? 11 : 7;
    QCOMPARE(stored.run.points.size(), points);
    std::vector<std::uint8_t> flags(points, 0);
    std::fill(flags.begin() + 6, flags.end(), 1);
    QCOMPARE(stored.run.inCompliance, flags);
    QCOMPARE(stored.run.outcome, status == 0 ? Run::Outcome::Completed : Run::Outcome::Compliance);
    QVERIFY(stored.run.outputOff);
    QTRY_COMPARE(bench.sim.sourceCommands().mid(bench.sim.sourceCommands().size() - 3),
                 QStringList({":OUTP OFF", ":SYST:ERR?", ":OUTP?"}));
}

void TestProfileSweeps::theGuardSwitchesAKilledSmuSweepOffItsOwnWay()
{
    Bench bench({"--smu", "keithley-2400"});
    QVERIFY(bench.started);
    QProcess sweep;
    sweep.start(
        kestrelToolPath("sweep/kestrel-sweep"),
        bench.args(true, {"--start", "0", "--stop", "1", "--steps", "100", "--range", "auto"}));
    QVERIFY(sweep.waitForStarted());
    // Each reading is printed once the store has it; three, then kill -9.
    QByteArray printed;
    while (printed.count("E+") + printed.count("E-") < 3 * 5 && sweep.waitForReadyRead(10000))
        printed += sweep.readAllStandardOutput();
    QCOMPARE(bench.sim.sourceCommands().count(":OUTP OFF"), 0);
    sweep.kill();
    QTRY_COMPARE_WITH_TIMEOUT(bench.sim.sourceCommands().count(":OUTP OFF"), 1, 2000);
    QVERIFY(!bench.sim.sourceCommands().contains(":OUTP1 OFF"));
    QTRY_VERIFY(bench.newestRun().guard.startsWith("The guard switched the source off at "));
    QVERIFY(bench.newestRun().run.outputOff);
}

QTEST_GUILESS_MAIN(TestProfileSweeps)
#include "tst_profilesweeps.moc"
