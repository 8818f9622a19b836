// The guard: it switches the source off when its program ends during a sweep however
// it ends (kill -9 included) and never while the program lives; no command of the dead
// program reaches the source after it; it records into its own runs; a guard that ends
// is replaced; and every point recorded before the end is in the store.
#include "controller/guard.h"
#include "simulator.h"
#include "store/processid.h"
#include "store/rundatabase.h"
#include "testhome.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kestrel;

namespace
{

int points(const QByteArray& printed);

struct Bench {
    explicit Bench(const QStringList& simArgs = {}) : sim(simArgs + resistor)
    {
        home.installRealScript();
        started = sim.start();
    }
    static inline const QStringList resistor{"--device", "resistor:1000", "--noise", "0"};

    QString source() const { return sim.sourceAddress() + ':' + sim.sourcePort(); }
    QString meter() const { return sim.meterAddress() + ':' + sim.meterPort(); }
    QString storePath() const { return files.filePath("runs.sqlite"); }
    int offs() const { return sim.sourceCommands().count(":OUTP1 OFF"); }
    QStringList sweepArgs(int steps) const
    {
        return {"--source", source(), "--meter", meter(),    "--home",  home.path(),
                "--start",  "0",      "--stop",  "1",        "--steps", QString::number(steps),
                "--range",  "2",      "--store", storePath()};
    }
    QString window() const
    {
        return qEnvironmentVariable("KESTREL_BUILD_DIR") + "/tests/kestrel-window-driver";
    }

    // Kills the program once it has recorded three points; then the switch-off must
    // reach the source within a second, and the store must hold every point recorded.
    void killMidSweep(QProcess& program)
    {
        QVERIFY(program.waitForStarted());
        QByteArray printed;
        const auto lines = [&] { return points(printed); };
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

        const StoredRun run = guardedRun();
        QVERIFY2(run.guard.startsWith("The guard switched the source off at "),
                 qPrintable(run.guard));
        QCOMPARE(run.run.outcome, Run::Outcome::Interrupted);
        QVERIFY(run.run.outputOff);
        // A point is printed once the store has it.
        QVERIFY2(run.run.points.size() >= std::size_t(lines()), printed.constData());
        for (std::size_t i = 0; i < run.run.points.size(); ++i) {
            // Level i is the double nearest i / 100; the meter gives 7 digits.
            const double level = QByteArray(QByteArray::number(qulonglong(i)) + "e-2").toDouble();
            QCOMPARE(run.run.points[i][0], level);
            QCOMPARE(run.run.points[i][1], QByteArray::number(level / 1000, 'e', 6).toDouble());
        }
    }

    // The newest run, once the guard's word is in.
    StoredRun guardedRun() const
    {
        RunDatabase store(storePath());
        if (!store.open().isEmpty())
            return {};
        QElapsedTimer clock;
        clock.start();
        const auto newest = [&store] {
            const auto runs = store.list();
            return runs.empty() ? StoredRun{} : runs.front();
        };
        while (clock.elapsed() < 3000 && newest().guard.isEmpty())
            QTest::qWait(20);
        return store.load(newest().id).value_or(StoredRun{});
    }

