// The run store: what goes in comes out exactly, a point is there once recorded, a
// store that is not ours or not writable is never changed, interrupted runs are found.
#include "controller/sweepdescription.h"
#include "data/runfile.h"
#include "store/rundatabase.h"
#include "store/runimport.h"
#include "store/runrecorder.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <bit>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kestrel;

namespace
{

Run sampleRun()
{
    Run run;
    run.settings.source = Endpoint{"127.0.0.2", "5555"};
    run.settings.meter = Endpoint{"host b", "inst0"};
    run.settings.plan = SweepPlan{-1.5, 0.1, 7, SweepShape::Dual};
    run.settings.rangeIndex = 3;
    run.settings.limitAmps = 2.5e-3;
    run.settings.settleMs = 250;
    run.settings.meterRate = MeterRate::Slow;
    run.sourceIdentity = "Maker,SOURCE,1,2";
    run.meterIdentity = "Maker,METER,3,4";
    run.started = QDateTime::currentDateTime();
    return run;
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Makes the file unwritable even to root (the immutable flag), or by its mode when
// not root; false when neither is possible here.
bool makeReadOnly(const QString& path, bool readOnly)
{
    const int fd = ::open(qPrintable(path), O_RDONLY);
    int flags = 0;
    bool done =
        fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
        ioctl(fd, FS_IOC_SETFLAGS,
              &(flags = readOnly ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL)) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!done && geteuid() != 0)
        done = QFile::setPermissions(path, readOnly
                                               ? QFileDevice::ReadOwner
                                               : QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return done;
}

} // namespace

class TestStore : public QObject
{
    Q_OBJECT

