#include "historybench.h"

#include "app/historypanel.h"
#include "app/mainwindow.h"
#include "benchsupport.h"
#include "controller/sweepengine.h"
#include "simulatedinstruments.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTreeView>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace kestrel::bench
{

namespace
{

constexpr double stallTargetMs = 16;
constexpr double paintedTargetMs = 1000;
constexpr double listTargetMs = 100;
constexpr int sweeps = 3;
constexpr int noteEdits = 6;
constexpr int listings = 7;
constexpr int labelWidth = 44;
// The run the benchmark reports to the process that started it, for the window's start.
const QString paintedOption = QStringLiteral("--painted-history");

void printError(const QString& text)
{
    bench::printError("history", text);
}

QString verdict(double ms, double target)
{
    return ms <= target ? QStringLiteral("met") : QStringLiteral("MISSED");
}

qint64 storeBytes(const QString& path)
{
    qint64 bytes = 0;
    for (const char* suffix : {"", "-wal", "-shm"})
        bytes += QFileInfo(path + QLatin1String(suffix)).size();
    return bytes;
}

// Runs of a 1 kOhm resistor from -1 V to 1 V, four hours apart: their rows through the
// store's own calls, their points in one statement for every 50 runs. With curves, every
// other group of that many runs is a family, stepped from 1 V by 0.5 V.
bool buildStore(const QString& path, int runs, int points, int curves, QString* error)
{
    RunDatabase store(path);
    if (const QString problem = store.open(); !problem.isEmpty()) {
        *error = problem;
        return false;
    }
    Run run;
    run.settings = SweepSettings();
    run.settings.source = Endpoint{QStringLiteral("127.0.0.2"), QStringLiteral("5555")};
    run.settings.meter = Endpoint{QStringLiteral("127.0.0.3"), QStringLiteral("5555")};
    run.settings.plan = SweepPlan{-1.0, 1.0, points - 1, SweepShape::Linear};
    run.settings.rangeIndex = 2;
    run.sourceIdentity = QStringLiteral("Kestrel,BENCH-SOURCE,1,0");
    run.meterIdentity = QStringLiteral("Kestrel,BENCH-METER,2,0");
    const QDateTime first = QDateTime::currentDateTime().addSecs(-qint64(runs) * 4 * 3600);
    std::vector<qint64> ids;
    for (int i = 0; i < runs; ++i) {
        run.started = first.addSecs(qint64(i) * 4 * 3600);
        run.settings.step.reset();
        if (curves > 0 && (i / curves) % 2 == 1)
            run.settings.step = FamilyStep{QStringLiteral("bench-%1").arg(i / curves),
                                           i % curves,
                                           curves,
                                           1.0 + 0.5 * (i % curves),
                                           {},
                                           {},
                                           {},
                                           {}};
        ids.push_back(store.beginRun(run, QStringLiteral("kestrel-bench"), ProcessId{}));
        if (ids.back() == 0) {
            *error = store.lastError();
            return false;
        }
    }
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("historybench"));
        db.setDatabaseName(path);
        QSqlQuery query(db);
        bool ok = db.open() && query.exec(QStringLiteral("PRAGMA synchronous = OFF"));
        // CROSS JOIN keeps the runs outside, so the points go in in their key's order.
        ok = ok &&
             query.prepare(
                 QStringLiteral(
                     "WITH RECURSIVE i(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM i WHERE n < "
                     "%1) INSERT INTO points (run, idx, level, current, ms) SELECT runs.id, i.n, "
                     "-1.0 + 2.0 * i.n / %1, (-1.0 + 2.0 * i.n / %1) * (1e-3 + runs.id * 1e-9), "
                     "i.n * 100 FROM runs CROSS JOIN i WHERE runs.id BETWEEN ? AND ?")
                     .arg(points - 1));
        for (std::size_t at = 0; ok && at < ids.size(); at += 50) {
            query.addBindValue(ids[at]);
            query.addBindValue(ids[std::min(at + 50, ids.size()) - 1]);
            ok = db.transaction() && query.exec() && db.commit();
        }
        if (!ok)
            *error = query.lastError().isValid() ? query.lastError().text() : db.lastError().text();
        query = QSqlQuery();
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("historybench"));
        if (!ok)
            return false;
    }
    run.outcome = Run::Outcome::Completed;
    run.outputOff = true;
    run.message = QStringLiteral("Sweep complete: %1 points.").arg(points);
    for (int i = 0; i < runs; ++i) {
        run.started = first.addSecs(qint64(i) * 4 * 3600);
        run.ended = run.started.addMSecs(qint64(points) * 100);
        if (!store.finishRun(ids[std::size_t(i)], run)) {
            *error = store.lastError();
            return false;
        }
    }
    store.checkpoint();
    return true;
}

