#include "storebench.h"

#include "benchsupport.h"
#include "controller/sweepdescription.h"
#include "controller/sweepengine.h"
#include "link/workqueue.h"
#include "simulatedinstruments.h"
#include "store/runrecorder.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <atomic>
#include <thread>

namespace kestrel::bench
{

namespace
{

constexpr double targetMs = 1.0;

qint64 storeBytes(const QString& path)
{
    qint64 bytes = 0;
    for (const char* suffix : {"", "-wal", "-shm"})
        bytes += QFileInfo(path + QLatin1String(suffix)).size();
    return bytes;
}

// Another program writing to the store: it holds it (BEGIN EXCLUSIVE) for holdMs, lets
// go for freeMs, and again, until stopped.
class CompetingWriter
{
  public:
    static constexpr int holdMs = 3000;
    static constexpr int freeMs = 1000;

    explicit CompetingWriter(const QString& path)
        : thread_([this, path] {
              const QString name = QStringLiteral("kestrel-bench-competitor");
              {
                  QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
                  db.setDatabaseName(path);
                  db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
                  QSqlQuery query(db);
                  while (db.open() && !stop_) {
                      if (query.exec(QStringLiteral("BEGIN EXCLUSIVE"))) {
                          ++holds_;
                          pause(holdMs);
                          query.exec(QStringLiteral("COMMIT"));
                      }
                      pause(freeMs);
                  }
              }
              QSqlDatabase::removeDatabase(name);
          })
    {
    }
    ~CompetingWriter()
    {
        stop_ = true;
        thread_.join();
    }
    int holds() const { return holds_; }

  private:
    void pause(int ms)
    {
        for (int waited = 0; waited < ms && !stop_; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::atomic<bool> stop_ = false;
    std::atomic<int> holds_ = 0;
    std::thread thread_;
};

// A sweep at the 0.1 s tick against the simulated instruments, every point kept in the
// store at path: the intervals between its points as the engine timed them, and how many
// points the store holds once the recorder has written everything.
struct PacedSweep {
    std::vector<double> intervalMs;
    int measured = 0;
    int kept = 0;
    bool completed = false;
    int holds = 0;
};

PacedSweep pacedSweep(const QString& path, int steps, bool competitor)
{
    PacedSweep result;
    SimulatedInstruments link(QStringLiteral("resistor:1000"));
    WorkQueue queue;
    SweepEngine engine(queue, link);
    RunRecorder recorder(path, QStringLiteral("kestrel-bench"));
    std::mutex mutex;
    qint64 lastMs = -1;
    engine.setPointKeeper([&](int index, double volt, double amps, qint64 ms, int, double) {
        recorder.keepPoint(index, volt, amps, ms);
        std::lock_guard lock(mutex);
        if (lastMs >= 0)
            result.intervalMs.push_back(double(ms - lastMs));
        lastMs = ms;
    });
    qint64 id = 0;
    QObject::connect(&recorder, &RunRecorder::begun, &engine, [&id](qint64 begun) { id = begun; });
    QObject::connect(&engine, &SweepEngine::started, &engine,
                     [&] { recorder.begin(*engine.run()); });
    QEventLoop loop;
    QObject::connect(&engine, &SweepEngine::finished, &loop, [&](Run::Outcome outcome) {
        result.completed = outcome == Run::Outcome::Completed;
        recorder.finish(*engine.run());
        loop.quit();
    });
    std::optional<CompetingWriter> writer;
    SweepSettings settings;
    settings.source = SimulatedInstruments::source;
    settings.meter = SimulatedInstruments::meter;
    settings.plan = SweepPlan{0.0, 1.0, steps, SweepShape::Linear};
    settings.rangeIndex = 2;
    if (!engine.start(settings, QStringLiteral("Kestrel,SIM-SOURCE,0,1"),
                      QStringLiteral("Kestrel,SIM-METER,0,1")))
        return result;
    if (competitor)
        writer.emplace(path);
    loop.exec();
    if (writer) {
        result.holds = writer->holds();
        writer.reset();
    }
    result.measured = engine.pointsDone();
    recorder.waitUntilWritten(60000);
    QCoreApplication::processEvents(); // the run's id
    RunDatabase reader(path);
    if (reader.open().isEmpty())
        if (const auto stored = reader.load(id);
            stored && stored->run.outcome == Run::Outcome::Completed)
            result.kept = int(stored->run.points.size());
    return result;
}

} // namespace

int runStoreBenchmark(const QStringList& args)
{
    int points = 100000;
    int sweepSteps = 150;
    if (!parseOptions(args, {{"--points", &points, 1}, {"--sweep-steps", &sweepSteps, 1}})) {
        printError("store",
                   QStringLiteral("usage: kestrel-bench store [--points N] [--sweep-steps N]"));
        return 2;
    }
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("runs.sqlite"));
    Run run;
    run.settings.plan = SweepPlan{0.0, 10.0, points - 1, SweepShape::Linear};
    run.started = QDateTime::currentDateTime();
    const auto current = [](int i) { return 1e-12 * std::exp(i * 1e-4) - 1e-12; };