  private slots:
    void keepsEveryNumberExactly();
    void aPointIsThereOnceRecorded();
    void refusesWhatIsNotItsOwn_data();
    void refusesWhatIsNotItsOwn();
    void aWriteThatFailsIsReported();
    void findsRunsWhoseProgramEnded();
    void importsWhatItExports();
    void importReadsOnlyRegularFilesAsTheyCome_data();
    void importReadsOnlyRegularFilesAsTheyCome();
    void keepsTheCountsOfEveryEnding_data();
    void keepsTheCountsOfEveryEnding();
    void keepsTheRunsOfAVersion1Store();
    void leavesAStoreANewerKestrelMigratedMeanwhile();
    void marksWhatOlderImportsNeverRecorded_data();
    void marksWhatOlderImportsNeverRecorded();
    void aRunBeingRecordedIsNotDeleted_data();
    void aRunBeingRecordedIsNotDeleted();
    void aMalformedStoreIsLeftAsItIs();
    void twoProgramsMakeOneStore();
};

void TestStore::keepsEveryNumberExactly()
{
    QTemporaryDir dir;
    RunDatabase store(dir.filePath("new folder/runs.sqlite"));
    QCOMPARE(store.open(), QString());
    Run run = sampleRun();
    run.settings.plan.cycles = 3;
    run.settings.readings = 4;
    QRandomGenerator random(20261206);
    for (const double edge : {-0.0, 5e-324, -1.7976931348623157e308, 1e-310, 3.0})
        run.points.push_back({edge, -edge});
    while (run.points.size() < 2000) {
        const double a = std::bit_cast<double>(random.generate64());
        const double b = std::bit_cast<double>(random.generate64());
        if (!std::isnan(a) && !std::isnan(b))
            run.points.push_back({a, b});
    }
    const qint64 id = store.beginRun(run, "Kestrel 9", thisProcess());
    QVERIFY(id > 0);
    for (std::size_t i = 0; i < run.points.size(); ++i)
        QVERIFY(store.addPoint(id, int(i), run.points[i][0], run.points[i][1], qint64(i),
                               int(i + 1) % 2, run.points[i][1] / 3));
    run.outcome = Run::Outcome::Stopped;
    run.message = "Sweep stopped after 2000 of 15 points.";
    run.ended = run.started.addSecs(3);
    run.outputOff = true;
    QVERIFY(store.finishRun(id, run));

    const auto stored = store.load(id);
    QVERIFY(stored);
    QCOMPARE(stored->program, "Kestrel 9");
    QCOMPARE(stored->run.points.size(), run.points.size());
    QCOMPARE(stored->run.currentSd.size(), run.points.size());
    QCOMPARE(stored->run.inCompliance.size(), run.points.size());
    QVERIFY(stored->run.inCompliance[0] == 1 && stored->run.inCompliance[1] == 0);
    for (std::size_t i = 0; i < run.points.size(); ++i) {
        const double sent[] = {run.points[i][0], run.points[i][1], run.points[i][1] / 3};
        const double got[] = {stored->run.points[i][0], stored->run.points[i][1],
                              stored->run.currentSd[i]};
        for (int k = 0; k < 3; ++k)
            QVERIFY2(std::bit_cast<quint64>(sent[k]) == std::bit_cast<quint64>(got[k]),
                     qPrintable(QString::number(i)));
    }
    // Everything its CSV header says comes back, to the millisecond.
    CsvHeader want = describeRun("p", run), got = describeRun("p", stored->run);
    QCOMPARE(got.started.toMSecsSinceEpoch(), want.started.toMSecsSinceEpoch());
    for (auto field : {&CsvHeader::source, &CsvHeader::meter, &CsvHeader::sourceIdentity,
                       &CsvHeader::outcome, &CsvHeader::message, &CsvHeader::start,
                       &CsvHeader::stop, &CsvHeader::steps, &CsvHeader::shape, &CsvHeader::range,
                       &CsvHeader::limit, &CsvHeader::settleMs, &CsvHeader::rate,
                       &CsvHeader::cycles, &CsvHeader::readings})
        QCOMPARE(got.*field, want.*field);
    QVERIFY(stored->run.outputOff);

    // A list sweep's levels come back exactly and in their order; other shapes keep none.
    Run listed = sampleRun();
    const std::vector<double> levels{0.5, -0.0, 5e-324, -0.25, 0.1};
    listed.settings.plan = makeListPlan(levels);
    const auto plan =
        store.load(store.beginRun(listed, "Kestrel 9", thisProcess()))->run.settings.plan;
    QVERIFY(plan.shape == SweepShape::List && plan.levels && plan.levels->size() == levels.size());
    for (std::size_t k = 0; k < levels.size(); ++k)
        QCOMPARE(std::bit_cast<quint64>(plan.levelAt(int(k))), std::bit_cast<quint64>(levels[k]));
    QVERIFY(!stored->run.settings.plan.levels);
    // A listing names the shape but leaves the levels in the store.
    const SweepPlan listedPlan = store.list().front().run.settings.plan;
    QVERIFY(listedPlan.shape == SweepShape::List && !listedPlan.levels);
}

void TestStore::aPointIsThereOnceRecorded()
{
    QTemporaryDir dir;
    RunDatabase writer(dir.filePath("runs.sqlite")), reader(dir.filePath("runs.sqlite"));
    QCOMPARE(writer.open(), QString());
    QCOMPARE(reader.open(), QString());
    const qint64 id = writer.beginRun(sampleRun(), "Kestrel", thisProcess());
    for (int i = 0; i < 3; ++i) {
        QVERIFY(writer.addPoint(id, i, i, -i, i));
        QCOMPARE(reader.load(id)->run.points.size(), std::size_t(i + 1));
    }
    QCOMPARE(reader.list().front().run.outcome, Run::Outcome::Running);
    QVERIFY(QFile::exists(dir.filePath("runs.sqlite-wal"))); // written ahead, as WAL does
}

void TestStore::refusesWhatIsNotItsOwn_data()
{
    QTest::addColumn<QString>("made"); // what is at the store's path
    QTest::addColumn<QString>("reason");
    const int newer = RunDatabase::schemaVersion + 1;
    QTest::newRow("a newer store") << QString("PRAGMA user_version = %1").arg(newer)
                                   << QString("was written by a newer Kestrel (store version %1; "
                                              "this one knows up to %2); it was left as it is")
                                          .arg(newer)
                                          .arg(newer - 1);
    QTest::newRow("someone else's database") << "CREATE TABLE notes (text)"
                                             << "holds tables that are not a Kestrel store";
    QTest::newRow("a text file") << ""
                                 << "is not a SQLite database";
}

void TestStore::refusesWhatIsNotItsOwn()
{
    QFETCH(QString, made);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.sqlite");
    if (made.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("my notes\n") > 0);
    } else {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "other");
        db.setDatabaseName(path);
        QVERIFY(db.open() && QSqlQuery(db).exec(made));
        db.close();
    }
    QSqlDatabase::removeDatabase("other");
    const QByteArray before = contents(path);
    RunDatabase store(path);
    QVERIFY2(store.open().startsWith(path + ' ' + reason), qPrintable(store.lastError()));
    QCOMPARE(contents(path), before);
}