// Standard output to /dev/null while the window prints its home folder as it loads.
struct QuietStdout {
    QuietStdout() : saved(dup(STDOUT_FILENO))
    {
        std::fflush(stdout);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    void restore()
    {
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
    }
    int saved;
};

// The window of the program on the store, shown, its replies and questions answered
// here.
struct ShownWindow {
    ShownWindow(const QString& storePath, std::unique_ptr<InstrumentLink> link)
        : window(home.path(),
                 std::make_unique<QSettings>(home.filePath(QStringLiteral("k.conf")),
                                             QSettings::IniFormat),
                 std::move(link),
                 SessionOptions{storePath, QStringLiteral("kestrel-bench"), false, {}})
    {
        quiet.restore();
        window.controller().printLine = [](const QString&) {};
        window.controller().confirm = [](const QString&) { return true; };
        window.resize(1100, 720);
        window.show();
    }
    RunHistoryModel& model() { return *window.history().model(); }
    QTreeView& table() { return *window.history().table(); }
    template <typename T> T* find(const char* name)
    {
        return window.findChild<T*>(QLatin1String(name));
    }

    QTemporaryDir home;
    QuietStdout quiet;
    MainWindow window;
};

// Notes the end of the first paint of a view that shows rows.
class PaintWatch : public QObject
{
  public:
    PaintWatch(QWidget* viewport, const RunHistoryModel& model) : model_(model)
    {
        viewport->installEventFilter(this);
    }
    bool painted() const { return painted_; }

  protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && model_.rowCount() > 0 && !seen_) {
            seen_ = true; // the paint runs now; the loop's next turn comes after it
            QMetaObject::invokeMethod(
                this, [this] { painted_ = true; }, Qt::QueuedConnection);
        }
        return false;
    }

  private:
    const RunHistoryModel& model_;
    bool seen_ = false;
    bool painted_ = false;
};

// In the process started for it: the window on the store until its history is painted;
// prints "painted MS", the milliseconds from the window's construction.
int paintedHistory(const QString& storePath)
{
    QElapsedTimer clock;
    clock.start();
    auto link = std::make_unique<SimulatedInstruments>(QStringLiteral("resistor:1000"));
    ShownWindow shown(storePath, std::move(link));
    PaintWatch watch(shown.table().viewport(), shown.model());
    if (!waitUntil([&] { return watch.painted(); }, 60000))
        return 1;
    std::printf("painted %.1f\n", double(clock.nsecsElapsed()) / 1e6);
    std::fflush(stdout);
    return 0;
}

struct StartFigures {
    double processMs = 0; // from starting the process to the line that says it painted
    double windowMs = 0;  // the same from the window's construction, inside it
};

bool timeStart(const QString& storePath, StartFigures* figures)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!environment.contains(QStringLiteral("QT_QPA_PLATFORM")))
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QGuiApplication::platformName());
    child.setProcessEnvironment(environment);
    QElapsedTimer clock;
    clock.start();
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("history"), paintedOption, storePath});
    QByteArray line;
    while (!line.startsWith("painted ") && child.waitForReadyRead(60000))
        while (child.canReadLine() && !line.startsWith("painted "))
            line = child.readLine().trimmed();
    figures->processMs = double(clock.nsecsElapsed()) / 1e6;
    child.waitForFinished(10000);
    if (!line.startsWith("painted ")) {
        printError(QStringLiteral("the window started for its history never painted it"));
        return false;
    }
    bool ok = false;
    figures->windowMs = line.sliced(8).toDouble(&ok);
    if (!ok) {
        printError(QStringLiteral("the window started for its history said \"%1\"")
                       .arg(QString::fromUtf8(line)));
        return false;
    }
    return true;
}