    Simulator sim;
    TestHome home;
    QTemporaryDir files;
    bool started = false;
};

// What the source says of its output, asked as any client would.
QByteArray outputOf(const Simulator& sim)
{
    return runTool(kestrelToolPath("kestrel-scpi"),
                   {sim.sourceAddress(), sim.sourcePort(), ":OUTP1?"})
        .out.trimmed();
}

qint64 guardOf(const QString& source)
{
    QProcess pgrep;
    pgrep.start("pgrep", {"-f", "kestrel-guard.*--source " + source});
    pgrep.waitForFinished();
    return pgrep.readAllStandardOutput().trimmed().toLongLong();
}

// The points a program printed: the window's "point N" lines, kestrel-sweep's readings.
int points(const QByteArray& printed)
{
    int count = 0;
    for (const QByteArray& line : printed.split('\n'))
        count += line.startsWith("point ") || line.contains("E-") || line.contains("E+");
    return count;
}

// Reads the program's standard output until it has printed so many points.
bool waitForLines(QProcess& program, QByteArray& printed, int lines)
{
    while (points(printed) < lines)
        if (!program.waitForReadyRead(10000))
            return false;
        else
            printed += program.readAllStandardOutput();
    return true;
}

// Runs test in a child process, so it may change its user and limits; true when the
// child says it passed.
bool inChild(const std::function<bool()>& test)
{
    const pid_t child = fork();
    if (child == 0)
        _exit(test() ? 0 : 1);
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

} // namespace

class TestGuard : public QObject
{
    Q_OBJECT