void TestStore::aWriteThatFailsIsReported()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.sqlite");
    {
        RunDatabase store(path);
        QCOMPARE(store.open(), QString());
    }
    // A store that cannot be written: the run is refused with the reason.
    if (makeReadOnly(path, true)) {
        RunDatabase store(path);
        const QString opened = store.open();
        QVERIFY(!opened.isEmpty() || store.beginRun(sampleRun(), "Kestrel", thisProcess()) == 0);
        QVERIFY2(store.lastError().contains("readonly"), qPrintable(store.lastError()));
        makeReadOnly(path, false);
    }
    // A full disk (a file size limit here): a point that does not fit is an error.
    RunDatabase store(path);
    QCOMPARE(store.open(), QString());
    const qint64 id = store.beginRun(sampleRun(), "Kestrel", thisProcess());
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 256 * 1024;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool failed = false;
    for (int i = 0; i < 5000 && !failed; ++i)
        failed = !store.addPoint(id, i, i, i, i);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    QVERIFY(failed);
    QVERIFY2(store.lastError().startsWith("a point: "), qPrintable(store.lastError()));
}

void TestStore::findsRunsWhoseProgramEnded()
{
    QTemporaryDir dir;
    RunDatabase store(dir.filePath("runs.sqlite"));
    QCOMPARE(store.open(), QString());
    const ProcessId gone{999999999, 1};
    const qint64 orphan = store.beginRun(sampleRun(), "Kestrel", gone);
    const qint64 live = store.beginRun(sampleRun(), "Kestrel", thisProcess());
    QVERIFY(store.addPoint(orphan, 0, 1.0, 2.0, 0));
    const auto found = store.recoverInterrupted();
    QCOMPARE(found.size(), std::size_t(1));
    QCOMPARE(found[0].id, orphan);
    QCOMPARE(found[0].pointCount, 1);
    QCOMPARE(found[0].run.message, "The program ended during the sweep.");
    QVERIFY(!found[0].run.outputOff);
    QVERIFY(store.recoverInterrupted().empty()); // reported once
    QCOMPARE(store.load(live)->run.outcome, Run::Outcome::Running);
    // The guard's word goes into its own runs: those named and its owner's run on its
    // source still running, never into the owner's newer run on another source.
    Run earlier = sampleRun(); // its switch-off failed
    earlier.outcome = Run::Outcome::Completed;
    const qint64 named = store.beginRun(earlier, "Kestrel", thisProcess());
    QVERIFY(store.finishRun(named, earlier));
    Run elsewhere = sampleRun();
    elsewhere.settings.source = Endpoint{"127.0.0.9", "5555"};
    const qint64 other = store.beginRun(elsewhere, "Kestrel", thisProcess());
    QVERIFY(store.recordGuard(thisProcess(), sampleRun().settings.source, {named}, true,
                              "The guard switched the source off at 1."));
    const auto guarded = store.recoverInterrupted();
    QCOMPARE(guarded.size(), std::size_t(2));
    QVERIFY(guarded[0].id == named && guarded[1].id == live);
    for (const StoredRun& run : guarded)
        QVERIFY(run.run.outputOff && run.guard == "The guard switched the source off at 1.");
    QCOMPARE(store.load(other)->guard, QString());
    QCOMPARE(store.load(other)->run.outcome, Run::Outcome::Running);
}

