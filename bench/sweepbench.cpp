#include "sweepbench.h"

#include "benchsupport.h"
#include "controller/scpidrivers.h"
#include "controller/sweepengine.h"
#include "data/ivpoints.h"
#include "familybench.h"
#include "link/instrumentlink.h"
#include "link/workqueue.h"
#include "longsweepbench.h"
#include "simprocess/simprocess.h"
#include "store/runrecorder.h"

#include <QTemporaryDir>

#include <mutex>
#include <optional>

namespace kestrel::bench
{

namespace
{

constexpr double targetRatio = 1.02;

void printError(const QString& text)
{
    bench::printError("sweep", text);
}

// The window's link (the script through zsh), each exchange timed on the worker thread.
class TimedLink final : public InstrumentLink
{
  public:
    // The commands are told apart by the profile's words for them.
    TimedLink(const QString& pat, const InstrumentProfile& profile)
        : script_(pat), read_(ScpiDriver::fillCommand(profile, profile.readQuery)),
          level_(SourceDriver::levelCommandFor(profile, 0.0).chopped(3)),
          errors_(profile.errorQuery)
    {
    }

    LinkReply exchange(const Endpoint& to, const QString& command,
                       const CancelSignal& cancel) override
    {
        const Clock::time_point start = Clock::now();
        LinkReply reply = script_.exchange(to, command, cancel);
        const double ms = msSince(start);
        std::lock_guard lock(mutex);
        ++commands;
        if (command == read_)
            readingMs.push_back(ms);
        else if (command.startsWith(level_))
            levelMs.push_back(ms);
        else if (command == errors_)
            errorQueryMs.push_back(ms);
        return reply;
    }

    std::mutex mutex;
    int commands = 0;
    std::vector<double> levelMs, errorQueryMs, readingMs;