  private slots:
    void actsOnlyWhenItsProgramLeftTheOutputOn_data();
    void actsOnlyWhenItsProgramLeftTheOutputOn();
    void aGuardSlowToReadIsNotTakenForGone_data();
    void aGuardSlowToReadIsNotTakenForGone();
    void killedSweepLosesNoPointAndSwitchesOff();
    void killedWindowLosesNoPointAndSwitchesOff();
    void noCommandOfTheDeadProgramFollowsTheSwitchOff_data();
    void noCommandOfTheDeadProgramFollowsTheSwitchOff();
    void eachGuardRecordsIntoItsOwnRun();
    void staysArmedWhenTheSwitchOffIsRefused();
    void aGuardThatEndsIsReplaced_data();
    void aGuardThatEndsIsReplaced();
    void aFileSizeLimitIsAFullDisk_data();
    void aFileSizeLimitIsAFullDisk();
    void startSaysWhenNoGuardRuns();
    void saysHowManyMeasuredPointsWereLost_data();
    void saysHowManyMeasuredPointsWereLost();
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
        Guard::start(GuardConfig{findGuardProgram(), bench.home.path(), {}, {}},
                     Endpoint{bench.sim.sourceAddress(), bench.sim.sourcePort()}, &problem);
    QVERIFY2(guard, qPrintable(problem));
    if (armed)
        guard->arm();
    QTest::qWait(300); // it never acts while its program lives
    QCOMPARE(bench.offs(), 0);
    QVERIFY(!guard->hasEnded());
    if (stoodDown)
        guard->standDown();
    guard.reset(); // as when this program ends: the guard's socket closes
    const bool acts = armed && !stoodDown;
    QTRY_COMPARE_WITH_TIMEOUT(bench.offs(), int(acts), 1000);
    QTest::qWait(300);
    const QStringList confirmedOff{"source\t:OUTP1 OFF", "source\t:SYST:ERR?", "source\t:OUTP1?"};
    QCOMPARE(bench.sim.log(), acts ? confirmedOff : QStringList());
    // and it leaves no process behind
    QTRY_VERIFY(guardOf(bench.source()) == 0);
}

void TestGuard::aGuardSlowToReadIsNotTakenForGone_data()
{
    QTest::addColumn<bool>("stoodDown");
    QTest::newRow("stood down, then its socket closes") << true;
    QTest::newRow("its socket closes while armed") << false;
}

void TestGuard::aGuardSlowToReadIsNotTakenForGone()
{
    // A guard that does not read for a while (stopped, or starved of the CPU) while more
    // is said than its socket holds is still there: every line waits for it, whole and in
    // order, and reaches it before the socket closes.
    QFETCH(bool, stoodDown);
    Bench bench;
    QVERIFY(bench.started);
    const Endpoint source{bench.sim.sourceAddress(), bench.sim.sourcePort()};
    RunDatabase store(bench.storePath());
    QCOMPARE(store.open(), QString());
    // Runs of another source: the guard records into them only as told, line by line.
    Run run;
    run.settings.source = Endpoint{"127.0.0.9", "5025"};
    run.started = QDateTime::currentDateTime();
    QString problem;
    auto guard =
        Guard::start(GuardConfig{findGuardProgram(), bench.home.path(), bench.storePath(), {}},
                     source, &problem);
    QVERIFY2(guard, qPrintable(problem));
    QSignalSpy ended(guard.get(), &Guard::ended);
    guard->arm();
    QCOMPARE(kill(pid_t(guard->pid()), SIGSTOP), 0);
    // Each line takes far more of the socket than its bytes: a few hundred fill it.
    constexpr int runs = 3000;
    for (int i = 0; i < runs; ++i)
        guard->watchRun(store.beginRun(run, "test", thisProcess()));
    QTest::qWait(300);
    QCOMPARE(ended.count(), 0);
    QVERIFY(!guard->hasEnded());
    QCOMPARE(kill(pid_t(guard->pid()), SIGCONT), 0);
    if (stoodDown)
        guard->standDown();
    guard.reset();
    QTRY_VERIFY_WITH_TIMEOUT(guardOf(bench.source()) == 0, 30000);
    QCOMPARE(ended.count(), 0);
    QCOMPARE(bench.offs(), int(!stoodDown));
    // Acting, it records into every run it was told of; stood down, into none.
    int recorded = 0;
    for (const StoredRun& stored : store.list())
        recorded += stored.guard.startsWith("The guard switched the source off at ");
    QCOMPARE(recorded, stoodDown ? 0 : runs);
}

void TestGuard::killedSweepLosesNoPointAndSwitchesOff()
{
    Bench bench;
    QVERIFY(bench.started);
    QProcess sweep;
    sweep.start(kestrelToolPath("sweep/kestrel-sweep"), bench.sweepArgs(100));
    bench.killMidSweep(sweep);
}

void TestGuard::killedWindowLosesNoPointAndSwitchesOff()
{
    Bench bench;
    QVERIFY(bench.started);
    QProcess window;
    window.start(bench.window(),
                 {bench.home.path(), bench.storePath(), bench.source(), bench.meter()});
    bench.killMidSweep(window);
}

void TestGuard::noCommandOfTheDeadProgramFollowsTheSwitchOff_data()
{
    QTest::addColumn<bool>("window");
    QTest::addColumn<QByteArray>("slowOn"); // how the script carries :OUTP1 ON
    const QByteArray scpi = kestrelToolPath("kestrel-scpi").toUtf8();
    const QByteArray slowly =
        "': > \"$0.slow\"; sleep 1.5; exec " + scpi + " -- \"$@\"' \"$0\" \"$@\"";
    QTest::newRow("kestrel-sweep") << false << "sh -c " + slowly;
    QTest::newRow("the window") << true << "sh -c " + slowly;
    QTest::newRow("in a session of its own") << false << "setsid -w sh -c " + slowly;
    QTest::newRow("without the environment") << false << "env -i /bin/sh -c " + slowly;
}

// The program dies while a slow script is still carrying :OUTP1 ON: the guard ends
// that command before its switch-off, so the output stays off.
void TestGuard::noCommandOfTheDeadProgramFollowsTheSwitchOff()
{
    QFETCH(bool, window);
    QFETCH(QByteArray, slowOn);
    Bench bench;
    QVERIFY(bench.started);
    bench.home.installScript("#!/bin/sh\ncase \"$3\" in ':OUTP1 ON') exec " + slowOn +
                             " ;; esac\nexec '" + kestrelToolPath("kestrel-scpi").toUtf8() +
                             "' -- \"$@\"\n");
    QProcess program;
    if (window)
        program.start(bench.window(),
                      {bench.home.path(), bench.storePath(), bench.source(), bench.meter()});
    else
        program.start(kestrelToolPath("sweep/kestrel-sweep"), bench.sweepArgs(100));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(bench.home.pat() + "sendArbcmd.sh.slow"), 10000);
    QTest::qWait(200);
    program.kill();
    QTRY_VERIFY(bench.offs() == 1);
    QTest::qWait(2000); // past the moment the slow command would have reached the source
    const QStringList sent = bench.sim.sourceCommands();
    QVERIFY2(!sent.mid(sent.indexOf(":OUTP1 OFF")).contains(":OUTP1 ON"),
             qPrintable(sent.join(" | ")));
    QCOMPARE(outputOf(bench.sim), "OFF");
    const StoredRun run = bench.guardedRun();
    QVERIFY2(run.run.outputOff && run.guard.startsWith("The guard switched the source off at "),
             qPrintable(run.guard));
}