void TestStore::importsWhatItExports()
{
    QTemporaryDir dir;
    RunDatabase store(dir.filePath("runs.sqlite"));
    QCOMPARE(store.open(), QString());
    Run run = sampleRun();
    run.points = {{-1.5, -1e-5}, {0.1, 2.5e-7}};
    run.outcome = Run::Outcome::Completed;
    run.started = QDateTime::fromString("2026-03-01T10:20:30Z", Qt::ISODate); // not now
    run.ended = run.started;
    const QString csv = dir.filePath("run.csv");
    QVERIFY(exportRunCsv("Kestrel", csv, run).ok);
    auto read = readRunFile(contents(csv));
    QVERIFY(std::holds_alternative<Run>(read));
    QCOMPARE(std::get<Run>(read).started, run.started);
    const qint64 id = store.importRun(std::get<Run>(read), "kestrel-runs", "run.csv");
    auto stored = store.load(id);
    QCOMPARE(stored->note, "run.csv");
    QVERIFY(stored->run.settings.settleMs == 250 &&
            stored->run.settings.meterRate == MeterRate::Slow);
    QVERIFY(store.setNote(id, "after the anneal") && !store.setNote(id + 1, "x"));
    QCOMPARE(store.list().front().note, "after the anneal");
    stored = store.load(id);
    QCOMPARE(stored->run.points, run.points);
    QCOMPARE(stored->run.outcome, Run::Outcome::Imported);
    QCOMPARE(describeRun("p", stored->run).range, describeRun("p", run).range);
    QCOMPARE(stored->run.settings.limitAmps, run.settings.limitAmps);
    QCOMPARE(stored->run.settings.meter, run.settings.meter);

    const auto problem = [](const QByteArray& text) {
        const auto result = readRunFile(text);
        return std::holds_alternative<QString>(result) ? std::get<QString>(result) : QString();
    };
    QCOMPARE(problem("[[0.1, 2e-05], [0.2 0.3]]\n"),
             R"(line 1, column 21: expected a level in volts (a decimal number) and a comma)");
    QCOMPARE(problem("# x: y\nvoltage_V,current_A\n0.1,2\n0.2;3\n"),
             "line 4: expected a level and a current, two decimal numbers separated by a comma");
    QVERIFY(problem("hello\n").startsWith("line 1: neither Kestrel's data format"));
    QCOMPARE(std::get<Run>(readRunFile("[[0.5, -0.0]]\n")).points, (IVPointList{{0.5, -0.0}}));
    // Headers written before "started" said "taken".
    QCOMPARE(std::get<Run>(readRunFile("# taken: 2026-03-01T10:20:30Z\nvoltage_V,current_A\n1,2\n"))
                 .started,
             run.started);
}

// A folder and a pipe without a writer are refused unread; sparse files of zeros (no
// room on the disk) past the limit at once, within it on line 1 after a few blocks;
// 20000 points in a file without a final line feed come whole over many blocks.
void TestStore::importReadsOnlyRegularFilesAsTheyCome_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("problem"); // after "PATH: "; empty: imported
    const QString noFile = "not a regular file but a folder, a pipe or a device";
    QTest::addRow("folder") << "folder" << 0LL << noFile;
    QTest::addRow("pipe") << "pipe" << 0LL << noFile;
    QTest::addRow("past the limit") << "sparse" << (3LL << 30)
                                    << "3221225472 bytes, more than the 268435456 bytes (256 "
                                       "MiB) of the largest file imported";
    QTest::addRow("zeros within it")
        << "sparse" << maxRunFileBytes << "line 1: neither Kestrel's data format";
    QTest::addRow("20000 points") << "points" << 20000LL << "";
}

