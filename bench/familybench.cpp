#include "familybench.h"

#include "benchsupport.h"
#include "controller/session.h"
#include "link/instrumentlink.h"
#include "simprocess/simprocess.h"
#include "timing.h"

#include <QRegularExpression>
#include <QTemporaryDir>

namespace kestrel::bench
{

namespace
{

constexpr double targetRatio = 1.02;

void printError(const QString& text)
{
    bench::printError("sweep --family", text);
}

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

} // namespace

// "--family CxP": C curves of P points each. The wall time from the start to the family's
// end, less the step settings (from each curve's end, or the start, to the next curve's
// start: the step level set, confirmed and settled), against C x P x 0.1 s.
int runFamilyBenchmark(const QStringList& args)
{
    const QRegularExpressionMatch shape =
        QRegularExpression(QStringLiteral("^(\\d+)x(\\d+)$")).match(args.value(1));
    const int curves = shape.captured(1).toInt(), points = shape.captured(2).toInt();
    if (args.size() != 2 || !shape.hasMatch() || curves < 1 || curves > 1000 || points < 2 ||
        points > 100001) {
        printError(QStringLiteral("usage: kestrel-bench sweep --family CURVESxPOINTS (1 to 1000 "
                                  "curves of 2 to 100001 points, like 5x201)"));
        return 2;
    }
    SimProcess sim;
    QString error;
    if (!startSimulator(sim,
                        {QStringLiteral("--device"), QStringLiteral("mosfet"),
                         QStringLiteral("--step-source"), QStringLiteral("127.0.0.4:0")},
                        &error)) {
        printError(error);
        return 1;
    }
    QTemporaryDir home;
    if (!home.isValid() || !installScript(home.path(), toolPath(QStringLiteral("kestrel-scpi")))) {
        printError(QStringLiteral("cannot install sendArbcmd.sh into a temporary home"));
        return 1;
    }
    // Every point committed to a run store, as in real use; no guard, which costs nothing
    // per point.
    Session session(home.path(), std::make_unique<ScriptLink>(home.path() + QLatin1Char('/')),
                    nullptr,
                    SessionOptions{home.path() + QStringLiteral("/runs.sqlite"),
                                   QStringLiteral("kestrel-bench"), false, QString()});
    int identified = 0;
    bool refused = false;
    QObject::connect(&session, &Session::identified, &session,
                     [&](Session::Which, bool ok) { ok ? ++identified : refused = true; });
    session.identify(Session::Which::Source,
                     Endpoint{sim.sourceAddress(), QString::number(sim.sourcePort())});
    session.identify(Session::Which::Meter,
                     Endpoint{sim.meterAddress(), QString::number(sim.meterPort())});
    session.identify(Session::Which::Step,
                     Endpoint{sim.stepAddress(), QString::number(sim.stepPort())});
    if (!waitUntil([&] { return identified == 3 || refused; }, 10000) || refused) {
        printError(QStringLiteral("the simulated instruments were not identified"));
        return 1;
    }

    std::vector<double> stepMs, curveMs;
    Clock::time_point mark{};
    QObject::connect(&session.sweep(), &SweepEngine::started, &session, [&] {
        const Clock::time_point now = Clock::now();
        stepMs.push_back(msBetween(mark, now));
        mark = now;
    });
    QObject::connect(&session.sweep(), &SweepEngine::finished, &session, [&] {
        const Clock::time_point now = Clock::now();
        curveMs.push_back(msBetween(mark, now));
        mark = now;
    });
    SweepEnd ended;
    ended.listen(&session, &Session::ended);
    SweepRequest request;
    request.plan = SweepPlan{0.0, 2.0, points - 1, SweepShape::Linear};
    request.rangeIndex = 2; // 20 mA
    StepRequest step;
    step.plan = SweepPlan{1.5, 3.5, std::max(1, curves - 1), SweepShape::Linear};
    if (curves == 1)
        step.plan = makeListPlan({2.0});
    print(QStringLiteral("kestrel-bench sweep --family: %1 curves of %2 points at a %3 ms tick, "
                         "kestrel-sim's transistor, its gate on a second simulated source\n")
              .arg(curves)
              .arg(points)
              .arg(SweepEngine::tickIntervalMs));
    print(machineLine());
    const Clock::time_point begin = Clock::now();
    mark = begin;
    if (!session.startFamily(request, step)) {
        printError(QStringLiteral("the family did not start"));
        return 1;
    }
    const int limitMs = curves * points * SweepEngine::tickIntervalMs * 3 + 30000;
    if (!waitUntil([&] { return ended.outcome.has_value(); }, limitMs)) {
        printError(QStringLiteral("the family did not end within %1 s").arg(limitMs / 1000));
        return 1;
    }
    if (*ended.outcome != Run::Outcome::Completed || int(session.familyCurves().size()) != curves) {
        printError(QStringLiteral("the family did not complete: %1").arg(ended.message));
        return 1;
    }
    const double wallMs = msBetween(begin, ended.at);
    double settingsMs = 0;
    for (double ms : stepMs)
        settingsMs += ms;
    const double idealMs = double(curves) * points * SweepEngine::tickIntervalMs;
    const double ratio = (wallMs - settingsMs) / idealMs;
    print(QStringLiteral("  wall time start -> end          %1 s\n").arg(wallMs / 1000, 0, 'f', 3));
    print(QStringLiteral("  step settings (set, confirm)    %1 s in %2 (median %3 ms)\n")
              .arg(settingsMs / 1000, 0, 'f', 3)
              .arg(stepMs.size())
              .arg(summarize(stepMs).median, 0, 'f', 1));
    print(QStringLiteral("  ideal %1 x %2 x %3 s%4 %5 s\n")
              .arg(curves)
              .arg(points)
              .arg(SweepEngine::tickIntervalMs / 1000.0, 0, 'f', 1)
              .arg(QString(), 10)
              .arg(idealMs / 1000, 0, 'f', 3));
    print(QStringLiteral("  each curve, set-up to off       median %1 ms, ideal %2 ms\n")
              .arg(summarize(curveMs).median, 0, 'f', 1)
              .arg(double(points) * SweepEngine::tickIntervalMs, 0, 'f', 1));
    print(QStringLiteral("  ratio without step settings     %1 (target <= %2: %3)\n")
              .arg(ratio, 0, 'f', 4)
              .arg(targetRatio, 0, 'f', 2)
              .arg(ratio <= targetRatio ? QStringLiteral("met") : QStringLiteral("MISSED")));
    if (sim.stop() != 0)
        return 1;
    return ratio <= targetRatio ? 0 : 3;
}

} // namespace kestrel::bench
