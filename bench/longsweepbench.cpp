#include "longsweepbench.h"

#include "analysis/fit.h"
#include "benchsupport.h"
#include "chart/barchart.h"
#include "controller/sweepdescription.h"
#include "controller/sweepengine.h"
#include "link/instrumentlink.h"
#include "link/workqueue.h"
#include "simulatedinstruments.h"
#include "store/runrecorder.h"

#include <qcustomplot.h>
#include <QFileInfo>
#include <QTemporaryDir>

#include <mutex>
#include <optional>

namespace kestrel::bench
{

namespace
{

constexpr int newPoints = 200;
constexpr int fullRedraws = 20;
constexpr int labelWidth = 44;

void printError(const QString& text)
{
    bench::printError("sweep", text);
}

// Work handed to a queue while the GUI thread's loop is watched: how long until the
// result is back, and the loop's longest stall meanwhile.
struct Offloaded {
    double ms = 0;
    double stallMs = 0;
};

template <typename Work, typename Done>
std::optional<Offloaded> offload(WorkQueue& queue, Work work, Done done)
{
    StallProbe probe;
    QObject context;
    bool back = false;
    probe.start();
    const Clock::time_point start = Clock::now();
    queue.run(&context, std::move(work), [&](auto result) {
        done(std::move(result));
        back = true;
    });
    if (!waitUntil([&] { return back; }, 600000))
        return std::nullopt;
    Offloaded result{msSince(start), 0};
    probe.stop();
    for (double late : probe.lateness())
        result.stallMs = std::max(result.stallMs, late);
    return result;
}

QString verdict(double p95, double target)
{
    return QStringLiteral("(target <= %1 ms: %2)")
        .arg(target, 0, 'f', 0)
        .arg(p95 <= target ? QStringLiteral("met") : QStringLiteral("MISSED"));
}

} // namespace

int runLongSweep(int steps, int tickMs)
{
    QTemporaryDir dir;
    if (!dir.isValid()) {
        printError(QStringLiteral("no temporary folder"));
        return 1;
    }
    const QString storePath = dir.filePath(QStringLiteral("runs.sqlite"));
    const SweepPlan plan{0.0, 5.0, steps, SweepShape::Linear};
    const int points = plan.count();

    BarChart chart;
    chart.resize(chartWidth, chartHeight);
    chart.show();
    waitUntil([&] { return chart.windowHandle() && chart.windowHandle()->isExposed(); }, 5000);

    SimulatedInstruments link(QStringLiteral("diode"));
    WorkQueue queue;
    SweepEngine engine(queue, link);
    engine.setTickInterval(tickMs);
    qint64 runId = 0;
    std::mutex commitMutex;
    std::vector<double> commitMs;
    commitMs.reserve(std::size_t(points));
    {
        RunRecorder recorder(storePath, QStringLiteral("kestrel-bench"));
        QObject::connect(&recorder, &RunRecorder::begun, &engine, [&](qint64 id) { runId = id; });
        engine.setPointKeeper([&](int index, double volt, double amps, qint64 ms, int, double) {
            const Clock::time_point start = Clock::now();
            recorder.keepPoint(index, volt, amps, ms);
            const double took = msSince(start);
            std::lock_guard lock(commitMutex);
            commitMs.push_back(took);
        });
        QObject::connect(&engine, &SweepEngine::started, &engine,
                         [&] { recorder.begin(*engine.run()); });
        QObject::connect(&engine, &SweepEngine::pointRecorded, &chart,
                         [&chart](int, double volt, double amps) { chart.addPoint(volt, amps); });
        std::optional<Run::Outcome> outcome;
        QString message;
        QObject::connect(&engine, &SweepEngine::finished, &engine,
                         [&](Run::Outcome how, const QString& text) {
                             outcome = how;
                             message = text;
                         });
        StallProbe probe([&chart] { return chart.livePointCount(); });

        print(QStringLiteral("kestrel-bench sweep: %1 points at a %2 ms tick, kestrel-sim's diode "
                             "in this process behind the link (no shell, no socket), every point "
                             "committed to a run store and drawn on a shown chart\n")
                  .arg(points)
                  .arg(tickMs));
        print(machineLine());
        // As the window does for a sweep, with room for the points timed afterwards.
        chart.beginLiveRun(1, QStringLiteral("Sweep 1"), -1,
                           std::size_t(points) + std::size_t(newPoints));
        probe.start();
        const Clock::time_point begin = Clock::now();
        SweepSettings settings;
        settings.source = SimulatedInstruments::source;
        settings.meter = SimulatedInstruments::meter;
        settings.plan = plan;
        settings.rangeIndex = 1; // the 2 mA range
        engine.start(settings, QString(), QString());
        const int limitMs = int(std::min<qint64>(qint64(points) * (tickMs + 20) + 60000, INT_MAX));
        if (!waitUntil([&] { return outcome.has_value(); }, limitMs)) {
            printError(QStringLiteral("the sweep did not end within %1 s").arg(limitMs / 1000));
            return 1;
        }
        const double sweepMs = msSince(begin);
        probe.stop();
        if (*outcome != Run::Outcome::Completed || engine.pointsDone() != points) {
            printError(QStringLiteral("the sweep did not complete: %1").arg(message));
            return 1;
        }
        recorder.finish(*engine.run());
        print(QStringLiteral("  sweep                           %1 s, %2 points a second\n")
                  .arg(sweepMs / 1000, 0, 'f', 1)
                  .arg(points / (sweepMs / 1000), 0, 'f', 0));
        print(summaryHeader(labelWidth));
        {
            std::lock_guard lock(commitMutex);
            print(summaryRow(QStringLiteral("a point committed (from the sweep's thread)"),
                             summarize(commitMs), labelWidth));
        }
        print(summaryRow(QStringLiteral("GUI thread stall during the sweep"),
                         summarize(probe.lateness()), labelWidth));
        const StallProbe::Sample worst = probe.worst();
        print(QStringLiteral("  (the longest stall came with %1 points on the chart)\n")
                  .arg(worst.tag));
    } // the recorder writes the end of the run and closes the store

    // The live chart at full size: new points inside the axes, then full redraws.
    std::vector<double> newPoint, full;
    {
        const IVPointList& measured = engine.run()->points;
        for (int i = 0; i < newPoints; ++i) {
            const IVPoint& again = measured[std::size_t(i) * measured.size() / newPoints];
            const Clock::time_point start = Clock::now();
            chart.addPoint(again[0], again[1]);
            chart.replotNow();
            chart.plot()->repaint();
            newPoint.push_back(msSince(start));
        }
        QCPAxis* x = chart.plot()->xAxis;
        for (int i = 0; i < fullRedraws; ++i) {
            const double shift = x->range().size() * 0.001 * (i % 2 ? -1 : 1);
            const Clock::time_point start = Clock::now();
            x->setRange(x->range().lower + shift, x->range().upper + shift);
            chart.replotNow();
            chart.plot()->repaint();
            full.push_back(msSince(start));
        }
    }
    const Summary newSummary = summarize(newPoint), fullSummary = summarize(full);
    print(QStringLiteral("\nthe chart at %1 points (on the window)\n").arg(points));
    print(summaryHeader(labelWidth));
    print(summaryRow(QStringLiteral("new live point"), newSummary, labelWidth));
    print(summaryRow(QStringLiteral("full redraw (axes moved)"), fullSummary, labelWidth));

    // The run from the store, on a thread of its own as the history reads it.
    qint64 storeBytes = 0;
    for (const char* suffix : {"", "-wal", "-shm"})
        storeBytes += QFileInfo(storePath + QLatin1String(suffix)).size();
    WorkQueue reader, files;
    // Read and made ready for the chart on the reader's thread, as the window's history
    // does (RunHistory::load).
    std::optional<std::pair<StoredRun, ChartPointList>> stored;
    const auto loaded = offload(
        reader,
        [&storePath, runId](const CancelSignal&) {
            RunDatabase db(storePath);
            std::optional<std::pair<StoredRun, ChartPointList>> read;
            if (db.open().isEmpty())
                if (std::optional<StoredRun> run = db.load(runId)) {
                    ChartPointList records = chartPointsOf(run->run.points);
                    read.emplace(std::move(*run), std::move(records));
                }
            return read;
        },
        [&stored](std::optional<std::pair<StoredRun, ChartPointList>> run) {
            stored = std::move(run);
        });
    if (!loaded || !stored || int(stored->first.run.points.size()) != points) {
        printError(QStringLiteral("the run did not read back from the store"));
        return 1;
    }
    const auto run = std::make_shared<const Run>(std::move(stored->first.run));

    // Shown from the store, as the history shows a run it has read: on the GUI thread.
    Clock::time_point start = Clock::now();
    ChartPointList records = std::move(stored->second);
    chart.showRun(2, std::move(records), QStringLiteral("Run 2"));
    chart.hideRun(1);
    chart.fitToData();
    chart.replotNow();
    chart.plot()->repaint();
    const double showMs = msSince(start);

    std::optional<WriteResult> csv, txt;
    const auto csvTime = offload(
        files,
        [run, path = dir.filePath(QStringLiteral("run.csv"))](const CancelSignal&) {
            return exportRunCsv(QStringLiteral("kestrel-bench"), path, *run);
        },
        [&csv](WriteResult result) { csv = std::move(result); });
    const auto txtTime = offload(
        files,
        [run, path = dir.filePath(QStringLiteral("run.txt"))](const CancelSignal&) {
            return saveRun(path, *run);
        },
        [&txt](WriteResult result) { txt = std::move(result); });
    if (!csvTime || !txtTime || !csv || !txt || !csv->ok || !txt->ok) {
        printError(QStringLiteral("the run was not exported"));
        return 1;
    }
    std::optional<analysis::FitResult> fitted;
    const auto fitTime = offload(
        queue,
        [run](const CancelSignal&) {
            analysis::FitOptions diode;
            diode.model = analysis::Model::Diode;
            return analysis::fit(run->points, diode);
        },
        [&fitted](analysis::FitResult result) { fitted = std::move(result); });

    print(QStringLiteral("\nthe run of %1 points, kept\n").arg(points));
    print(QStringLiteral("  store size                      %1 MiB (%2 bytes a point)\n")
              .arg(storeBytes / 1048576.0, 0, 'f', 1)
              .arg(double(storeBytes) / points, 0, 'f', 1));
    const auto offloadedRow = [](const QString& label, const Offloaded& o) {
        print(QStringLiteral("  %1 %2 ms (GUI thread's longest stall meanwhile %3 ms)\n")
                  .arg(label, -31)
                  .arg(o.ms, 0, 'f', 1)
                  .arg(o.stallMs, 0, 'f', 2));
    };
    offloadedRow(QStringLiteral("read back, made ready to draw"), *loaded);
    offloadedRow(QStringLiteral("exported as CSV"), *csvTime);
    offloadedRow(QStringLiteral("exported as a data file"), *txtTime);
    print(QStringLiteral("  %1 %2 ms (on the GUI thread)\n")
              .arg(QStringLiteral("shown from the store, drawn"), -31)
              .arg(showMs, 0, 'f', 1));
    if (fitTime && fitted && fitted->ok())
        offloadedRow(QStringLiteral("diode fit (%1 points used)").arg(fitted->pointsUsed),
                     *fitTime);
    else
        print(QStringLiteral("  diode fit: %1\n")
                  .arg(fitted ? QString::fromStdString(fitted->failure)
                              : QStringLiteral("no result")));

    print(QStringLiteral("\ntargets at %1 points (p95)\n").arg(points));
    print(QStringLiteral("  new live point: p95 %1 ms %2\n")
              .arg(newSummary.p95, 0, 'f', 3)
              .arg(verdict(newSummary.p95, newPointTargetMs)));
    print(QStringLiteral("  full redraw:    p95 %1 ms %2\n")
              .arg(fullSummary.p95, 0, 'f', 3)
              .arg(verdict(fullSummary.p95, fullRedrawTargetMs)));
    const bool met = newSummary.p95 <= newPointTargetMs && fullSummary.p95 <= fullRedrawTargetMs;
    return met ? 0 : 3;
}

} // namespace kestrel::bench
