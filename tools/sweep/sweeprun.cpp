#include "sweeprun.h"

#include "analysis/fit.h"
#include "controller/sweepdescription.h"
#include "data/numbertext.h"
#include "data/printabletext.h"
#include "link/signalwatcher.h"
#include "store/labstore.h"

#include <QFileInfo>

#include <cstdio>
#include <limits>
#include <unistd.h>

namespace kestrel
{

SweepRun::SweepRun(const SweepOptions& options, QObject* parent)
    : QObject(parent), options_(options), out_(STDOUT_FILENO),
      session_(options.home, std::make_unique<ScriptLink>(options.home + QLatin1Char('/')), nullptr,
               SessionOptions{options.storePath, QStringLiteral("kestrel-sweep " KESTREL_VERSION),
                              true, findGuardProgram()})
{
    // The store and the guard warn on standard error; the sweep goes on.
    connect(&session_, &Session::warned, this, &SweepRun::report);
    connect(&session_, &Session::storeWaiting, this, &SweepRun::report);
    connect(&session_.sweep(), &SweepEngine::measurementReply, this,
            [this](const QString& reply) { out_.write(printableLines(reply).toUtf8() + '\n'); });
    connect(&session_, &Session::ended, this,
            [this](Run::Outcome outcome, const QString& message, bool outputsOff) {
                ending_ = Ending{outcome, message, outputsOff};
                finished(outcome, message, outputsOff);
            });
    connect(&session_, &Session::identified, this, &SweepRun::identified);
    connect(&session_, &Session::runKept, this, [this](qint64 id) { runId_ = id; });
    // Standard output is where the readings go: when nobody can take them, the sweep
    // ends the safe way.
    connect(&out_, &LineWriter::failed, this, [this](const QString& reason) {
        endEarly(
            [reason](int done, int total) {
                return QStringLiteral("Standard output cannot be written (%1), so the sweep was "
                                      "ended after %2 points.")
                    .arg(reason, pointsDoneText(done, total));
            },
            endedEarly);
    });
    if (!options_.pngPath.isEmpty()) {
        chart_ = std::make_unique<BarChart>();
        chart_->resize(900, 600);
        // A hold is drawn against the time of each point.
        const bool hold = options_.sweep.plan.shape == SweepShape::Hold;
        SweepLegs legs;
        legs.overTime = hold;
        chart_->beginLiveRun(1, hold ? QStringLiteral("Hold") : QStringLiteral("Sweep"), legs);
        connect(&session_.sweep(), &SweepEngine::pointRecorded, this,
                [this, hold](int index, double volt, double amps, int) {
                    const Run& run = *session_.sweep().run();
                    const std::vector<double>& spread = run.currentSd;
                    chart_->addPoint(hold ? double(run.pointMs.back()) / 1000 : volt, amps, false,
                                     std::size_t(index) < spread.size()
                                         ? spread[std::size_t(index)]
                                         : std::numeric_limits<double>::quiet_NaN());
                });
    }
}

void SweepRun::start()
{
    session_.identify(Session::Which::Source, options_.sweep.source);
    session_.identify(Session::Which::Meter, options_.sweep.meter);
    if (isFamily())
        session_.identify(Session::Which::Step, *options_.stepSource);
}

void SweepRun::identified(Session::Which, bool ok, const QString& text)
{
    if (ended_)
        return;
    if (!ok) {
        endEarly(text + QStringLiteral(" Nothing was switched on."), endedEarly);
        return;
    }
    if (++identifiedCount_ < (isFamily() ? 3 : 2))
        return;
    // Profiles named on the command line replace the ones the identities matched.
    const SweepSettings& asked = options_.sweep;
    if ((asked.sourceCommands &&
         !session_.chooseProfile(Session::Which::Source, asked.sourceProfile)) ||
        (asked.meterCommands &&
         !session_.chooseProfile(Session::Which::Meter, asked.meterProfile)) ||
        (options_.stepCommands &&
         !session_.chooseProfile(Session::Which::Step, options_.stepCommands->name))) {
        endEarly(QStringLiteral("The instrument profiles asked for cannot be read any more. "
                                "Nothing was switched on."),
                 endedEarly);
        return;
    }
    SweepRequest request;
    request.plan = asked.plan;
    request.rangeIndex = asked.rangeIndex;
    // Without --range, a meter that can choose its own range does; the default
    // profile keeps its range 0, as it always has.
    const ProfilePtr meter = session_.profile(Session::Which::Meter);
    if (!options_.rangeGiven && meter->name != defaultProfileName && meter->hasAutoRange())
        request.rangeIndex = autoRangeIndex;
    request.limitAmps = asked.limitAmps;
    request.settleMs = asked.settleMs;
    request.meterRate = asked.meterRate;
    request.complianceAmps = asked.complianceAmps;
    request.continueAtCompliance = asked.continueAtCompliance;
    request.nplc = asked.nplc;
    request.readings = asked.readings;
    if (isFamily() ? !session_.startFamily(
                         request, StepRequest{options_.stepPlan, options_.stepComplianceAmps})
                   : !session_.start(request))
        endEarly(QStringLiteral("The sweep did not start."), endedEarly);
}

void SweepRun::interrupt(int signalNumber)
{
    endEarly(
        [signalNumber](int done, int total) {
            // A hold until Stop has no number of points to reach.
            return QStringLiteral("Interrupted by %1 after %2 points.")
                .arg(SignalWatcher::name(signalNumber), pointsDoneText(done, total));
        },
        interrupted);
}

void SweepRun::endEarly(const QString& why, int status)
{
    endEarly([why](int, int) { return why; }, status);
}

// Ends at once from outside the sweep: a signal, a closed standard output, a failed
// identification.
void SweepRun::endEarly(const SweepEngine::EndText& why, int status)
{
    if (ended_)
        return;
    if (!session_.isSweeping()) {
        ended_ = true;
        report(why(session_.sweep().pointsDone(), session_.sweep().plannedPoints()));
        if (const auto run = session_.currentRun())
            writeFiles(*run);
        else if (!options_.outPath.isEmpty() || !options_.csvPath.isEmpty() ||
                 !options_.pngPath.isEmpty())
            report(QStringLiteral("Nothing to save: ") + nothingToSave(nullptr));
        end(status);
        return;
    }
    ended_ = true;
    session_.shutdown(why);
    if (isFamily()) {
        const bool off = ending_ && ending_->outputsOff;
        report(ending_ ? ending_->message : QString());
        writeFamilyFiles();
        end(off ? status : outputMayBeOn);
        return;
    }
    const Run& run = *session_.currentRun();
    report(run.message);
    writeFiles(run);
    end(run.outputOff ? status : outputMayBeOn);
}

void SweepRun::finished(Run::Outcome outcome, const QString& message, bool outputsOff)
{
    if (ended_)
        return;
    ended_ = true;
    report(message);
    Run run = *session_.currentRun();
    const bool fitted = !options_.analyze || analyze(run);
    const bool written = isFamily() ? writeFamilyFiles() : writeFiles(run);
    int status = endedEarly;
    switch (outcome) {
    case Run::Outcome::Completed:
        status = !written ? endedEarly : fitted ? 0 : fitFailed;
        break;
    case Run::Outcome::LimitReached:
    case Run::Outcome::Compliance:
        status = limitReached;
        break;
    case Run::Outcome::Stopped:
    case Run::Outcome::Interrupted:
        status = interrupted;
        break;
    case Run::Outcome::Running:
    case Run::Outcome::Imported:
    case Run::Outcome::Failed:
    case Run::Outcome::Overload:
        break;
    }
    end(outputsOff ? status : outputMayBeOn);
}

void SweepRun::end(int status)
{
    publishToLab();
    out_.flush(1000);
    emit done(status);
}

void SweepRun::publishToLab()
{
    if (options_.storePath.isEmpty())
        return;
    const auto configured = configuredLabUri();
    if (const QString* problem = std::get_if<QString>(&configured)) {
        report(QStringLiteral("Lab store: not used: ") + *problem);
        return;
    }
    const LabUri& uri = std::get<LabUri>(configured);
    if (uri.uri.isEmpty())
        return;
    // The run's end is in the local store before anything of it is published.
    session_.recorder().waitUntilWritten(RunRecorder::quitWaitMs);
    RunDatabase local(options_.storePath);
    if (const QString problem = local.open(); !problem.isEmpty()) {
        report(QStringLiteral("Lab store: nothing published: the local store ") + problem);
        return;
    }
    LabStore lab(uri);
    const PublishResult result = lab.publish(local, labPublishBudgetMs);
    if (!result.problem.isEmpty())
        report(labWaitingLine(result, uri));
    else if (result.waiting > 0)
        report(QStringLiteral("Lab store: %1 waiting after %2 s of publishing; kestrel-runs "
                              "publish sends the rest")
                   .arg(result.waiting == 1 ? QStringLiteral("1 run")
                                            : QStringLiteral("%1 runs").arg(result.waiting))
                   .arg(labPublishBudgetMs / 1000));
}

bool SweepRun::writeFiles(const Run& run)
{
    bool ok = true;
    auto reportResult = [&](const WriteResult& result) {
        report(result.message);
        ok = ok && result.ok;
    };
    if (!options_.outPath.isEmpty())
        reportResult(saveRun(options_.outPath, run));
    if (!options_.csvPath.isEmpty()) {
        WriteResult result =
            exportRunCsv(QStringLiteral("kestrel-sweep " KESTREL_VERSION), options_.csvPath, run);
        if (result.ok)
            result.message =
                QStringLiteral("CSV written to %1").arg(printableText(options_.csvPath));
        reportResult(result);
    }
    if (chart_) {
        if (run.points.empty()) {
            reportResult(
                WriteResult{false, QStringLiteral("Nothing to export: ") + nothingToSave(&run)});
        } else {
            chart_->replotNow();
            reportResult(chart_->exportImage(options_.pngPath));
        }
    }
    return ok;
}

bool SweepRun::writeFamilyFiles()
{
    bool ok = true;
    const auto& curves = session_.familyCurves();
    if (!options_.outPath.isEmpty()) {
        const QFileInfo out(options_.outPath);
        const QString suffix = out.suffix().isEmpty() ? QString() : QLatin1Char('.') + out.suffix();
        const QString stem = options_.outPath.chopped(suffix.size());
        for (const auto& curve : curves) {
            if (curve->points.empty())
                continue;
            const QString path =
                QStringLiteral("%1-step-%2V%3")
                    .arg(stem, QString::fromStdString(formatDouble(curve->settings.step->level)),
                         suffix);
            const WriteResult result = saveRun(path, *curve);
            report(result.message);
            ok = ok && result.ok;
        }
    }
    if (!options_.csvPath.isEmpty()) {
        // Its end as its curves tell it, so that the store gives the same file again.
        const WriteResult result = exportFamilyCsv(QStringLiteral("kestrel-sweep " KESTREL_VERSION),
                                                   options_.csvPath, curves, familyMessage(curves));
        report(result.message);
        ok = ok && result.ok;
    }
    return ok;
}

bool SweepRun::analyze(Run& run)
{
    const analysis::FitResult result = analysis::fit(run.points, fitOptions(*options_.analyze));
    if (!result.ok()) {
        report(QString::fromStdString(result.failure));
        return false;
    }
    out_.write(QByteArray::fromStdString(analysis::describe(result)));
    const RunFit fit = runFit(*options_.analyze, result);
    run.fits.push_back(fit); // for the CSV header
    if (runId_ > 0 && session_.recorder().isKeeping()) {
        // A connection of its own: the recorder's is on its thread.
        RunDatabase store(options_.storePath);
        if (QString problem = store.open(); !problem.isEmpty() || !store.addFit(runId_, fit))
            report(QStringLiteral("The fit was not kept with run %1: %2")
                       .arg(runId_)
                       .arg(problem.isEmpty() ? store.lastError() : problem));
    }
    return true;
}

void SweepRun::report(const QString& message)
{
    const QByteArray bytes =
        (QStringLiteral("kestrel-sweep: ") + message + QLatin1Char('\n')).toUtf8();
    // Standard error is unbuffered and, unlike the readings, never a reason to stop.
    [[maybe_unused]] const auto n = ::write(STDERR_FILENO, bytes.constData(), bytes.size());
}

} // namespace kestrel