  private:
    ScriptLink script_;
    const QString read_, level_, errors_; // the level without its number ("0.0")
};

} // namespace

int runSweepBenchmark(const QStringList& args)
{
    if (args.value(0) == QLatin1String("--family"))
        return runFamilyBenchmark(args);
    int steps = 200;
    int shortTickMs = -1;
    // --smu NAME: one source-measure unit of that profile, kestrel-sim speaking its dialect.
    QStringList rest = args;
    QString smu;
    if (const qsizetype at = rest.indexOf(QStringLiteral("--smu"));
        at >= 0 && at + 1 < rest.size()) {
        smu = rest.at(at + 1);
        rest.remove(at, 2);
    }
    const ProfilePtr profile = smu.isEmpty() ? defaultProfile() : loadProfiles().find(smu);
    if (!parseOptions(rest, {{"--steps", &steps, 1}, {"--tick-ms", &shortTickMs, 0}}) ||
        steps > maxSweepSteps || !profile || (!smu.isEmpty() && shortTickMs >= 0)) {
        printError(QStringLiteral("usage: kestrel-bench sweep [--steps N] [--tick-ms T | --smu "
                                  "PROFILE] (N from 1 to %1, T from 0; PROFILE a source-measure "
                                  "unit's profile that kestrel-sim speaks)")
                       .arg(maxSweepSteps));
        return 2;
    }
    if (shortTickMs >= 0)
        return runLongSweep(steps, shortTickMs);

    SimProcess sim;
    QString error;
    if (!startSimulator(sim,
                        smu.isEmpty() ? QStringList() : QStringList{QStringLiteral("--smu"), smu},
                        &error)) {
        printError(error);
        return 1;
    }
    QTemporaryDir home;
    if (!home.isValid() || !installScript(home.path(), toolPath(QStringLiteral("kestrel-scpi")))) {
        printError(QStringLiteral("cannot install sendArbcmd.sh into a temporary home"));
        return 1;
    }

    WorkQueue queue;
    TimedLink link(home.path() + QLatin1Char('/'), *profile);
    SweepEngine engine(queue, link);
    // Every point committed to a run store before it counts, as in real use.
    RunRecorder recorder(home.path() + QStringLiteral("/runs.sqlite"),
                         QStringLiteral("kestrel-bench"));
    engine.setPointKeeper(
        [&recorder](int index, double volt, double amps, qint64 ms, int inCompliance, double) {
            recorder.keepPoint(index, volt, amps, ms, inCompliance);
        });
    QObject::connect(&engine, &SweepEngine::started, &engine,
                     [&] { recorder.begin(*engine.run()); });
    int setupCommands = 0;
    const SweepPlan plan{0.0, 1.0, steps, SweepShape::Linear};
    const int points = plan.count();

    // Per tick: from the tick timer's firing (the engine's own slot runs first and
    // posts the level command) to the recorded point, i.e. both commands and their
    // replies through the event loop. Between ticks: point to point.
    std::vector<double> tickMs, intervalMs;
    Clock::time_point tickStart{}, lastPoint{}, firstPoint{};
    bool inTick = false;
    QObject::connect(&engine.timerCH2, &QTimer::timeout, &engine, [&] {
        if (!inTick) { // a firing while the tick is busy is dropped by the engine too
            tickStart = Clock::now();
            inTick = true;
        }
    });
    QObject::connect(
        &engine, &SweepEngine::pointRecorded, &engine, [&](int index, double, double, int) {
            const Clock::time_point now = Clock::now();
            if (inTick)
                tickMs.push_back(
                    std::chrono::duration<double, std::milli>(now - tickStart).count());
            inTick = false;
            if (index == 0) {
                firstPoint = now;
                std::lock_guard lock(link.mutex);
                setupCommands = link.commands - 3; // the first tick's three are not set-up
            } else
                intervalMs.push_back(
                    std::chrono::duration<double, std::milli>(now - lastPoint).count());
            lastPoint = now;
        });
    SweepEnd ended;
    ended.listen(&engine, &SweepEngine::finished);

    const Endpoint source{sim.sourceAddress(), QString::number(sim.sourcePort())};
    const Endpoint meter =
        smu.isEmpty() ? Endpoint{sim.meterAddress(), QString::number(sim.meterPort())} : source;
    print(QStringLiteral("kestrel-bench sweep: %1 points at a %2 ms tick, source %3:%4, meter "
                         "%5:%6 (no latency), profile %7\n")
              .arg(points)
              .arg(SweepEngine::tickIntervalMs)
              .arg(source.address, source.port, meter.address, meter.port, profile->name));
    print(machineLine());
    const Clock::time_point begin = Clock::now();
    SweepSettings settings;
    settings.source = source;
    settings.meter = meter;
    settings.plan = plan;
    settings.rangeIndex = smu.isEmpty() ? 2 : autoRangeIndex; // 20 mA, or auto
    settings.sourceProfile = settings.meterProfile = profile->name;
    settings.sourceCommands = settings.meterCommands = profile;
    if (!profile->limitCommand.isEmpty())
        settings.complianceAmps = 0.1; // above the simulated diode's current up to 1 V
    engine.start(settings, QString(), QString());
    const int limitMs = points * SweepEngine::tickIntervalMs * 3 + 30000;
    if (!waitUntil([&] { return ended.outcome.has_value(); }, limitMs)) {
        printError(QStringLiteral("the sweep did not end within %1 s").arg(limitMs / 1000));
        return 1;
    }
    if (*ended.outcome != Run::Outcome::Completed || int(ivPoints().size()) != points) {
        printError(QStringLiteral("the sweep did not complete: %1").arg(ended.message));
        return 1;
    }

    const double wallMs = std::chrono::duration<double, std::milli>(ended.at - begin).count();
    const double idealMs = double(points) * SweepEngine::tickIntervalMs;
    const double ratio = wallMs / idealMs;
    const double setupMs = std::chrono::duration<double, std::milli>(firstPoint - begin).count();
    const double offMs = std::chrono::duration<double, std::milli>(ended.at - lastPoint).count();
    const auto late = std::count_if(intervalMs.begin(), intervalMs.end(), [](double ms) {
        return ms > 1.5 * SweepEngine::tickIntervalMs;
    });

    print(QStringLiteral("  wall time start() -> finished   %1 s\n").arg(wallMs / 1000, 0, 'f', 3));
    print(QStringLiteral("  %1 %2 s\n")
              .arg(QStringLiteral("ideal %1 x %2 s")
                       .arg(points)
                       .arg(SweepEngine::tickIntervalMs / 1000.0, 0, 'f', 1),
                   -31)
              .arg(idealMs / 1000, 0, 'f', 3));
    print(QStringLiteral("  ratio                           %1 (target <= %2: %3)\n")
              .arg(ratio, 0, 'f', 4)
              .arg(targetRatio, 0, 'f', 2)
              .arg(ratio <= targetRatio ? QStringLiteral("met") : QStringLiteral("MISSED")));
    print(QStringLiteral("  start() -> first point          %1 ms (%2 set-up commands with their "
                         "confirmations, then the first tick)\n")
              .arg(setupMs, 0, 'f', 1)
              .arg(setupCommands));
    print(QStringLiteral("  last point -> finished          %1 ms (output off)\n")
              .arg(offMs, 0, 'f', 1));
    print(QStringLiteral("  ticks later than 1.5 intervals  %1 of %2\n")
              .arg(late)
              .arg(intervalMs.size()));
    constexpr int width = 40;
    {
        std::lock_guard lock(link.mutex);
        const double perTick = double(link.commands - setupCommands - 1) / points; // 1: off
        const double tickMedian = summarize(tickMs).median;
        print(
            QStringLiteral("  commands per tick               %1 (level, its confirmation, "
                           "reading%2)\n")
                .arg(perTick, 0, 'f', 2)
                .arg(engine.measuresWithSource() ? QStringLiteral(": one instrument") : QString()));
        print(QStringLiteral("  the chain's share of a tick     %1 % (median %2 ms of %3 ms)\n")
                  .arg(100.0 * tickMedian / SweepEngine::tickIntervalMs, 0, 'f', 1)
                  .arg(tickMedian, 0, 'f', 2)
                  .arg(SweepEngine::tickIntervalMs));
        print(summaryHeader(width));
        print(summaryRow(QStringLiteral("one tick's commands"), summarize(tickMs), width));
        print(summaryRow(QStringLiteral("  level command alone"), summarize(link.levelMs), width));
        print(
            summaryRow(QStringLiteral("  :SYST:ERR? alone"), summarize(link.errorQueryMs), width));
        print(summaryRow(QStringLiteral("  reading alone"), summarize(link.readingMs), width));
    }
    print(summaryRow(QStringLiteral("point to point"), summarize(intervalMs), width));
    if (sim.stop() != 0)
        return 1;
    return ratio <= targetRatio ? 0 : 3;
}

} // namespace kestrel::bench