void TestStore::importReadsOnlyRegularFilesAsTheyCome()
{
    QFETCH(QString, kind);
    QFETCH(qint64, bytes);
    QFETCH(QString, problem);
    QTemporaryDir dir;
    RunDatabase store(dir.filePath("runs.sqlite"));
    QCOMPARE(store.open(), QString());
    const QString path = dir.filePath("run");
    QFile file(path);
    IVPointList points;
    for (qint64 k = 0; kind == "points" && k < bytes; ++k)
        points.push_back({k * 1e-4, -std::sqrt(double(k)) * 1e-7});
    QVERIFY(kind == "folder" ? QDir(dir.path()).mkdir("run")
            : kind == "pipe" ? ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0
            : !file.open(QIODevice::WriteOnly) ? false
            : kind == "sparse"                 ? file.resize(bytes)
                                               : file.write(dataFileText(points).chopped(1)) > 0);
    file.close();
    const auto imported = importRunFile(store, path, "kestrel-runs");
    if (problem.isEmpty())
        QCOMPARE(store.load(std::get<qint64>(imported))->run.points, points);
    else
        QCOMPARE(std::get<QString>(imported).left(path.size() + 2 + problem.size()),
                 path + ": " + problem);
    // Read as it comes, a file of zeros gives up within its first line.
    QVERIFY(kind != "sparse" ||
            (file.open(QIODevice::ReadOnly) && std::holds_alternative<QString>(readRunFile(file)) &&
             file.pos() <= 1 << 20));
}

void TestStore::keepsTheCountsOfEveryEnding_data()
{
    QTest::addColumn<QString>("ending");
    for (const char* ending : {"finished", "found orphaned", "the guard's word", "imported"})
        QTest::newRow(ending) << QString(ending);
}

// A run's count and levels are counted while it runs and kept in its row however it
// ends; the listing reads them from there.
void TestStore::keepsTheCountsOfEveryEnding()
{
    QFETCH(QString, ending);
    QTemporaryDir dir;
    RunDatabase store(dir.filePath("runs.sqlite"));
    QCOMPARE(store.open(), QString());
    Run run = sampleRun();
    run.points = {{0.3, 1e-6}, {-0.2, 0.0}, {0.1, 2e-7}};
    const ProcessId owner = ending == "found orphaned" ? ProcessId{999999999, 1} : thisProcess();
    if (ending == "imported") {
        run.outcome = Run::Outcome::Imported;
        QVERIFY(store.importRun(run, "kestrel-runs") > 0);
    } else {
        const qint64 id = store.beginRun(run, "Kestrel", owner);
        for (int i = 0; i < 3; ++i)
            QVERIFY(store.addPoint(id, i, run.points[i][0], run.points[i][1], i));
        QCOMPARE(store.list().front().pointCount, 3);
        run.outcome = Run::Outcome::Completed;
        QVERIFY(ending != "finished" || store.finishRun(id, run));
        QVERIFY(ending != "found orphaned" || store.markOrphans());
        QVERIFY(ending != "the guard's word" ||
                store.recordGuard(owner, run.settings.source, {}, true, "Switched off."));
    }
    const StoredRun listed = store.list().front();
    QVERIFY(listed.run.outcome != Run::Outcome::Running);
    QCOMPARE(listed.pointCount, 3);
    QVERIFY(listed.levels == (LevelSpan{-0.2, 0.3}));
}