// Two sources whose switch-off fails, each left to its guard; the window is killed:
// each guard says what it did in its own source's run.
void TestGuard::eachGuardRecordsIntoItsOwnRun()
{
    Bench first({"--refuse-off", "1"});
    Simulator second(Bench::resistor + QStringList{"--refuse-off", "all"});
    QVERIFY(first.started && second.start());
    const QString secondSource = second.sourceAddress() + ':' + second.sourcePort();
    QProcess window;
    window.start(first.window(), {first.home.path(), first.storePath(),
                                  first.source() + ',' + secondSource, first.meter(), "2"});
    QByteArray printed;
    while (!printed.contains("swept\n") && window.waitForReadyRead(10000))
        printed += window.readAllStandardOutput();
    QVERIFY2(printed.contains("swept\n"), printed.constData());
    window.kill();
    QTRY_COMPARE_WITH_TIMEOUT(outputOf(first.sim), "OFF", 3000);

    RunDatabase store(first.storePath());
    QCOMPARE(store.open(), QString());
    QTRY_VERIFY_WITH_TIMEOUT(store.list().size() == 2 && !store.list()[0].guard.isEmpty() &&
                                 !store.list()[1].guard.isEmpty(),
                             5000);
    const auto runs = store.list(); // newest first
    QCOMPARE(runs[1].run.settings.source.port, first.sim.sourcePort());
    QVERIFY2(runs[1].run.outputOff &&
                 runs[1].guard.startsWith("The guard switched the source off at "),
             qPrintable(runs[1].guard));
    QVERIFY2(!runs[0].run.outputOff &&
                 runs[0].guard.startsWith("The guard could not switch the source off: The "
                                          "source refused \":OUTP1 OFF\": -221"),
             qPrintable(runs[0].guard));
    QCOMPARE(outputOf(second), "ON");
}

// A switch-off the source refuses leaves the guard armed: once kestrel-sweep has said
// so and ended, the guard tries again.
void TestGuard::staysArmedWhenTheSwitchOffIsRefused()
{
    Bench bench({"--refuse-off", "1"});
    QVERIFY(bench.started);
    const ToolRun sweep = runTool(kestrelToolPath("sweep/kestrel-sweep"), bench.sweepArgs(2));
    QCOMPARE(sweep.exitCode, 4);
    QVERIFY2(sweep.err.contains("Sweep complete: 3 points. The source output is still on: The "
                                "source refused \":OUTP1 OFF\": -221,\"Settings conflict\"; it "
                                "answers \"ON\" to \":OUTP1?\".\n"),
             sweep.err.constData());
    QTRY_COMPARE_WITH_TIMEOUT(bench.offs(), 2, 2000);
    QCOMPARE(outputOf(bench.sim), "OFF");
    const StoredRun run = bench.guardedRun();
    QVERIFY2(run.run.outputOff && run.guard.startsWith("The guard switched the source off at "),
             qPrintable(run.guard));
    QCOMPARE(run.run.outcome, Run::Outcome::Completed);
}

void TestGuard::aGuardThatEndsIsReplaced_data()
{
    QTest::addColumn<bool>("replaceable");
    QTest::newRow("a new guard starts") << true;
    QTest::newRow("none can start") << false;
}

