// A family of curves: the step source's levels one after another, the whole sweep at each.
#include "controller/scpidrivers.h"
#include "controller/session.h"
#include "controller/sweepdescription.h"
#include "data/numbertext.h"
#include "data/printabletext.h"

#include <QUuid>

namespace kestrel
{

namespace
{

QString levelText(double level)
{
    return QString::fromStdString(formatDouble(level));
}

// What became of the step source's output, as the end of a message says it.
QString stepOffText(const SwitchOff& off)
{
    if (off.off())
        return QStringLiteral(" The step source output is off.");
    return off.output == SwitchOff::Output::On
               ? QStringLiteral(" The step source output is still on: %1.").arg(off.message)
               : QStringLiteral(" The step source output may still be on: %1.").arg(off.message);
}

} // namespace

bool Session::startFamily(const SweepRequest& request, const StepRequest& step)
{
    if (isSweeping()) {
        emit statusShown(tr("A sweep is running: it must end, its output off, before the next "
                            "one starts."),
                         true);
        return false;
    }
    if (!source_.identified || !meter_.identified || !step_.identified) {
        emit statusShown(tr("Identify the source, the meter and the step source first: press "
                            "Identify next to each address."),
                         true);
        return false;
    }
    const ProfilePtr stepProfile = profile(Which::Step);
    QString refused;
    // Another output of the source's own supply is a second source when the profiles say
    // so; the meter apart from the source is never one.
    const bool sourceItself = stepSource == Endpoint{sip, sport};
    if ((sourceItself && stepProfile->channel == profile(Which::Source)->channel) ||
        (!sourceItself && stepSource == Endpoint{dip, dport}))
        refused = tr("The step source at %1 is also the source or the meter: a family needs a "
                     "second source, or another output of the source's supply with a profile "
                     "for that output.")
                      .arg(printableText(endpointText(stepSource)));
    else if (request.plan.shape == SweepShape::Hold)
        refused = tr("A family traces a curve at each step level: a hold has no curve.");
    else if (!stepProfile->canSource)
        refused = tr("The profile %1 cannot be the step source: it is for a %2.")
                      .arg(stepProfile->name, stepProfile->roleNames().join(tr(" and ")));
    else if (step.complianceAmps)
        refused = limitProblem(*stepProfile, *step.complianceAmps, QStringLiteral("step source"),
                               tr("its Limit"));
    if (refused.isEmpty()) {
        const SweepSettings settings = settingsFor(request);
        refused = sweepProfileProblem(settings, *settings.sourceCommands, *settings.meterCommands);
    }
    if (!refused.isEmpty()) {
        emit statusShown(refused + tr(" Nothing was switched on."), true);
        return false;
    }

    family_.emplace();
    family_->id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    family_->request = request;
    family_->step = step;
    family_->source = stepSource;
    family_->profile = stepProfile;
    family_->identity = step_.identity;
    curves_.clear();
    chosen_.reset();
    // The step source's guard is armed before its first set-up command goes out.
    if (options_.guarded) {
        standDownGuard(stepSource, true);
        QString problem;
        if (Guard* guard = startGuard(stepSource, stepProfile->file, &problem, true))
            guard->arm();
        else
            warn(tr("No guard watches the step source: %1. If this program ends during a family, "
                    "the step source output stays on.")
                     .arg(problem));
    }
    emit sweepingChanged(true);
    setStepLevel(true);
    return true;
}

void Session::setStepLevel(bool first)
{
    FamilyRun& family = *family_;
    const double level = family.step.plan.levelAt(family.index);
    emit statusShown(tr("Setting the step source to %1 V (curve %2 of %3)…")
                         .arg(levelText(level))
                         .arg(family.index + 1)
                         .arg(family.step.plan.count()),
                     false);
    struct Result {
        Step step;
        bool touched = false;
        QStringList older;
    };
    family.stepTouched = family.stepTouched || first;
    instrumentQueue_.run(
        this,
        [&link = *link_, source = family.source, profile = family.profile, level, first,
         compliance = family.step.complianceAmps,
         settleMs = family.request.settleMs](const CancelSignal& cancel) {
            Result result;
            SourceDriver step(link, source, profile, cancel);
            if (first) {
                // As the source's own set-up: its language, its older errors, its limit, the
                // level before the output.
                if (!(result.step = step.checkLanguage()).ok ||
                    !(result.step = step.clearErrors(result.older)).ok ||
                    !(result.step = step.setUp(compliance)).ok)
                    return result;
            }
            if ((result.step = step.setLevel(level)).ok && first)
                result.step = step.switchOn();
            // Stop ends the wait at once, and its result is dropped.
            if (result.step.ok && settleMs > 0)
                cancel.waitFor(settleMs);
            return result;
        },
        [this](const Result& result) {
            if (!family_ || family_->stopping)
                return;
            for (const QString& entry : result.older)
                family_->older << tr("the step source had ") + entry;
            if (!result.step.ok) {
                endFamily(Run::Outcome::Failed, result.step.message);
                return;
            }
            startCurve();
        });
}

void Session::startCurve()
{
    FamilyRun& family = *family_;
    SweepSettings settings = settingsFor(family.request);
    FamilyStep step;
    step.family = family.id;
    step.index = family.index;
    step.count = family.step.plan.count();
    step.level = family.step.plan.levelAt(family.index);
    step.source = family.source;
    step.identity = family.identity;
    step.profile = family.profile->name;
    step.complianceAmps = family.step.complianceAmps;
    settings.step = step;
    if (!sweep_.start(settings, source_.identity, meter_.identity))
        endFamily(Run::Outcome::Failed,
                  tr("The curve at step %1 V did not start.").arg(levelText(step.level)));
}

void Session::curveEnded(Run::Outcome outcome, const QString& message)
{
    FamilyRun& family = *family_;
    const auto run = sweep_.run();
    curves_.push_back(run);
    emit currentRunChanged();
    const bool more = outcome == Run::Outcome::Completed && run->outputOff && !family.stopping &&
                      !family.shuttingDown && family.index + 1 < family.step.plan.count();
    if (more) {
        sweepFinished(true);
        emit statusShown(message, false);
        ++family.index;
        setStepLevel(false);
        return;
    }
    // The last curve's record waits for what becomes of the step source.
    family.stopping = true;
    family.curveOpen = true;
    if (!family.shuttingDown)
        endFamily(outcome, message);
}

void Session::endFamily(Run::Outcome outcome, const QString& message)
{
    FamilyRun& family = *family_;
    family.stopping = true;
    if (!family.stepTouched) {
        familyEnded(outcome, message, SwitchOff{SwitchOff::Output::Off, QString()});
        return;
    }
    emit statusShown(tr("Switching the step source off…"), false);
    instrumentQueue_.run(
        this,
        [&link = *link_, source = family.source,
         profile = family.profile](const CancelSignal& cancel) {
            return SourceDriver(link, source, profile, cancel).switchOff();
        },
        [this, outcome, message](const SwitchOff& off) { familyEnded(outcome, message, off); });
}

bool Session::switchStepOffNow(const SweepEngine::EndText& why)
{
    FamilyRun& family = *family_;
    instrumentQueue_.cancelAll();
    instrumentQueue_.waitForIdle(shellTimeoutMs);
    SwitchOff off{SwitchOff::Output::Off, QString()};
    if (family.stepTouched) {
        const CancelSignal cancel;
        off = SourceDriver(*link_, family.source, family.profile, cancel).switchOff();
    }
    familyEnded(Run::Outcome::Interrupted, why(sweep_.pointsDone(), family.request.plan.count()),
                off);
    return off.off();
}

void Session::familyEnded(Run::Outcome outcome, QString message, const SwitchOff& off)
{
    const FamilyRun family = std::move(*family_);
    family_.reset();
    const bool stepOff = !family.stepTouched || off.off();
    const QString stepText = family.stepTouched ? stepOffText(off) : QString();
    bool sourcesOff = stepOff;
    if (family.curveOpen) {
        // The last curve's record is finished now, with what became of the step source.
        const bool sourceOff = sweep_.run()->outputOff;
        sourcesOff = sourcesOff && sourceOff;
        sweep_.amendEnd(stepText, stepOff);
        sweepFinished(sourceOff);
        // As the family's CSV says it, from what its curves keep.
        message = familyMessage(curves_);
    } else {
        if (!message.endsWith(QLatin1Char('.')))
            message += QLatin1Char('.');
        message += family.stepTouched ? stepText : tr(" Nothing was switched on.");
    }
    if (!family.older.isEmpty())
        message += tr(" Before the family %1 in its error queue, now read and cleared.")
                       .arg(family.older.join(QStringLiteral(", ")));
    if (stepOff)
        standDownGuard(family.source, true);
    emit sweepingChanged(false);
    emit statusShown(message,
                     (outcome != Run::Outcome::Completed && outcome != Run::Outcome::Stopped) ||
                         !sourcesOff);
    emit ended(outcome, message, sourcesOff);
}

} // namespace kestrel
