// The guard: it switches the source off when its program ends during a sweep however
// it ends (kill -9 included) and never while the program lives; and every point
// recorded before the end is in the store.
#include "controller/guard.h"
#include "simulator.h"
#include "store/rundatabase.h"
#include "testhome.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace kestrel;

namespace
{

struct Bench {
    Bench() : sim({"--device", "resistor:1000", "--noise", "0"})
    {
        home.installRealScript();
        started = sim.start();
    }
    QString source() const { return sim.sourceAddress() + ':' + sim.sourcePort(); }
    QString meter() const { return sim.meterAddress() + ':' + sim.meterPort(); }
    QString storePath() const { return files.filePath("runs.sqlite"); }
    int offs() const { return sim.sourceCommands().count(":OUTP1 OFF"); }

    // Kills the program once it has recorded three points; then the switch-off must
    // reach the source within a second, and the store must hold every point recorded.
    void killMidSweep(QProcess& program)
    {
        QVERIFY(program.waitForStarted());
        QByteArray printed;
        const auto lines = [&] { return printed.split('\n').size() - 1 - printed.count("\n\n"); };
        while (lines() < 3 && program.waitForReadyRead(10000))
            printed += program.readAllStandardOutput();
        const int before = offs();
        program.kill();
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(offs() == before + 1, 1000);
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QTRY_COMPARE(program.state(), QProcess::NotRunning);
        printed += program.readAllStandardOutput();

        RunDatabase store(storePath());
        QCOMPARE(store.open(), QString());
        QTRY_VERIFY(!store.list().front().guard.isEmpty()); // the guard's word follows
        const StoredRun run = *store.load(store.list().front().id);
        QVERIFY2(run.guard.startsWith("The guard switched the source off at "),
                 qPrintable(run.guard));
        QCOMPARE(run.run.outcome, Run::Outcome::Interrupted);
        QVERIFY(run.run.outputOff);
        // Each line comes before its point is recorded: at most the last is not.
        QVERIFY2(run.run.points.size() + 1 >= std::size_t(lines()), printed.constData());
        for (std::size_t i = 0; i < run.run.points.size(); ++i)
            QCOMPARE(run.run.points[i], (IVPoint{i * 0.01, i * 1e-5}));
    }

    Simulator sim;
    TestHome home;
    QTemporaryDir files;
    bool started = false;
};

} // namespace

class TestGuard : public QObject
{
    Q_OBJECT

  private slots:
    void actsOnlyWhenItsProgramLeftTheOutputOn_data();
    void actsOnlyWhenItsProgramLeftTheOutputOn();
    void killedSweepLosesNoPointAndSwitchesOff();
    void killedWindowLosesNoPointAndSwitchesOff();
};

void TestGuard::actsOnlyWhenItsProgramLeftTheOutputOn_data()
{
    QTest::addColumn<bool>("armed");
    QTest::addColumn<bool>("stoodDown");
    QTest::newRow("never armed") << false << false;
    QTest::newRow("stood down after the sweep") << true << true;
    QTest::newRow("its program ended while armed") << true << false;
}

void TestGuard::actsOnlyWhenItsProgramLeftTheOutputOn()
{
    QFETCH(bool, armed);
    QFETCH(bool, stoodDown);
    Bench bench;
    QVERIFY(bench.started);
    QString problem;
    auto guard =
        Guard::start(GuardConfig{findGuardProgram(), bench.home.path(), {}},
                     Endpoint{bench.sim.sourceAddress(), bench.sim.sourcePort()}, &problem);
    QVERIFY2(guard, qPrintable(problem));
    if (armed)
        guard->arm();
    QTest::qWait(300); // it never acts while its program lives
    QCOMPARE(bench.offs(), 0);
    if (stoodDown)
        guard->standDown();
    guard.reset(); // as when this program ends: the guard's pipe closes
    const bool acts = armed && !stoodDown;
    QTRY_COMPARE_WITH_TIMEOUT(bench.offs(), int(acts), 1000);
    QTest::qWait(300);
    const QStringList confirmedOff{"source\t:OUTP1 OFF", "source\t:SYST:ERR?", "source\t:OUTP1?"};
    QCOMPARE(bench.sim.log(), acts ? confirmedOff : QStringList());
    // and it leaves no process behind
    QTRY_VERIFY(QProcess::execute("pgrep", {"-f", "kestrel-guard.*" + bench.source()}) != 0);
}

void TestGuard::killedSweepLosesNoPointAndSwitchesOff()
{
    Bench bench;
    QVERIFY(bench.started);
    QProcess sweep;
    sweep.start(kestrelToolPath("sweep/kestrel-sweep"),
                {"--source", bench.source(), "--meter", bench.meter(), "--home", bench.home.path(),
                 "--start", "0", "--stop", "1", "--steps", "100", "--range", "2", "--store",
                 bench.storePath()});
    bench.killMidSweep(sweep);
}

void TestGuard::killedWindowLosesNoPointAndSwitchesOff()
{
    Bench bench;
    QVERIFY(bench.started);
    QProcess window;
    window.start(qEnvironmentVariable("KESTREL_BUILD_DIR") + "/tests/kestrel-window-driver",
                 {bench.home.path(), bench.storePath(), bench.source(), bench.meter()});
    bench.killMidSweep(window);
}

QTEST_GUILESS_MAIN(TestGuard)
#include "tst_guard.moc"