// A store written before settle times, rates, notes and fits keeps every run and point;
// fits go with a run from then on, read back as kept, and are deleted with it.
void TestStore::keepsTheRunsOfAVersion1Store()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.sqlite");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "v1");
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QSqlQuery query(db);
        for (const char* statement : schemaStep(0))
            QVERIFY(query.exec(statement));
        for (const char* statement :
             {"INSERT INTO runs VALUES (7, 'Kestrel 0.1', '2026-12-01T10:00:00.000+01:00', "
              "'2026-12-01T10:00:05.000+01:00', 'completed', 'Sweep complete: 2 points.', "
              "'127.0.0.2', '5555', 'A,B,1,2', '127.0.0.3', '5555', 'C,D,3,4', -1.0, 1.0, 1, "
              "'linear', 2, NULL, 1, '', 0, 0, 1)",
              "INSERT INTO points VALUES (7, 0, -1.0, -0.001, 0), (7, 1, 1.0, 0.001, 100)",
              "PRAGMA user_version = 1"})
            QVERIFY2(query.exec(statement), qPrintable(query.lastError().text()));
        db.close();
    }
    QSqlDatabase::removeDatabase("v1");
    RunDatabase store(path);
    QCOMPARE(store.open(), QString());
    QCOMPARE(store.list().size(), std::size_t(1));
    // Its count and levels, counted once from its points.
    QCOMPARE(store.list().front().pointCount, 2);
    QVERIFY(store.list().front().levels == (LevelSpan{-1.0, 1.0}));
    const auto stored = store.load(7);
    QVERIFY(stored && stored->run.message == "Sweep complete: 2 points.");
    QCOMPARE(stored->run.points, (IVPointList{{-1.0, -0.001}, {1.0, 0.001}}));
    QVERIFY(stored->run.settings.settleMs == 0 &&
            stored->run.settings.meterRate == MeterRate::Medium);
    QVERIFY(stored->note.isEmpty() && store.setNote(7, "kept"));
    QVERIFY(store.beginRun(sampleRun(), "Kestrel", thisProcess()) == 8);

    RunFit fit{analysis::Model::Diode, 0.3, std::nullopt, -12.5, true, {}, QDateTime()};
    fit.quantities = {{"Is", 1.02e-12, 3e-14, "A"},
                      {"FF", -0.0, std::nullopt, ""},
                      {"Rsh", 0.0, analysis::undeterminedError, "Ohm"}};
    QVERIFY(store.addFit(7, fit) && store.addFit(7, RunFit{}) && store.addFit(8, fit));
    QVERIFY(!store.addFit(99, fit));
    const std::vector<RunFit> fits = store.load(7)->run.fits;
    QCOMPARE(fits.size(), std::size_t(2));
    const RunFit& back = fits.front();
    QVERIFY(back.model == analysis::Model::Diode && back.fromVolts == 0.3 && !back.toVolts &&
            back.temperatureC == -12.5 && back.shunt && fits.back().quantities.empty());
    QCOMPARE(back.quantities.size(), std::size_t(3));
    const analysis::Quantity &is = back.quantities[0], &ff = back.quantities[1];
    QVERIFY(is.name == "Is" && is.value == 1.02e-12 && is.error == 3e-14 && is.unit == "A");
    QVERIFY(ff.name == "FF" && std::signbit(ff.value) && !ff.error && ff.unit.empty());
    QVERIFY(back.quantities[2].determined() == false); // its infinite error kept as such
    QVERIFY(store.remove(7));
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "count");
    db.setDatabaseName(path);
    QVERIFY(db.open());
    QSqlQuery left(db);
    QVERIFY(
        left.exec("SELECT (SELECT count(*) FROM fits), (SELECT count(*) FROM fit_quantities)") &&
        left.next());
    QCOMPARE(left.value(0).toInt(), 1); // run 8's
    QCOMPARE(left.value(1).toInt(), 3);
}

void TestStore::leavesAStoreANewerKestrelMigratedMeanwhile()
{
    // An older store, held under the write lock by a newer Kestrel migrating it: this one
    // read the old version, waits for the lock, and then finds the newer version.
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.sqlite");
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "newer");
    db.setDatabaseName(path);
    QVERIFY(db.open());
    QSqlQuery newer(db);
    for (int version = 0; version < 4; ++version)
        for (const char* statement : schemaStep(version))
            QVERIFY2(newer.exec(statement), qPrintable(newer.lastError().text()));
    // As every store that was opened once is.
    QVERIFY(newer.exec("PRAGMA journal_mode = WAL") && newer.exec("PRAGMA user_version = 4") &&
            newer.exec("BEGIN IMMEDIATE"));

    QString refused;
    std::thread opening([&] { refused = RunDatabase(path).open(); });
    QThread::msleep(500); // it has read version 4 and waits for the lock
    const int version = RunDatabase::schemaVersion + 1;
    QVERIFY(newer.exec(QString("PRAGMA user_version = %1").arg(version)) && newer.exec("COMMIT"));
    opening.join();
    QVERIFY2(refused.contains(QString("was written by a newer Kestrel (store version %1; this one "
                                      "knows up to %2); it was left as it is")
                                  .arg(version)
                                  .arg(version - 1)),
             qPrintable(refused));
    QVERIFY(newer.exec("PRAGMA user_version") && newer.next());
    QCOMPARE(newer.value(0).toInt(), version);
    newer.finish();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase("newer");
}

