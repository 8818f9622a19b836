#include "labbench.h"

#include "app/labcontroller.h"
#include "app/labpanel.h"
#include "benchsupport.h"
#include "labserver/labserver.h"
#include "labsweeps.h"
#include "store/labstore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include <cmath>

namespace kestrel::bench
{

namespace
{

constexpr qint64 publishTargetMs = 2000;
constexpr qint64 listTargetMs = 200;
constexpr double frameTargetMs = 16; // the window's longest event, as responsiveness holds it

// One ended run of that many points in the local store.
bool addRun(RunDatabase& store, int points)
{
    Run run;
    run.settings.plan = SweepPlan{0.0, 1.0, points - 1, SweepShape::Linear};
    run.started = QDateTime::currentDateTime();
    std::vector<MeasuredPoint> measured;
    measured.reserve(std::size_t(points));
    for (int i = 0; i < points; ++i)
        measured.push_back({i, i * 1e-5, 1e-12 * std::exp(i * 1e-4) - 1e-12, qint64(i) * 100});
    const qint64 id = store.beginRun(run, QStringLiteral("kestrel-bench"), ProcessId{});
    run.outcome = Run::Outcome::Completed;
    run.ended = QDateTime::currentDateTime();
    run.outputOff = true;
    return id && store.addPoints(id, measured) && store.finishRun(id, run);
}

// The window's Lab view lists the lab as kestrel-runs --lab list --json in a process of
// its own, reads the lines on a worker thread and fills its table on the GUI thread; the
// last is all the window waits for, and must fit in a frame. False when it does not.
bool windowListing(const LabUri& uri, const QString& configDir)
{
    {
        // The window's settings name the lab store the bench measures.
        QSettings settings(configDir + QStringLiteral("/Kestrel/Kestrel.conf"),
                           QSettings::IniFormat);
        settings.setValue(QLatin1String(labUriKey), uri.uri);
        settings.sync();
        if (settings.status() != QSettings::NoError)
            return printError("lab", QStringLiteral("cannot write the settings in ") + configDir),
                   false;
    }
    QProcess lister;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configDir);
    lister.setProcessEnvironment(environment);
    QElapsedTimer clock;
    clock.start();
    lister.start(LabController::runsProgram(),
                 {QStringLiteral("--lab"), QStringLiteral("list"), QStringLiteral("--json")});
    if (!lister.waitForFinished(60000) || lister.exitCode() != 0) {
        printError("lab", QStringLiteral("kestrel-runs --lab list --json: ") +
                              QString::fromUtf8(lister.readAllStandardError()).trimmed());
        return false;
    }
    const QByteArray text = lister.readAllStandardOutput();
    const qint64 processMs = clock.elapsed();
    clock.start();
    std::vector<LabRun> runs;
    for (const QByteArray& line : text.split('\n'))
        if (std::optional<LabRun> run = labRunFromLine(line))
            runs.push_back(std::move(*run));
    const qint64 readMs = clock.elapsed();
    LabPanel panel;
    panel.resize(900, 300);
    panel.show();
    QCoreApplication::processEvents();
    const std::size_t count = runs.size();
    clock.start();
    panel.setRuns(std::move(runs));
    panel.repaint(); // the table laid out and painted, as the next frame shows it
    const double guiMs = double(clock.nsecsElapsed()) / 1e6;
    print(QStringLiteral("the window's Lab view, %1 runs: kestrel-runs --lab list --json %2 ms "
                         "(its own process), the lines read %3 ms (a worker thread), the table "
                         "filled and painted %4 ms on the GUI thread (target at most %5 ms: "
                         "%6)\n")
              .arg(count)
              .arg(processMs)
              .arg(readMs)
              .arg(guiMs, 0, 'f', 1)
              .arg(frameTargetMs)
              .arg(guiMs <= frameTargetMs ? QStringLiteral("met") : QStringLiteral("MISSED")));
    return guiMs <= frameTargetMs;
}

} // namespace

int runLabBenchmark(const QStringList& args)
{
    int points = 100000;
    int runs = 10000;
    int sweepPoints = 201;
    int rounds = 3;
    if (!parseOptions(args, {{"--points", &points, 1},
                             {"--runs", &runs, 1},
                             {"--sweep-points", &sweepPoints, 2},
                             {"--rounds", &rounds, 1}})) {
        printError("lab", QStringLiteral("usage: kestrel-bench lab [--points N] [--runs N] "
                                         "[--sweep-points N] [--rounds N]"));
        return 2;
    }
    const auto configured = configuredLabUri();
    if (const QString* problem = std::get_if<QString>(&configured)) {
        printError("lab", *problem);
        return 1;
    }
    // Without a store set, one of the bench's own.
    LabUri uri = std::get<LabUri>(configured);
    LabServer server;
    QString where = QStringLiteral("the lab store set, ") + uri.uri;
    if (uri.uri.isEmpty()) {
        QString problem = server.start(LabServer::Passwords::None);
        if (problem.isEmpty())
            problem = LabStore(server.uri(QStringLiteral("kestrel_owner"))).open();
        if (!problem.isEmpty()) {
            printError("lab", server.skipped() ? QStringLiteral("no lab store is set (kestrel-runs "
                                                                "lab set URI), and ") +
                                                     problem
                                               : problem);
            return 1;
        }
        uri = server.uri(QStringLiteral("bench_a"));
        where = server.describe() + QStringLiteral(", the bench's own");
    }
    print(QStringLiteral("kestrel-bench lab: %1\n").arg(where));
    QTemporaryDir dir;
    RunDatabase local(dir.filePath(QStringLiteral("runs.sqlite")));
    LabStore lab(uri);
    if (QString problem = local.open(); !problem.isEmpty() || !(problem = lab.open()).isEmpty()) {
        printError("lab", problem);
        return 1;
    }
    print(machineLine() + QLatin1Char('\n'));
    QElapsedTimer clock;
    const auto publish = [&](const char* what) {
        clock.start();
        const PublishResult result = lab.publish(local);
        const qint64 ms = clock.elapsed();
        if (!result.problem.isEmpty())
            printError("lab", result.problem);
        else
            print(QStringLiteral("%1: %2 ms\n").arg(QLatin1String(what)).arg(ms));
        return result.problem.isEmpty() ? std::optional(ms) : std::nullopt;
    };
    if (!addRun(local, points))
        return 1;
    const std::optional<qint64> one = publish("one run of many points");
    for (int i = 0; i < runs; ++i)
        if (!addRun(local, 100))
            return 1;
    if (!one || !publish("many runs of 100 points"))
        return 1;
    clock.start();
    const auto listed = lab.list();
    const qint64 listMs = clock.elapsed();
    if (!listed)
        return printError("lab", lab.lastError()), 1;
    print(QStringLiteral("listing the lab's %1 runs: %2 ms\n").arg(listed->size()).arg(listMs));
    const bool windowMet = windowListing(uri, dir.filePath(QStringLiteral("config")));
    const int swept = runLabSweeps(lab, where, sweepPoints, rounds);
    if (swept == 1)
        return 1;
    return *one <= publishTargetMs && listMs <= listTargetMs && windowMet && swept == 0 ? 0 : 3;
}

} // namespace kestrel::bench
