#include "storebench.h"

#include "benchsupport.h"
#include "controller/sweepdescription.h"
#include "store/runrecorder.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

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

} // namespace

int runStoreBenchmark(const QStringList& args)
{
    int points = 100000;
    if (!parseOptions(args, {{"--points", &points, 1}})) {
        printError("store", QStringLiteral("usage: kestrel-bench store [--points N]"));
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
    return commit.p99 <= targetMs ? 0 : 3;
}

} // namespace kestrel::bench