void TestStore::marksWhatOlderImportsNeverRecorded_data()
{
    QTest::addColumn<QString>("values"); // state, endpoints, identities, levels, steps, ...
    QTest::addColumn<int>("notRecorded");
    const QString defaults = "0.0, 0.0, 1, 'linear', 0, NULL, 0, 'medium'";
    const QString instruments = "'127.0.0.2', '5555', 'A,B,1,2', '127.0.0.3', '5555', 'C,D,3,4', ";
    const QString noInstruments = "'', '', '', '', '', '', ";
    QTest::newRow("a one-line file")
        << "'imported', " + noInstruments + defaults << int(everyRunDetail.toInt());
    QTest::newRow("a CSV at the defaults") << "'imported', " + instruments + defaults << 0;
    QTest::newRow("a CSV without instruments")
        << "'imported', " + noInstruments + "-1.0, 1.0, 4, 'dual', 2, NULL, 0, 'medium'" << 15;
    QTest::newRow("with a limit") << "'imported', " + noInstruments +
                                         "0.0, 0.0, 1, 'linear', 0, 0.5, 0, 'medium'"
                                  << 15;
    QTest::newRow("a slow one") << "'imported', " + noInstruments +
                                       "0.0, 0.0, 1, 'linear', 0, NULL, 0, 'slow'"
                                << 15;
    QTest::newRow("measured") << "'completed', " + noInstruments + defaults << 0;
}

// A store of before what a run lacks was kept: only an import certain to have recorded
// nothing else reads "not recorded"; every run stays readable.
void TestStore::marksWhatOlderImportsNeverRecorded()
{
    QFETCH(QString, values);
    QFETCH(int, notRecorded);
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.sqlite");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "v3");
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QSqlQuery query(db);
        for (int version = 0; version < 3; ++version)
            for (const char* statement : schemaStep(version))
                QVERIFY(query.exec(statement));
        QVERIFY2(query.exec("INSERT INTO runs (program, started, state, source_address, "
                            "source_port, source_identity, meter_address, meter_port, "
                            "meter_identity, start_v, stop_v, steps, shape, range_index, limit_a, "
                            "settle_ms, meter_rate) VALUES ('Kestrel', "
                            "'2026-12-01T10:00:00.000+01:00', " +
                            values + ")") &&
                     query.exec("INSERT INTO points VALUES (1, 0, 0.1, 1e-05, 0)") &&
                     query.exec("PRAGMA user_version = 3"),
                 qPrintable(query.lastError().text()));
        db.close();
    }
    QSqlDatabase::removeDatabase("v3");
    RunDatabase store(path);
    QCOMPARE(store.open(), QString());
    const auto stored = store.load(1);
    QVERIFY(stored && stored->run.points == (IVPointList{{0.1, 1e-05}}));
    QCOMPARE(int(stored->run.notRecorded.toInt()), notRecorded);
    QVERIFY(stored->pointCount == 1 && stored->levels == (LevelSpan{0.1, 0.1}));
    // Named for the lab as it is brought up to date, unlike any run after it, and waiting
    // for the lab store until it has this revision; a later note makes it wait again.
    static const QRegularExpression uuid(
        "^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
    QVERIFY2(uuid.match(stored->uuid).hasMatch(), qPrintable(stored->uuid));
    const qint64 later = store.beginRun(Run{}, "tst_store", ProcessId{});
    QVERIFY(later && store.load(later)->uuid != stored->uuid && store.unpublished().size() == 1);
    QVERIFY(store.markPublished(1, stored->revision) && store.unpublished().empty());
    QVERIFY(store.setNote(1, "seen") && store.unpublished().size() == 1);
}

void TestStore::aRunBeingRecordedIsNotDeleted_data()
{
    QTest::addColumn<bool>("ownerLives");
    QTest::addColumn<bool>("ended");
    QTest::addColumn<bool>("deleted");
    QTest::newRow("still recording") << true << false << false;
    QTest::newRow("ended") << true << true << true;
    QTest::newRow("its program gone") << false << false << true;
}