bool timeListing(const QString& storePath, int runs, std::vector<double>* ms)
{
    for (int i = 0; i < listings; ++i) {
        QProcess tool;
        tool.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QElapsedTimer clock;
        clock.start();
        tool.start(toolPath(QStringLiteral("kestrel-runs")),
                   {QStringLiteral("--store"), storePath, QStringLiteral("list")});
        const bool done = tool.waitForFinished(60000);
        ms->push_back(double(clock.nsecsElapsed()) / 1e6);
        const QByteArray out = tool.readAllStandardOutput();
        if (!done || tool.exitCode() != 0 || out.count('\n') < runs + 1) {
            printError(QStringLiteral("kestrel-runs list failed or listed too little (%1 lines)")
                           .arg(out.count('\n')));
            return false;
        }
    }
    return true;
}

// What the probe and the event log saw in one phase: the longest stall, and the longest
// events delivered (the blocks themselves).
struct Stall {
    double lateMs = 0;
    std::vector<EventLog::Entry> longest; // longest first
    double worst() const { return std::max(lateMs, longest.empty() ? 0.0 : longest[0].ms); }
};

Stall stallIn(const StallProbe& probe, const EventLog& events, int phase)
{
    Stall stall{probe.worst(phase, phase).lateMs, {}};
    for (const EventLog::Entry& entry : events.entries())
        if (entry.tag == phase)
            stall.longest.push_back(entry);
    std::sort(stall.longest.begin(), stall.longest.end(),
              [](const auto& a, const auto& b) { return a.ms > b.ms; });
    stall.longest.resize(std::min<std::size_t>(stall.longest.size(), 3));
    return stall;
}

void printStall(const QString& label, const Stall& stall)
{
    QStringList events;
    for (const EventLog::Entry& entry : stall.longest)
        events << EventLog::describe(entry);
    print(QStringLiteral("  %1 %2 ms (target <= %3 ms: %4)\n      probe %5 ms; longest events: "
                         "%6\n")
              .arg(label, -labelWidth)
              .arg(stall.worst(), 0, 'f', 2)
              .arg(stallTargetMs, 0, 'f', 0)
              .arg(verdict(stall.worst(), stallTargetMs))
              .arg(stall.lateMs, 0, 'f', 2)
              .arg(events.isEmpty() ? QStringLiteral("none over 0.5 ms")
                                    : events.join(QStringLiteral("; "))));
}

enum Phase { Idle, Fetching, Sweeping, SweepEnded, NoteEdited };

// The runs listed, a family's curves each counted.
int listedRuns(const RunHistoryModel& model)
{
    int runs = 0;
    for (int row = 0; row < model.rowCount(); ++row)
        runs += int(model.idsAt(row).size());
    return runs;
}