void TestGuard::aGuardThatEndsIsReplaced()
{
    QFETCH(bool, replaceable);
    Bench bench;
    QVERIFY(bench.started);
    // A copy of the programs, whose guard can be taken away.
    QTemporaryDir programs;
    const QString sweepProgram = programs.filePath("kestrel-sweep");
    QVERIFY(QFile::copy(kestrelToolPath("sweep/kestrel-sweep"), sweepProgram) &&
            QFile::copy(kestrelToolPath("kestrel-guard"), programs.filePath("kestrel-guard")));
    const QString guardProgram = QFileInfo(programs.filePath("kestrel-guard")).canonicalFilePath();
    QProcess sweep;
    sweep.start(sweepProgram, bench.sweepArgs(100));
    QByteArray printed;
    QVERIFY(waitForLines(sweep, printed, 3));
    const qint64 first = guardOf(bench.source());
    QVERIFY(first > 0);
    if (!replaceable)
        QVERIFY(QFile::remove(guardProgram));
    ::kill(pid_t(first), SIGTERM);

    QByteArray said;
    if (replaceable) {
        QTRY_VERIFY_WITH_TIMEOUT(
            (said += sweep.readAllStandardError()).contains("ended; a new guard watches it now."),
            3000);
        QTRY_VERIFY(guardOf(bench.source()) > 0 && guardOf(bench.source()) != first);
        QVERIFY(waitForLines(sweep, printed, 6));
        bench.killMidSweep(sweep);
        return;
    }
    QVERIFY(sweep.waitForFinished(5000));
    said = sweep.readAllStandardError();
    QCOMPARE(sweep.exitCode(), 1);
    const QString expected = "ended and no new one could be started (cannot start " + guardProgram +
                             ": No such file or directory), so the sweep was ended. The source "
                             "output is off.\n";
    QVERIFY2(said.contains(expected.toUtf8()), said.constData());
    QCOMPARE(outputOf(bench.sim), "OFF");
}

void TestGuard::aFileSizeLimitIsAFullDisk_data()
{
    QTest::addColumn<bool>("killed");
    QTest::newRow("the sweep ends") << false;
    QTest::newRow("the sweep is killed") << true;
}

// Under `ulimit -f 60` the store's log soon cannot grow: the sweep says so and goes on,
// and a guard left to act still records what it did.
void TestGuard::aFileSizeLimitIsAFullDisk()
{
    QFETCH(bool, killed);
    Bench bench;
    QVERIFY(bench.started);
    const QString out = bench.files.filePath("iv.txt");
    QProcess sweep;
    sweep.start("bash", QStringList{"-c", "ulimit -f 60 && exec \"$0\" \"$@\"",
                                    kestrelToolPath("sweep/kestrel-sweep")} +
                            bench.sweepArgs(40) + QStringList{"--out", out});
    if (killed) {
        QByteArray printed;
        QVERIFY(waitForLines(sweep, printed, 30));
        sweep.kill();
        const StoredRun run = bench.guardedRun();
        QVERIFY2(run.run.outputOff && run.guard.startsWith("The guard switched the source off"),
                 qPrintable(run.guard));
        return;
    }
    // 4 s at the tick; a machine busy with other builds has taken over 20.
    QVERIFY(sweep.waitForFinished(60000));
    const QByteArray said = sweep.readAllStandardError();
    QVERIFY2(sweep.exitStatus() == QProcess::NormalExit && sweep.exitCode() == 0, said.constData());
    QVERIFY2(said.contains("kestrel-sweep: Runs are not being kept: ") &&
                 said.contains("Sweep complete: 41 points."),
             said.constData());
    QFile data(out);
    QVERIFY(data.open(QIODevice::ReadOnly));
    QVERIFY(data.readAll().endsWith(", [1.0, 0.001]]\n"));
}