    // On the store's own thread: what committing one point costs.
    std::vector<double> commitMs;
    commitMs.reserve(std::size_t(points));
    qint64 id = 0;
    {
        RunDatabase store(path);
        if (const QString problem = store.open(); !problem.isEmpty()) {
            printError("store", problem);
            return 1;
        }
        id = store.beginRun(run, QStringLiteral("kestrel-bench"), thisProcess());
        for (int i = 0; i < points; ++i) {
            const Clock::time_point start = Clock::now();
            if (!store.addPoint(id, i, run.settings.plan.levelAt(i), current(i), i * 100)) {
                printError("store", store.lastError());
                return 1;
            }
            commitMs.push_back(msSince(start));
        }
        run.ended = QDateTime::currentDateTime();
        run.outcome = Run::Outcome::Completed;
        store.finishRun(id, run);
    }
    const qint64 bytes = storeBytes(path);

    // From the sweep's thread: handing a point over and waiting for its commit.
    std::vector<double> keepMs;
    const int handed = std::min(points, 10000);
    {
        RunRecorder recorder(dir.filePath(QStringLiteral("second.sqlite")),
                             QStringLiteral("kestrel-bench"));
        recorder.begin(run);
        for (int i = 0; i < handed; ++i) {
            const Clock::time_point start = Clock::now();
            recorder.keepPoint(i, run.settings.plan.levelAt(i), current(i), i * 100);
            keepMs.push_back(msSince(start));
        }
        if (!recorder.problem().isEmpty()) {
            printError("store", recorder.problem());
            return 1;
        }
    }

    Clock::time_point start = Clock::now();
    RunDatabase reader(path);
    std::optional<StoredRun> stored;
    if (reader.open().isEmpty())
        stored = reader.load(id);
    const double loadMs = msSince(start);
    if (!stored || int(stored->run.points.size()) != points) {
        printError("store",
                   QStringLiteral("the run did not read back: %1").arg(reader.lastError()));
        return 1;
    }
    start = Clock::now();
    const WriteResult csv =
        exportRunCsv(stored->program, dir.filePath(QStringLiteral("run.csv")), stored->run);
    const double csvMs = msSince(start);
    start = Clock::now();
    const WriteResult txt = saveRun(dir.filePath(QStringLiteral("run.txt")), stored->run);
    const double txtMs = msSince(start);
    if (!csv.ok || !txt.ok) {
        printError("store", csv.ok ? txt.message : csv.message);
        return 1;
    }

    const Summary commit = summarize(commitMs);
    print(QStringLiteral("kestrel-bench store: %1 points, one commit each (WAL, synchronous "
                         "NORMAL)\n")
              .arg(points));
    print(machineLine());
    constexpr int width = 44;
    print(summaryHeader(width));
    print(summaryRow(QStringLiteral("a point, on the store's thread"), commit, width));
    print(summaryRow(QStringLiteral("a point, from the sweep's thread (%1)").arg(handed),
                     summarize(keepMs), width));
    print(QStringLiteral("  p99 on the store's thread       %1 ms (target <= %2 ms: %3)\n")
              .arg(commit.p99, 0, 'f', 3)
              .arg(targetMs, 0, 'f', 0)
              .arg(commit.p99 <= targetMs ? QStringLiteral("met") : QStringLiteral("MISSED")));
    print(QStringLiteral("  store size                      %1 MiB (%2 bytes a point)\n")
              .arg(bytes / 1048576.0, 0, 'f', 2)
              .arg(double(bytes) / points, 0, 'f', 1));
    print(QStringLiteral("  reading the run back            %1 ms\n").arg(loadMs, 0, 'f', 1));
    print(QStringLiteral("  exporting it as CSV             %1 ms\n").arg(csvMs, 0, 'f', 1));
    print(QStringLiteral("  exporting it as a data file     %1 ms\n").arg(txtMs, 0, 'f', 1));

    // The sweep's pace while another program holds the store for seconds at a time.
    const PacedSweep alone =
        pacedSweep(dir.filePath(QStringLiteral("alone.sqlite")), sweepSteps, false);
    const PacedSweep contended =
        pacedSweep(dir.filePath(QStringLiteral("contended.sqlite")), sweepSteps, true);
    print(QStringLiteral("\nA sweep of %1 points at the %2 s tick (simulated instruments, in "
                         "this process): the interval between points\n")
              .arg(sweepSteps + 1)
              .arg(SweepEngine::tickIntervalMs / 1000.0, 0, 'f', 1));
    print(summaryHeader(width));
    print(summaryRow(QStringLiteral("the store free"), summarize(alone.intervalMs), width));
    print(summaryRow(QStringLiteral("another writer holding it %1 s of %2")
                         .arg(CompetingWriter::holdMs / 1000)
                         .arg((CompetingWriter::holdMs + CompetingWriter::freeMs) / 1000),
                     summarize(contended.intervalMs), width));
    bool allKept = true;
    for (const auto& [label, sweep] : {std::pair{QStringLiteral("the store free"), &alone},
                                       std::pair{QStringLiteral("with the writer"), &contended}}) {
        const bool whole =
            sweep->completed && sweep->measured == sweepSteps + 1 && sweep->kept == sweep->measured;
        allKept = allKept && whole;
        print(QStringLiteral("  kept, %1: %2 of %3 points%4 (%5)\n")
                  .arg(label)
                  .arg(sweep->kept)
                  .arg(sweep->measured)
                  .arg(sweep == &contended
                           ? QStringLiteral(", the store held %1 times").arg(sweep->holds)
                           : QString(),
                       whole ? QStringLiteral("every point") : QStringLiteral("MISSED")));
    }
    return commit.p99 <= targetMs && allKept ? 0 : 3;
}

} // namespace kestrel::bench