// The window on the store: every run listed, sweeps that end, notes edited.
bool inTheWindow(const QString& storePath, int runs, int points, Stall* fetched, Stall* ended,
                 Stall* noted)
{
    auto link = std::make_unique<SimulatedInstruments>(QStringLiteral("resistor:1000"));
    ShownWindow shown(storePath, std::move(link));
    RunHistoryModel& model = shown.model();
    QTreeView& table = shown.table();
    if (!waitUntil([&] { return model.rowCount() > 0; }, 60000)) {
        printError(QStringLiteral("the history listed nothing"));
        return false;
    }
    int phase = Idle;
    StallProbe probe([&phase] { return phase; });
    EventLog events([&phase] { return phase; });
    probe.start();
    spinFor(1500); // the latest runs drawn on the chart as the window shows them

    // Scrolled to the end, page after page, as a user would.
    phase = Fetching;
    if (!waitUntil(
            [&] {
                table.scrollToBottom();
                return !model.canFetchMore(QModelIndex()) && listedRuns(model) >= runs;
            },
            120000)) {
        printError(QStringLiteral("only %1 runs were listed").arg(listedRuns(model)));
        return false;
    }
    spinFor(200);

    ViewController& vc = shown.window.controller();
    shown.find<QLineEdit>("sourceip")->setText(QStringLiteral("127.0.0.2"));
    shown.find<QLineEdit>("sourceport")->setText(QStringLiteral("5555"));
    shown.find<QLineEdit>("drainip")->setText(QStringLiteral("127.0.0.3"));
    shown.find<QLineEdit>("drainport")->setText(QStringLiteral("5555"));
    shown.find<QPushButton>("sourceIdentify")->click();
    shown.find<QPushButton>("drainIdentify")->click();
    if (!waitUntil(
            [&] {
                return vc.session().isIdentified(Session::Which::Source) &&
                       vc.session().isIdentified(Session::Which::Meter);
            },
            10000)) {
        printError(QStringLiteral("the instruments were not identified"));
        return false;
    }
    shown.find<QLineEdit>("IVstart")->setText(QStringLiteral("-1"));
    shown.find<QLineEdit>("IVstop")->setText(QStringLiteral("1"));
    shown.find<QLineEdit>("IVsteps")->setText(QString::number(points - 1));
    shown.find<QComboBox>("drainSensitivity")->setCurrentIndex(2);
    vc.sweep().setTickInterval(0);
    QObject::connect(&vc.sweep(), &SweepEngine::finished, &vc, [&phase] { phase = SweepEnded; });
    for (int i = 0; i < sweeps; ++i) {
        phase = Sweeping;
        const qint64 newest = model.idAt(0);
        shown.find<QPushButton>("ivRun")->click();
        // Its row finished: the sweep's own, newest first, no longer running.
        if (!waitUntil(
                [&] {
                    return phase == SweepEnded && model.idAt(0) > newest &&
                           model.index(0, RunHistoryModel::Outcome).data().toString() ==
                               QLatin1String("completed");
                },
                600000)) {
            printError(QStringLiteral("sweep %1 did not end as completed").arg(i + 1));
            return false;
        }
        spinFor(500); // the store's end of the run, and whatever follows it
    }

    int changed = 0;
    QObject::connect(&model, &QAbstractItemModel::dataChanged, &model, [&changed] { ++changed; });
    for (int i = 0; i < noteEdits; ++i) {
        phase = Idle;
        // Newest to oldest, on a run's own row: a family's row has no note.
        int row = i * (model.rowCount() - 1) / (noteEdits - 1);
        while (row > 0 && model.index(row, 0).data(RunHistoryModel::familyRole).isValid())
            --row;
        const QModelIndex note = model.index(row, RunHistoryModel::Note);
        table.scrollTo(note);
        spinFor(100);
        table.edit(note);
        auto* editor = table.viewport()->findChild<QLineEdit*>();
        if (!editor) {
            printError(QStringLiteral("no editor opened on the note of row %1").arg(row));
            return false;
        }
        const QString text = QStringLiteral("note %1 of the benchmark").arg(i + 1);
        editor->setText(text);
        changed = 0;
        phase = NoteEdited;
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(editor, &enter);
        // Shown at once, then as the store kept it.
        if (!waitUntil([&] { return changed >= 2; }, 10000) ||
            model.index(row, RunHistoryModel::Note).data().toString() != text) {
            printError(QStringLiteral("the note of row %1 was not kept").arg(row));
            return false;
        }
        spinFor(300);
    }
    probe.stop();
    *fetched = stallIn(probe, events, Fetching);
    *ended = stallIn(probe, events, SweepEnded);
    *noted = stallIn(probe, events, NoteEdited);
    return true;
}

// The store taken back to version 4, then opened: the migration counts every point.
double timeMigration(const QString& storePath, QString* error)
{
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("historyold"));
        db.setDatabaseName(storePath);
        QSqlQuery query(db);
        bool ok = db.open();
        for (const char* statement :
             {"ALTER TABLE runs DROP COLUMN point_count", "ALTER TABLE runs DROP COLUMN lowest_v",
              "ALTER TABLE runs DROP COLUMN highest_v", "PRAGMA user_version = 4"})
            ok = ok && query.exec(QLatin1String(statement));
        if (!ok)
            *error = query.lastError().text();
        query = QSqlQuery();
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("historyold"));
        if (!ok)
            return -1;
    }
    QElapsedTimer clock;
    clock.start();
    RunDatabase store(storePath);
    if (const QString problem = store.open(); !problem.isEmpty()) {
        *error = problem;
        return -1;
    }
    return double(clock.nsecsElapsed()) / 1e6;
}

} // namespace

