#include "controller/session.h"

#include "controller/scpidrivers.h"
#include "controller/sweepdescription.h"
#include "data/numbertext.h"
#include "data/printabletext.h"
#include "data/sitext.h"

namespace kestrel
{

static_assert(RunRecorder::maxWaitingPoints == 1'000'001, "the store's messages name the bound");

Session::Session(const QString& home, std::unique_ptr<InstrumentLink> link,
                 std::unique_ptr<QSettings> settings, const SessionOptions& options,
                 QObject* parent)
    : QObject(parent), pat(home + QLatin1Char('/')), options_(options), link_(std::move(link)),
      settings_(std::move(settings)), recorder_(options.storePath, options.program),
      history_(options.storePath), sweep_(instrumentQueue_, *link_)
{
    connect(&recorder_, &RunRecorder::failed, this, [this](const QString& text) {
        warn(text);
        // Nothing more reaches the store: a guard kept for a run's end is not needed.
        if (standDownAfter_)
            runEnded(standDownAfter_->first);
    });
    connect(&recorder_, &RunRecorder::begun, this, [this](qint64 id) {
        // The guard of the sweep's source records into this run if it has to act, and
        // learns how many points were measured so far.
        if (const auto run = sweep_.run(); run && isSweeping()) {
            keptRunId_ = id;
            if (Guard* guard = guardOf(run->settings.source)) {
                guard->watchRun(id);
                guard->measured(id, sweep_.pointsDone());
            }
            // The step source's guard records what it did in each curve.
            if (family_)
                if (Guard* guard = guardOf(family_->source, true))
                    guard->watchRun(id);
        }
        emit runKept(id);
    });
    connect(&recorder_, &RunRecorder::ended, this, &Session::runEnded);
    connect(&recorder_, &RunRecorder::waiting, this, [this](int points, const QDateTime& since) {
        emit storeWaiting(
            (points == 1 ? tr("The run store is busy (another program is writing to it): 1 "
                              "point waits in memory since %2")
                         : tr("The run store is busy (another program is writing to it): %1 "
                              "points wait in memory since %2"))
                    .arg(countText(points))
                    .arg(since.time().toString(QStringLiteral("HH:mm:ss"))) +
                tr(" and will be kept as soon as it frees (at most 1,000,001 points wait; if "
                   "this program ends first, they are lost)."),
            true);
    });
    connect(&recorder_, &RunRecorder::caughtUp, this, [this](int points, const QDateTime& since) {
        emit storeWaiting(
            (points == 1 ? tr("The run store is free again: the 1 point that waited since %2 "
                              "is kept.")
                         : tr("The run store is free again: all %1 points that waited since %2 "
                              "are kept."))
                .arg(countText(points))
                .arg(since.time().toString(QStringLiteral("HH:mm:ss"))),
            false);
    });
    // The sweep never waits for the store: a point waits in the recorder while the
    // store is busy, and the guard knows how many were measured.
    sweep_.setPointKeeper([this](int index, double volt, double amps, qint64 ms, int inCompliance,
                                 double sd) {
        recorder_.keepPoint(index, volt, amps, ms, inCompliance, sd);
    });
    connect(&sweep_, &SweepEngine::pointRecorded, this, [this](int index) {
        if (keptRunId_ == 0)
            return;
        if (Guard* guard = guardOf(sweep_.run()->settings.source))
            guard->measured(keptRunId_, index + 1);
    });
    connect(&sweep_, &SweepEngine::started, this, &Session::sweepStarted);
    connect(&sweep_, &SweepEngine::finished, this,
            [this](Run::Outcome outcome, const QString& text) {
                if (family_) {
                    curveEnded(outcome, text);
                    return;
                }
                sweepFinished(sweep_.run()->outputOff);
                emit sweepingChanged(false);
                // An output not confirmed off is a problem however the sweep ended.
                emit statusShown(text, (outcome != Run::Outcome::Completed &&
                                        outcome != Run::Outcome::Stopped) ||
                                           !sweep_.run()->outputOff);
                emit ended(outcome, text, sweep_.run()->outputOff);
            });
    connect(&sweep_, &SweepEngine::measurementReply, this,
            [this](const QString& reply) { print(reply); });
}

Session::~Session()
{
    // The guards stay until the store has what waits, or has not taken it in time: then
    // they say how many points were lost.
    recorder_.waitUntilWritten(RunRecorder::quitWaitMs);
}

void Session::warn(const QString& text)
{
    if (warnings_.contains(text))
        return;
    warnings_ << text;
    emit warned(text);
}

void Session::sweepStarted()
{
    chosen_.reset();
    emit currentRunChanged();
    keptRunId_ = 0;
    const Run& run = *sweep_.run();
    recorder_.begin(run);
    // The guard is armed before the first set-up command goes out.
    guardRestarts_ = 0;
    if (options_.guarded) {
        const Endpoint& source = run.settings.source;
        const ProfilePtr profile = sweep_.sourceProfile();
        const QString profileFile = profile ? profile->file : QString();
        Guard* guard = guardOf(source);
        // A guard switches off by the profile it was started with.
        if (guard && guard->profileFile() != profileFile && !guard->isArmed()) {
            standDownGuard(source);
            guard = nullptr;
        }
        if (!guard) {
            QString problem;
            guard = startGuard(source, profileFile, &problem);
            if (!guard)
                warn(tr("No guard watches the source: %1. If this program ends during a sweep, "
                        "the source output stays on.")
                         .arg(problem));
        }
        if (guard)
            guard->arm();
    }
    emit sweepingChanged(true);
    emit statusShown(tr("Setting up the instruments…"), false);
}

void Session::sweepFinished(bool sourceOff)
{
    const Run& run = *sweep_.run();
    recorder_.finish(run);
    if (!sourceOff)
        return;
    // Until the store has the run's end, its guard stays to say how many points were
    // lost should this program end; it switches nothing off any more.
    if (keptRunId_ != 0 && recorder_.isKeeping()) {
        if (Guard* guard = guardOf(run.settings.source)) {
            guard->disarm();
            standDownAfter_.emplace(keptRunId_, run.settings.source);
        }
    } else {
        standDownGuard(run.settings.source);
    }
    keptRunId_ = 0;
}

void Session::runEnded(qint64 id)
{
    if (!standDownAfter_ || standDownAfter_->first != id)
        return;
    const Endpoint source = standDownAfter_->second;
    standDownAfter_.reset();
    // A new sweep on that source has armed the guard again meanwhile.
    if (Guard* guard = guardOf(source); guard && !guard->isArmed())
        standDownGuard(source);
}

Guard* Session::guardOf(const Endpoint& source, bool stepSource) const
{
    // A step source on another output of the source's own supply has a guard of its own.
    for (const auto& guard : guards_)
        if (guard->source() == source && guard->isStepSource() == stepSource)
            return guard.get();
    return nullptr;
}

Guard* Session::startGuard(const Endpoint& source, const QString& profileFile, QString* problem,
                           bool stepSource)
{
    if (options_.guardProgram.isEmpty()) {
        *problem = tr("kestrel-guard was not found beside the program");
        return nullptr;
    }
    auto started = Guard::start(GuardConfig{options_.guardProgram, pat.chopped(1),
                                            recorder_.isKeeping() ? options_.storePath : QString(),
                                            profileFile, stepSource},
                                source, problem);
    if (!started)
        return nullptr;
    Guard* guard = started.get();
    // Queued: the guard that ended is removed outside its own signal. Watched: one stood
    // down before the call comes is not mistaken for another made at its address.
    connect(
        guard, &Guard::ended, this,
        [this, watched = QPointer<Guard>(guard)] {
            if (watched)
                guardEnded(watched);
        },
        Qt::QueuedConnection);
    guards_.push_back(std::move(started));
    return guard;
}

void Session::guardEnded(Guard* gone)
{
    const auto found = std::find_if(guards_.begin(), guards_.end(),
                                    [gone](const auto& guard) { return guard.get() == gone; });
    if (found == guards_.end())
        return;
    const std::unique_ptr<Guard> old = std::move(*found);
    guards_.erase(found);
    if (!old->isArmed())
        return;
    const Endpoint source = old->source();
    const QString where = printableText(endpointText(source));
    QString problem;
    Guard* guard = nullptr;
    // A guard that ends again and again is not watching anything.
    if (++guardRestarts_ > maxGuardRestarts)
        problem = tr("the guard ended %1 times").arg(guardRestarts_);
    else
        guard = startGuard(source, old->profileFile(), &problem, old->isStepSource());
    if (guard) {
        guard->arm();
        for (const qint64 id : old->runs())
            guard->watchRun(id);
        warn(tr("The guard watching the source at %1 ended; a new guard watches it now.")
                 .arg(where));
        return;
    }
    if (old->isStepSource() && family_ && !sweep_.isRunning()) {
        family_->stopping = true;
        instrumentQueue_.cancelAll();
        endFamily(Run::Outcome::Failed,
                  tr("The guard watching the step source at %1 ended and no new one could be "
                     "started (%2), so the family was ended.")
                      .arg(where, problem));
        return;
    }
    if (isSweeping() && (old->isStepSource() || sweep_.run()->settings.source == source)) {
        sweep_.abort(tr("The guard watching the source at %1 ended and no new one could be "
                        "started (%2), so the sweep was ended")
                         .arg(where, problem));
        return;
    }
    warn(tr("No guard watches the source at %1: its guard ended and no new one could be started "
            "(%2). If this program ends while the source output is on, it stays on.")
             .arg(where, problem));
}

void Session::standDownGuard(const Endpoint& source, bool stepSource)
{
    for (auto guard = guards_.begin(); guard != guards_.end(); ++guard)
        if ((*guard)->source() == source && (*guard)->isStepSource() == stepSource) {
            (*guard)->standDown();
            guards_.erase(guard);
            return;
        }
}

void Session::switchSourceOff(const Endpoint& typed)
{
    if (isSweeping()) {
        stop();
        return;
    }
    const Endpoint target = source_.identified ? Endpoint{sip, sport} : typed;
    const QString where = printableText(endpointText(target));
    // The source is switched off the way the last sweep on it was (this program's, or
    // one found unfinished in the store), else as identified.
    ProfilePtr profile = source_.identified ? source_.profile : nullptr;
    for (const auto& [source, name] : recoveredProfiles_)
        if (source == target)
            if (const ProfilePtr found = loadProfiles().find(name))
                profile = found;
    if (const auto last = sweep_.run(); last && last->settings.source == target)
        profile = sweep_.sourceProfile();
    emit statusShown(tr("Switching the source at %1 off…").arg(where), false);
    instrumentQueue_.run(
        this,
        [&link = *link_, target, profile](const CancelSignal& cancel) {
            return SourceDriver(link, target, profile, cancel).switchOff();
        },
        [this, target, where](const SwitchOff& off) {
            if (off.off())
                standDownGuard(target);
            emit statusShown(
                off.off() ? tr("The source at %1 was switched off.").arg(where)
                : off.output == SwitchOff::Output::On
                    ? tr("The source at %1 is still on: %2.").arg(where, off.message)
                    : tr("The source at %1 may still be on: %2.").arg(where, off.message),
                !off.off());
        });
}

bool Session::lastRunIsOnlyHere() const
{
    const auto run = sweep_.run();
    return run && !run->points.empty() && !recorder_.isKeeping() && savedRun_.lock() != run;
}

void Session::recover(std::function<void(const QStringList&, bool)> done)
{
    recorder_.recover([this, done = std::move(done)](const std::vector<StoredRun>& runs) {
        QStringList sentences;
        bool mayBeOn = false;
        for (const StoredRun& stored : runs) {
            if (!stored.run.outputOff)
                recoveredProfiles_.emplace_back(stored.run.settings.source,
                                                stored.run.settings.sourceProfile);
            const QDateTime& started = stored.run.started;
            const QString when = started.date() == QDate::currentDate()
                                     ? started.time().toString(QStringLiteral("HH:mm"))
                                     : started.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
            if (stored.endNotRecorded) {
                // The program knew how it ended: that, not a guess, is what is said.
                mayBeOn = mayBeOn || !stored.run.outputOff;
                sentences << tr("The end of run %1 was not recorded (the run store could not be "
                                "written): the sweep started at %2 ended %3 with the source "
                                "output %4; its %5 %6 kept.")
                                 .arg(stored.id)
                                 .arg(when, outcomeName(stored.run.outcome),
                                      stored.run.outputOff ? tr("switched off and confirmed")
                                                           : tr("not confirmed off"))
                                 .arg(countText(stored.pointCount))
                                 .arg(stored.pointCount == 1 ? tr("point is") : tr("points are"));
                continue;
            }
            // What the step source's guard did, said after what became of the source.
            const bool stepOn =
                !stored.stepGuard.isEmpty() && !stored.stepOutputOff.value_or(false);
            QString step;
            if (!stored.stepGuard.isEmpty())
                step = QLatin1Char(' ') + stored.stepGuard +
                       (stepOn ? tr(". The step source output may still be on.") : QString());
            mayBeOn = mayBeOn || stepOn;
            if (stored.run.outcome != Run::Outcome::Interrupted && !step.isEmpty()) {
                // A curve that ended before the program did: only the step source is news.
                sentences << tr("The family whose curve started at %1 did not finish.").arg(when) +
                                 step;
                continue;
            }
            QString sentence = tr("The sweep started at %1 did not finish; its %2 %3 kept.")
                                   .arg(when)
                                   .arg(countText(stored.pointCount))
                                   .arg(stored.pointCount == 1 ? tr("point is") : tr("points are"));
            if (stored.run.outputOff) {
                sentence += QLatin1Char(' ') + stored.guard;
            } else {
                mayBeOn = true;
                sentence += tr(" The source output may still be on: %1 Use Switch source off.")
                                .arg(stored.guard.isEmpty() ? tr("no switch-off was recorded.")
                                                            : stored.guard + QLatin1Char('.'));
                // It switches off the way the run's profile does.
                if (stored.run.settings.sourceProfile != defaultProfileName)
                    sentence.chop(1), sentence += tr(", which sends the %1 profile's switch-off.")
                                                      .arg(stored.run.settings.sourceProfile);
            }
            sentences << sentence + step;
        }
        if (!sentences.isEmpty())
            done(sentences, mayBeOn);
    });
}

void Session::print(const QString& text)
{
    if (printLine)
        printLine(printableLines(text));
}

bool Session::isIdentified(Which which) const
{
    return instrument(which).identified;
}

QString Session::identity(Which which) const
{
    return instrument(which).identity;
}

void Session::identify(Which which, const Endpoint& endpoint)
{
    if (isSweeping()) {
        emit statusShown(tr("Identify waits until the sweep has ended and the output is off."),
                         true);
        return;
    }
    if (meterFollows_ && which == Which::Meter)
        return; // the meter is the source: its identification is the source's
    // The step source is a source too: it is matched with the profiles that can source.
    const bool source = which != Which::Meter;
    if (which == Which::Step)
        stepSource = endpoint;
    else
        (source ? sport : dport) = endpoint.port, (source ? sip : dip) = endpoint.address;
    // Until the answer is in, the instrument is not identified: a failed answer
    // must not leave an earlier identity in force.
    Instrument& state = instrument(which);
    state.identified = false;
    state.identity.clear();
    const quint64 asked = ++state.asked;
    followSource();
    emit identifying(which, tr("Asking %1 …").arg(printableText(endpointText(endpoint))));

    struct Answer {
        Identity identity;
        ProfilePtr profile; // the one whose identity pattern matches
    };
    instrumentQueue_.run(
        this,
        [&link = *link_, endpoint, source,
         roleName = which == Which::Step ? QStringLiteral("step source")
                    : which == Which::Source
                        ? QStringLiteral("source")
                        : QStringLiteral("meter")](const CancelSignal& cancel) {
            Answer answer;
            answer.identity = ScpiDriver(link, endpoint, roleName, nullptr, cancel).identify();
            if (answer.identity.ok) {
                const ProfilePtr matched = loadProfiles().match(answer.identity.text);
                // A match that cannot fill this role leaves the default profile.
                if (matched && (source ? matched->canSource : matched->canMeasure))
                    answer.profile = matched;
            }
            return answer;
        },
        [this, which, asked](const Answer& answer) {
            Instrument& state = instrument(which);
            if (asked != state.asked)
                return; // a later identification of this instrument counts instead
            print(answer.identity.reply);
            state.identified = answer.identity.ok;
            state.identity = answer.identity.ok ? answer.identity.text : QString();
            state.profile = answer.profile ? answer.profile : defaultProfile();
            emit identified(which, answer.identity.ok, answer.identity.text);
            emit profileChanged(which, state.profile->name);
            if (meterFollows_ && which == Which::Source) {
                followSource();
                emit identified(Which::Meter, answer.identity.ok, answer.identity.text);
                emit profileChanged(Which::Meter, state.profile->name);
            }
        });
}

bool Session::setMeterFollowsSource(bool on)
{
    if (on == meterFollows_)
        return true;
    if (isSweeping()) {
        emit statusShown(tr("The source can measure, or stop measuring, once the sweep has "
                            "ended."),
                         true);
        return false;
    }
    meterFollows_ = on;
    if (on) {
        followSource();
        if (meter_.identified) {
            emit identified(Which::Meter, true, meter_.identity);
            emit profileChanged(Which::Meter, profile(Which::Meter)->name);
        }
        return true;
    }
    // The meter's own endpoint is another instrument until it answers.
    meter_.identified = false;
    meter_.identity.clear();
    meter_.profile.reset();
    ++meter_.asked;
    emit profileChanged(Which::Meter, profile(Which::Meter)->name);
    return true;
}

void Session::followSource()
{
    if (!meterFollows_)
        return;
    dip = sip;
    dport = sport;
    meter_.identified = source_.identified;
    meter_.identity = source_.identity;
    meter_.profile = source_.profile;
    ++meter_.asked; // an answer of the meter's own endpoint no longer counts
}

ProfilePtr Session::profile(Which which) const
{
    const ProfilePtr& chosen = instrument(which).profile;
    return chosen ? chosen : defaultProfile();
}

bool Session::chooseProfile(Which which, const QString& name)
{
    const bool source = which != Which::Meter;
    if (isSweeping()) {
        emit statusShown(tr("The profile can change once the sweep has ended."), true);
        return false;
    }
    if (meterFollows_ && which == Which::Meter) {
        emit statusShown(tr("The source measures, with its own profile: choose the source's "
                            "profile."),
                         true);
        return false;
    }
    const auto found = profileForRole(loadProfiles(), name,
                                      source ? QStringLiteral("source") : QStringLiteral("meter"));
    if (const QString* problem = std::get_if<QString>(&found)) {
        emit statusShown(*problem, true);
        return false;
    }
    instrument(which).profile = std::get<ProfilePtr>(found);
    emit profileChanged(which, instrument(which).profile->name);
    if (meterFollows_ && which == Which::Source) {
        followSource();
        emit profileChanged(Which::Meter, meter_.profile->name);
    }
    return true;
}

bool Session::meterIsSource() const
{
    const ProfilePtr p = profile(Which::Source);
    return source_.identified && meter_.identified && sip == dip && sport == dport &&
           p->file == profile(Which::Meter)->file && p->smu;
}

bool Session::start(const SweepRequest& request)
{
    if (isSweeping()) {
        emit statusShown(tr("A sweep is running: it must end, its output off, before the next "
                            "one starts."),
                         true);
        return false;
    }
    if (!source_.identified || !meter_.identified) {
        emit statusShown(!source_.identified && !meter_.identified
                             ? tr("Identify the source and the meter first: press Identify next "
                                  "to each address.")
                         : !source_.identified
                             ? tr("Identify the source first: press Identify next to its address.")
                             : tr("Identify the meter first: press Identify next to its address."),
                         true);
        return false;
    }
    return sweep_.start(settingsFor(request), source_.identity, meter_.identity);
}

SweepSettings Session::settingsFor(const SweepRequest& request) const
{
    SweepSettings settings;
    settings.source = Endpoint{sip, sport};
    settings.meter = Endpoint{dip, dport};
    settings.plan = request.plan;
    settings.rangeIndex = request.rangeIndex;
    settings.limitAmps = request.limitAmps;
    settings.settleMs = request.settleMs;
    settings.meterRate = request.meterRate;
    settings.sourceCommands = profile(Which::Source);
    settings.meterCommands = profile(Which::Meter);
    settings.sourceProfile = settings.sourceCommands->name;
    settings.meterProfile = settings.meterCommands->name;
    settings.complianceAmps = request.complianceAmps;
    settings.continueAtCompliance = request.continueAtCompliance;
    settings.nplc = request.nplc;
    settings.readings = request.readings;
    return settings;
}

namespace
{

// A current limit as typed: empty for the profile's own, or positive amps; else a sentence
// naming the field.
std::variant<std::optional<double>, QString>
typedCompliance(const QString& text, const QString& field, const QString& profile)
{
    auto amps = parseCurrentLimit(text);
    if (std::holds_alternative<QString>(amps))
        return QObject::tr("%1 must be empty (the %2's default limit) or a positive number of "
                           "amps, like 0.0001, not \"%3\".")
            .arg(field, profile, printableText(text));
    return amps;
}

} // namespace

bool Session::runTyped(const StoredSweep& typed, const StartQuestion& ask)
{
    if (isSweeping() || !source_.identified || !meter_.identified ||
        (typed.family && !step_.identified))
        return typed.family ? startFamily(SweepRequest{}, StepRequest{}) : start(SweepRequest{});
    StepRequest step;
    if (typed.family && shapeFromName(typed.shape) == SweepShape::Hold) {
        emit statusShown(tr("A family traces a curve at each step level: choose a shape other "
                            "than Hold, or untick Step a second source."),
                         true);
        return false;
    }
    if (typed.family) {
        const auto stepPlan =
            makeSweepPlan(SweepFields{typed.stepStart, typed.stepStop, typed.stepSteps});
        if (const QString* problem = std::get_if<QString>(&stepPlan)) {
            emit statusShown(tr("Step levels: ") + *problem, true);
            return false;
        }
        step.plan = std::get<SweepPlan>(stepPlan);
        const auto stepCompliance =
            typedCompliance(typed.stepCompliance, tr("Step compliance"), tr("step profile"));
        if (const QString* problem = std::get_if<QString>(&stepCompliance)) {
            emit statusShown(*problem, true);
            return false;
        }
        step.complianceAmps = std::get<std::optional<double>>(stepCompliance);
    }
    const auto plan =
        makeSweepPlan(SweepFields{typed.start, typed.stop, typed.steps,
                                  shapeFromName(typed.shape).value_or(SweepShape::Linear),
                                  typed.levels, typed.cycles, typed.holdLevel, typed.duration});
    if (const QString* problem = std::get_if<QString>(&plan)) {
        emit statusShown(*problem, true);
        return false;
    }
    const auto limit = parseCurrentLimit(typed.limit);
    if (const QString* problem = std::get_if<QString>(&limit)) {
        emit statusShown(*problem, true);
        return false;
    }
    const auto settle = parseSettleMs(typed.settleMs);
    if (const QString* problem = std::get_if<QString>(&settle)) {
        emit statusShown(*problem, true);
        return false;
    }
    const auto compliance = typedCompliance(typed.compliance, tr("Compliance"), tr("profile"));
    if (const QString* problem = std::get_if<QString>(&compliance)) {
        emit statusShown(*problem, true);
        return false;
    }
    std::optional<double> nplc;
    if (!typed.nplc.trimmed().isEmpty()) {
        nplc = parseNumber(typed.nplc.trimmed().toStdString());
        if (!nplc || !(*nplc > 0) || !std::isfinite(*nplc)) {
            emit statusShown(tr("NPLC must be empty (the meter's own setting) or a positive "
                                "number of power-line cycles, like 1, not \"%1\".")
                                 .arg(printableText(typed.nplc)),
                             true);
            return false;
        }
    }
    const auto readings = parseReadings(typed.readings);
    if (const QString* problem = std::get_if<QString>(&readings)) {
        emit statusShown(*problem, true);
        return false;
    }
    SweepRequest request;
    request.plan = std::get<SweepPlan>(plan);
    request.readings = std::get<int>(readings);
    request.rangeIndex = typed.rangeIndex;
    request.limitAmps = std::get<std::optional<double>>(limit);
    request.settleMs = std::get<int>(settle);
    request.meterRate = rateFromName(typed.meterRate).value_or(MeterRate::Medium);
    request.complianceAmps = std::get<std::optional<double>>(compliance);
    request.continueAtCompliance = typed.continueAtCompliance;
    request.nplc = nplc;
    // Settings the profiles cannot carry out end the run at once, as they always have;
    // only a sweep that would really run is asked about.
    const SweepSettings settings = settingsFor(request);
    if (ask &&
        sweepProfileProblem(settings, *settings.sourceCommands, *settings.meterCommands)
            .isEmpty() &&
        !ask(request.plan, request.settleMs, request.readings,
             typed.family ? step.plan.count() : 1))
        return false;
    if (settings_) {
        storeEndpoint(*settings_, sourceAddressKey, Endpoint{sip, sport});
        // The meter's own endpoint stays remembered while the source measures.
        if (!meterFollows_)
            storeEndpoint(*settings_, drainAddressKey, Endpoint{dip, dport});
        if (typed.family)
            storeEndpoint(*settings_, stepAddressKey, stepSource);
        storeSweep(*settings_, typed);
        settings_->sync();
    }
    return typed.family ? startFamily(request, step) : start(request);
}

void Session::stop()
{
    if (!isSweeping())
        return;
    emit statusShown(tr("Stopping: switching the source output off…"), false);
    if (!family_) {
        sweep_.stop();
        return;
    }
    family_->stopping = true;
    if (sweep_.isRunning()) {
        sweep_.stop(); // the step source follows once the curve has ended
        return;
    }
    instrumentQueue_.cancelAll();
    endFamily(Run::Outcome::Stopped, curves_.empty()
                                         ? tr("The family was stopped before its first curve.")
                                         : tr("The family was stopped between curves %1 and %2.")
                                               .arg(curves_.size())
                                               .arg(curves_.size() + 1));
}

QString Session::nothingToSave() const
{
    const QString nothing = kestrel::nothingToSave(currentRun().get());
    return nothing.isEmpty() ? nothing : tr("Nothing to save: ") + nothing;
}

void Session::save(const QString& path)
{
    const auto run = currentRun();
    if (const QString nothing = nothingToSave(); !nothing.isEmpty()) {
        emit statusShown(nothing, true);
        return;
    }
    print(path);
    fileQueue_.run(
        this, [path, copy = *run](const CancelSignal&) { return saveRun(path, copy); },
        [this, saved = std::weak_ptr<const Run>(run)](const WriteResult& result) {
            if (result.ok)
                savedRun_ = saved;
            emit statusShown(result.message, !result.ok);
        });
}

void Session::exportCsv(const QString& path)
{
    const auto run = currentRun();
    if (!run || run->points.empty()) {
        emit statusShown(tr("Nothing to export: ") + kestrel::nothingToSave(run.get()), true);
        return;
    }
    Run copy = *run;
    copy.fits = fitsOf(run);
    fileQueue_.run(
        this,
        [path, copy = std::move(copy)](const CancelSignal&) {
            return exportRunCsv(QStringLiteral("Kestrel " KESTREL_VERSION), path, copy);
        },
        [this, saved = std::weak_ptr<const Run>(run)](const WriteResult& result) {
            if (result.ok)
                savedRun_ = saved;
            emit statusShown(result.message, !result.ok);
        });
}

void Session::addFit(const std::shared_ptr<const Run>& run, const RunFit& fit)
{
    std::erase_if(addedFits_, [](const auto& entry) { return entry.first.expired(); });
    addedFits_.emplace_back(run, fit);
}

std::vector<RunFit> Session::fitsOf(const std::shared_ptr<const Run>& run) const
{
    std::vector<RunFit> fits = run ? run->fits : std::vector<RunFit>();
    for (const auto& [fitted, fit] : addedFits_)
        if (run && fitted.lock() == run)
            fits.push_back(fit);
    return fits;
}

bool Session::shutdown(const SweepEngine::EndText& why)
{
    if (family_)
        family_->shuttingDown = true;
    bool off = sweep_.switchOffNow(why);
    if (family_)
        off = switchStepOffNow(why) && off;
    fileQueue_.waitForIdle(shellTimeoutMs); // a save in progress finishes its file
    return off;
}

} // namespace kestrel