// A sweep still recording into a run would fail on its next point: the run stays, and
// the refusal says why.
void TestStore::aRunBeingRecordedIsNotDeleted()
{
    QFETCH(bool, ownerLives);
    QFETCH(bool, ended);
    QFETCH(bool, deleted);
    QTemporaryDir dir;
    RunDatabase store(dir.filePath("runs.sqlite"));
    QCOMPARE(store.open(), QString());
    Run run = sampleRun();
    const qint64 id =
        store.beginRun(run, "Kestrel", ownerLives ? thisProcess() : ProcessId{999999999, 1});
    QVERIFY(store.addPoint(id, 0, 1.0, 2.0, 0));
    if (ended) {
        run.outcome = Run::Outcome::Completed;
        QVERIFY(store.finishRun(id, run));
    }
    QCOMPARE(store.remove(id), deleted);
    QCOMPARE(store.load(id).has_value(), !deleted);
    if (!deleted) // the reason, and the sweep goes on
        QVERIFY(store.lastError().startsWith(
                    QString("run %1 is still being recorded by process ").arg(id)) &&
                store.addPoint(id, 1, 1.5, 2.5, 100));
}

// A store SQLite finds malformed is not written into, even where its pages are whole:
// the recorder says so as for any store it cannot use, and the file stays as it was.
void TestStore::aMalformedStoreIsLeftAsItIs()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.sqlite");
    {
        RunDatabase store(path);
        QCOMPARE(store.open(), QString());
        Run run = sampleRun();
        run.points.assign(2000, IVPoint{1.0, 2.0});
        QVERIFY(store.importRun(run, "Kestrel") && store.checkpoint());
    }
    {
        // Garbage over a page in the middle of the points.
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite) && file.size() > 16 * 4096 &&
                file.seek(file.size() / 4096 / 2 * 4096));
        QCOMPARE(file.write(QByteArray(4096, '\x5a')), qint64(4096));
    }
    const QByteArray before = contents(path);
    {
        RunRecorder recorder(path, "Kestrel");
        QSignalSpy failed(&recorder, &RunRecorder::failed);
        Run run = sampleRun();
        recorder.begin(run);
        recorder.keepPoint(0, 1.0, 2.0, 0);
        run.outcome = Run::Outcome::Completed;
        recorder.finish(run);
        QVERIFY(failed.wait(5000) && !recorder.isKeeping());
        const QString message = failed.first().at(0).toString();
        QVERIFY2(message.startsWith("Runs are not being kept: " + path + " is damaged (") &&
                     message.endsWith("); it was left as it is"),
                 qPrintable(message));
    }
    QVERIFY(contents(path) == before);
}

// Two programs starting at once on a store that does not exist yet: one makes it, the
// other waits for it and takes it for what it is, and both keep their runs.
void TestStore::twoProgramsMakeOneStore()
{
    QTemporaryDir dir;
    for (int attempt = 0; attempt < 30; ++attempt) {
        const QString path = dir.filePath(QString("runs-%1.sqlite").arg(attempt));
        int go[2];
        QCOMPARE(pipe(go), 0);
        pid_t programs[2];
        for (pid_t& program : programs) {
            program = fork();
            if (program == 0) {
                ::close(go[1]);
                char byte;
                [[maybe_unused]] const auto n = ::read(go[0], &byte, 1); // both at once
                RunDatabase store(path);
                const bool kept = store.open().isEmpty() &&
                                  store.beginRun(sampleRun(), "Kestrel", thisProcess()) != 0;
                qWarning("%s", qPrintable(store.lastError()));
                _exit(kept ? 0 : 1);
            }
        }
        ::close(go[0]);
        ::close(go[1]); // end of file: both read on
        for (int status = 0; const pid_t program : programs)
            QVERIFY(program > 0 && waitpid(program, &status, 0) == program && WIFEXITED(status) &&
                    WEXITSTATUS(status) == 0);
        RunDatabase store(path);
        QCOMPARE(store.open(), QString());
        QCOMPARE(store.list().size(), std::size_t(2));
    }
}

QTEST_GUILESS_MAIN(TestStore)
#include "tst_store.moc"