int runHistoryBenchmark(const QStringList& args)
{
    if (args.size() == 2 && args[0] == paintedOption)
        return paintedHistory(args[1]);
    int runs = 2000;
    int points = 5000;
    int curves = 0;
    if (!parseOptions(args,
                      {{"--runs", &runs, 1}, {"--points", &points, 2}, {"--family", &curves, 0}})) {
        printError(QStringLiteral("usage: kestrel-bench history [--runs N] [--points N] "
                                  "[--family C] (N runs from 1, of N points from 2; half of "
                                  "them in families of C curves)"));
        return 2;
    }
    print(QStringLiteral("kestrel-bench history: %1 runs of %2 points%3, the window's history "
                         "and kestrel-runs list (%4 platform)\n")
              .arg(runs)
              .arg(points)
              .arg(curves > 0 ? QStringLiteral(", half in families of %1 curves").arg(curves)
                              : QString())
              .arg(QGuiApplication::platformName()));
    print(machineLine());
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("runs.sqlite"));
    QElapsedTimer clock;
    clock.start();
    QString error;
    if (!dir.isValid() || !buildStore(path, runs, points, curves, &error)) {
        printError(QStringLiteral("the store was not built: %1").arg(error));
        return 1;
    }
    print(QStringLiteral("  the store: %1 points, %2 MB, built in %3 s\n")
              .arg(qint64(runs) * points)
              .arg(double(storeBytes(path)) / 1e6, 0, 'f', 0)
              .arg(double(clock.elapsed()) / 1000, 0, 'f', 1));

    StartFigures start;
    std::vector<double> listMs;
    Stall fetched, ended, noted;
    if (!timeStart(path, &start) || !timeListing(path, runs, &listMs) ||
        !inTheWindow(path, runs, points, &fetched, &ended, &noted))
        return 1;
    // Said at the end: the figures above stand without it.
    const double migrationMs = timeMigration(path, &error);

    const Summary listing = summarize(listMs);
    print(QStringLiteral("\n"));
    printStall(QStringLiteral("stall after a sweep ends (%1 sweeps)").arg(sweeps), ended);
    printStall(QStringLiteral("stall after a note edit (%1 edits)").arg(noteEdits), noted);
    printStall(QStringLiteral("stall while every run is listed"), fetched);
    print(QStringLiteral("  %1 %2 ms (target <= %3 ms: %4); %5 ms from the window's "
                         "construction\n")
              .arg(QStringLiteral("start of the window to its history painted"), -labelWidth)
              .arg(start.processMs, 0, 'f', 0)
              .arg(paintedTargetMs, 0, 'f', 0)
              .arg(verdict(start.processMs, paintedTargetMs))
              .arg(start.windowMs, 0, 'f', 0));
    print(QStringLiteral("  %1 %2 ms median of %3 (target <= %4 ms: %5); max %6 ms\n")
              .arg(QStringLiteral("kestrel-runs list, a process of its own"), -labelWidth)
              .arg(listing.median, 0, 'f', 1)
              .arg(listings)
              .arg(listTargetMs, 0, 'f', 0)
              .arg(verdict(listing.median, listTargetMs))
              .arg(listing.max, 0, 'f', 1));
    if (migrationMs < 0) {
        printError(QStringLiteral("the store from version 4 did not open: %1").arg(error));
        return 1;
    }
    print(QStringLiteral("  %1 %2 s (once, on the store's threads)\n")
              .arg(QStringLiteral("migrating the store from version 4"), -labelWidth)
              .arg(migrationMs / 1000, 0, 'f', 1));
    const bool met = ended.worst() <= stallTargetMs && noted.worst() <= stallTargetMs &&
                     start.processMs <= paintedTargetMs && listing.median <= listTargetMs;
    return met ? 0 : 3;
}

} // namespace kestrel::bench