// In a child process: a descriptor limit leaves room for the guard's socket pair only.
bool startFailsForWantOfDescriptors(const GuardConfig& config, const Endpoint& source)
{
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    int free[2], found = 0;
    for (int fd = 0; found < 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0)
            free[found++] = fd;
    const rlimit tight{rlim_t(free[1] + 1), files.rlim_max};
    QString problem;
    setrlimit(RLIMIT_NOFILE, &tight);
    const bool started = Guard::start(config, source, &problem) != nullptr;
    setrlimit(RLIMIT_NOFILE, &files);
    return !started && problem.startsWith("cannot make a pipe") && fcntl(free[0], F_GETFD) < 0 &&
           fcntl(free[1], F_GETFD) < 0;
}

// In a child process run by root: as nobody, with a process limit that lets the first
// fork through and stops the second.
bool startFailsForWantOfProcesses(const GuardConfig& config, const Endpoint& source)
{
    const passwd* nobody = getpwnam("nobody");
    if (!nobody || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
        return false;
    int tasks = 0; // running as nobody, this one among them
    const auto folders = QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks;
    for (const QString& pid : QDir("/proc").entryList(folders))
        for (const QString& task : QDir("/proc/" + pid + "/task").entryList(folders))
            tasks += QFileInfo("/proc/" + pid + "/task/" + task).ownerId() == nobody->pw_uid;
    const rlimit processes{rlim_t(tasks + 1), rlim_t(tasks + 1)};
    setrlimit(RLIMIT_NPROC, &processes);
    QString problem;
    const auto guard = Guard::start(config, source, &problem);
    return !guard && problem.endsWith("Resource temporarily unavailable");
}

// A guard that could not be started is never reported as started, and nothing of it
// is left open.
void TestGuard::startSaysWhenNoGuardRuns()
{
    const GuardConfig config{findGuardProgram(), QDir::tempPath(), {}, {}};
    const Endpoint source{"127.0.0.2", "1"};
    QVERIFY(inChild([&] { return startFailsForWantOfDescriptors(config, source); }));
    if (geteuid() != 0)
        QSKIP("a process limit binds only a user without privileges: run as root to try it");
    QVERIFY(inChild([&] { return startFailsForWantOfProcesses(config, source); }));
}

void TestGuard::saysHowManyMeasuredPointsWereLost_data()
{
    QTest::addColumn<bool>("armed");
    QTest::newRow("the output on: it switches off too") << true;
    QTest::newRow("the output confirmed off, the run's end not yet kept") << false;
}

// The program ends while points it measured still wait for a busy store: the guard, told
// how many it measured, says in the run how many the store did not get.
void TestGuard::saysHowManyMeasuredPointsWereLost()
{
    QFETCH(bool, armed);
    Bench bench;
    QVERIFY(bench.started);
    const Endpoint source{bench.sim.sourceAddress(), bench.sim.sourcePort()};
    RunDatabase store(bench.storePath());
    QCOMPARE(store.open(), QString());
    const qint64 id = store.beginRun(Run{}, "test", thisProcess());
    for (int i = 0; i < 4; ++i)
        QVERIFY(store.addPoint(id, i, i, i, i));
    QString problem;
    auto guard =
        Guard::start(GuardConfig{findGuardProgram(), bench.home.path(), bench.storePath(), {}},
                     source, &problem);
    QVERIFY2(guard, qPrintable(problem));
    guard->arm();
    guard->watchRun(id);
    guard->measured(id, 10);
    if (!armed)
        guard->disarm();
    guard.reset();
    QTRY_VERIFY_WITH_TIMEOUT(guardOf(bench.source()) == 0, 90000);
    const auto stored = store.load(id);
    QVERIFY2(stored && stored->run.message.endsWith(" 6 measured points were not kept.") &&
                 stored->guard.endsWith("6 measured points were not kept."),
             qPrintable(stored->run.message));
    QCOMPARE(bench.offs(), int(armed));
}

QTEST_GUILESS_MAIN(TestGuard)
#include "tst_guard.moc"
