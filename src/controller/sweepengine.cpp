#include "controller/sweepengine.h"

#include "controller/scpidrivers.h"
#include "data/currentranges.h"
#include "data/ivpoints.h"
#include "data/numbertext.h"
#include "data/sitext.h"
#include "link/workqueue.h"

#include <QThread>

#include <atomic>
#include <mutex>

#include <cmath>
#include <limits>

namespace kestrel
{

namespace
{

QString volts(double level)
{
    return QString::fromStdString(formatDouble(level));
}

// Readings of one level: their mean, with their sample standard deviation in *sd (NaN
// for one), or the first that is no number of amps, which ends the sweep as one would.
// A source-measure unit's compliance is what its last reading tells.
Reading readMean(MeterDriver&& meter, const FlagSource* compliance, std::optional<double> nplc,
                 int readings, double* sd)
{
    Reading reading;
    double mean = 0.0, squares = 0.0; // Welford's running sums
    for (int n = 1; n <= readings; ++n) {
        reading = meter.read(compliance, nplc);
        if (reading.kind != Reading::Kind::Amps)
            return reading;
        const double delta = reading.amps - mean;
        mean += delta / n;
        squares += delta * (reading.amps - mean);
    }
    if (readings > 1) {
        reading.amps = mean;
        *sd = std::sqrt(squares / (readings - 1));
    }
    return reading;
}

} // namespace

// What the set-up came to, from the worker thread.
struct SweepEngine::SetUp {
    Step step;
    bool sourceTouched = false; // a setting went to the source: switch it off at the end
    qint64 chainNs = 0;         // what a tick's three exchanges take, judged by the set-up
    QStringList older;          // errors the instruments held before the sweep
    QStringList olderLeft;      // the same, from a queue that was not emptied
};

struct SweepEngine::Tick {
    Step level;      // the level command and its confirmation
    Reading reading; // with several readings: their mean, or the first that was no number
    double sd = std::numeric_limits<double>::quiet_NaN();
    int inCompliance = -1;
    QString complianceProblem; // the source did not say whether it is at its limit
};

// Points read on the worker, waiting to join the run on the engine's thread. A tick's
// result is dropped when Stop cancels it, its point is not: the store may have it.
struct SweepEngine::Taken {
    std::mutex mutex;
    IVPointList points;
    std::vector<int> inCompliance;
    std::vector<double> sd;
    std::vector<qint64> ms;
    std::atomic<Waiting> waiting{Waiting::Source}; // what the tick in flight waits for
};

namespace
{

// The profile of that name, the one the settings carry when they carry it.
ProfilePtr resolve(const ProfilePtr& carried, const QString& name, const ProfileCatalog* catalog)
{
    if (carried)
        return carried;
    if (name == defaultProfileName)
        return defaultProfile();
    return catalog ? catalog->find(name) : nullptr;
}

} // namespace

QString limitProblem(const InstrumentProfile& source, double amps, const QString& role,
                     const QString& field)
{
    if (source.limitCommand.isEmpty())
        return QStringLiteral("The %1's profile %2 has no current limit command: leave %3 "
                              "empty, or choose the instrument's own profile.")
            .arg(role, source.name, field);
    if (!(amps > 0 && (source.maxLimitAmps == 0 || amps <= source.maxLimitAmps)))
        return QStringLiteral("A compliance of %1 is beyond what the profile %2 allows (%3).")
            .arg(siText(amps, QStringLiteral("A")), source.name,
                 source.maxLimitAmps > 0
                     ? QStringLiteral("up to %1")
                           .arg(siText(source.maxLimitAmps, QStringLiteral("A")))
                     : QStringLiteral("more than 0 A"));
    return QString();
}

QString sweepProfileProblem(const SweepSettings& settings, const InstrumentProfile& source,
                            const InstrumentProfile& meter)
{
    if (!source.canSource)
        return QStringLiteral("The profile %1 cannot be the source: it is for a %2.")
            .arg(source.name, source.roleNames().join(QStringLiteral(" and ")));
    if (!meter.canMeasure)
        return QStringLiteral("The profile %1 cannot be the meter: it is for a %2.")
            .arg(meter.name, meter.roleNames().join(QStringLiteral(" and ")));
    if (settings.complianceAmps)
        if (QString problem = limitProblem(source, *settings.complianceAmps,
                                           QStringLiteral("source"), QStringLiteral("Compliance"));
            !problem.isEmpty())
            return problem;
    if (settings.rangeIndex == autoRangeIndex && !meter.hasAutoRange())
        return QStringLiteral("The meter's profile %1 has no auto-range: choose a range.")
            .arg(meter.name);
    if (settings.rangeIndex != autoRangeIndex &&
        !(settings.rangeIndex >= 0 && settings.rangeIndex < int(meter.ranges.size())))
        return QStringLiteral("The meter's profile %1 has no range %2 (it has %3).")
            .arg(meter.name)
            .arg(settings.rangeIndex)
            .arg(meter.ranges.empty() ? QStringLiteral("auto-range only")
                                      : QStringLiteral("0 to %1").arg(meter.ranges.size() - 1));
    if (settings.nplc && !meter.hasNplc())
        return QStringLiteral("The meter's profile %1 has no NPLC setting: leave NPLC empty.")
            .arg(meter.name);
    if (settings.nplc && !meter.acceptsNplc(*settings.nplc))
        return QStringLiteral("The meter does not accept an NPLC of %1: the profile %2 allows %3.")
            .arg(QString::fromStdString(formatDouble(*settings.nplc)), meter.name,
                 meter.nplcChoices());
    return QString();
}

QString pointsDoneText(int done, int total)
{
    return total > 0 ? QStringLiteral("%1 of %2").arg(countText(done), countText(total))
                     : countText(done);
}

SweepEngine::SweepEngine(WorkQueue& queue, InstrumentLink& link, QObject* parent)
    : QObject(parent), queue_(queue), link_(link), taken_(std::make_shared<Taken>())
{
    timerCH2.setInterval(baseTickMs_);
    timerCH2.setTimerType(Qt::PreciseTimer);
    connect(&timerCH2, &QTimer::timeout, this, &SweepEngine::timerc2);
}

SweepEngine::~SweepEngine() = default;

bool SweepEngine::start(const SweepSettings& settings, const QString& sourceIdentity,
                        const QString& meterIdentity)
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (isRunning())
        return false;
    run_ = std::make_shared<Run>();
    run_->settings = settings;
    // A hold's points follow from its tick: the shortest the settle time allows.
    if (settings.plan.shape == SweepShape::Hold)
        run_->settings.plan.fitHold(tickFor(settings.settleMs, 0));
    const SweepPlan& plan = run_->settings.plan;
    {
        // Profiles the settings name but do not carry are read now, once.
        const bool named =
            (!settings.sourceCommands && settings.sourceProfile != defaultProfileName) ||
            (!settings.meterCommands && settings.meterProfile != defaultProfileName);
        const ProfileCatalog catalog = named ? loadProfiles() : ProfileCatalog();
        sourceProfile_ = resolve(settings.sourceCommands, settings.sourceProfile, &catalog);
        meterProfile_ = resolve(settings.meterCommands, settings.meterProfile, &catalog);
    }
    // The same file read twice (each identification reads the profiles) is one profile.
    combined_ = sourceProfile_ && meterProfile_ && settings.source == settings.meter &&
                sourceProfile_->file == meterProfile_->file && sourceProfile_->smu;
    run_->sourceIdentity = sourceIdentity;
    run_->meterIdentity = meterIdentity;
    run_->started = QDateTime::currentDateTime();
    state_ = State::SettingUp;
    tickBusy_ = false;
    tickMissed_ = false;
    notes_.clear();
    notesLeft_.clear();
    {
        std::lock_guard lock(taken_->mutex);
        taken_->points.clear();
    }
    IVinterval = plan.interval();
    appliedVolt = plan.start;
    sweepClock_.start();
    // Room for every point at once: no copy of a long run while points arrive. A hold
    // until Stop gets an hour's worth at the shortest tick; it grows from there.
    const std::size_t room = std::size_t(plan.untilStop() ? 36000 : plan.count());
    run_->points.reserve(room);
    run_->pointMs.reserve(room);
    reservePoints(room);
    emit started(plannedPoints());
    // Stopped by whoever heard of the start: nothing is sent.
    if (state_ != State::SettingUp)
        return true;

    QString refused;
    if (!sourceProfile_ || !meterProfile_)
        refused = QStringLiteral("There is no instrument profile named %1.")
                      .arg(sourceProfile_ ? settings.meterProfile : settings.sourceProfile);
    else
        refused = sweepProfileProblem(settings, *sourceProfile_, *meterProfile_);
    if (!refused.isEmpty()) {
        // Ends as a refused set-up does, from the event loop, with nothing sent.
        QMetaObject::invokeMethod(
            this,
            [this, refused] {
                SetUp result;
                result.step = Step::failed(refused);
                setUpDone(result);
            },
            Qt::QueuedConnection);
        return true;
    }

    // The meter first and the source's level before its output: a refusal anywhere
    // ends the set-up before anything reaches the device.
    // A source-measure unit is one instrument: its errors are read and its language
    // checked once, and the source's set-up follows the meter's.
    queue_.run(
        this,
        [&link = link_, settings, sourceProfile = sourceProfile_, meterProfile = meterProfile_,
         combined = combined_](const CancelSignal& cancel) {
            SetUp result;
            SourceDriver source(link, settings.source, sourceProfile, cancel);
            MeterDriver meter(link, settings.meter, meterProfile, cancel);
            const auto clearErrors = [&result](ScpiDriver& driver, const QString& had) {
                if (!(result.step = driver.checkLanguage()).ok)
                    return;
                QStringList older;
                result.step = driver.clearErrors(older);
                for (const QString& entry : std::as_const(older))
                    (result.step.ok ? result.older : result.olderLeft) << had + entry;
            };
            clearErrors(source, combined ? QStringLiteral("the instrument had ")
                                         : QStringLiteral("the source had "));
            if (!result.step.ok)
                return result;
            if (!combined)
                clearErrors(meter, QStringLiteral("the meter had "));
            if (!result.step.ok || !(result.step = meter.configure(MeterSetting{
                                         settings.rangeIndex, settings.meterRate, settings.nplc}))
                                        .ok)
                return result;
            result.sourceTouched = true;
            if (!(result.step = source.setUp(settings.complianceAmps)).ok)
                return result;
            // The level and the switch-on take four exchanges; a tick takes two (its level
            // and the confirmation) and one for each reading, judged by these four. A
            // hold's level is this one, set and confirmed once: its ticks only read.
            QElapsedTimer exchanges;
            exchanges.start();
            if ((result.step = source.setLevel(settings.plan.start)).ok)
                result.step = source.switchOn();
            const int perTick =
                (settings.plan.shape == SweepShape::Hold ? 0 : 2) + settings.readings;
            result.chainNs = exchanges.nsecsElapsed() * perTick / 4;
            return result;
        },
        [this](const SetUp& result) { setUpDone(result); });
    return true;
}

void SweepEngine::setUpDone(const SetUp& result)
{
    if (state_ != State::SettingUp)
        return;
    notes_ = result.older;
    notesLeft_ = result.olderLeft;
    if (!result.step.ok) {
        finish(Run::Outcome::Failed, result.step.message, result.sourceTouched);
        return;
    }
    xyflag = 1;
    state_ = State::Running;
    // The first level goes out one shortest tick after the set-up, as without a
    // settle time; the ticks after it follow at the sweep's own pace.
    tickMs_ = tickFor(run_->settings.settleMs, result.chainNs);
    setUpChainMs_ = std::max<qint64>(0, result.chainNs / 1000000);
    firstPointMs_ = -1;
    timerCH2.setInterval(baseTickMs_);
    timerCH2.start();
    emit progress(0, plannedPoints(), expectedEnd());
}

void SweepEngine::timerc2()
{
    if (state_ != State::Running)
        return;
    if (tickBusy_) {
        tickMissed_ = true; // the previous tick is still talking to the instruments
        return;
    }
    tickBusy_ = true;
    tickMissed_ = false;
    if (timerCH2.interval() != tickMs_)
        timerCH2.setInterval(tickMs_);
    const double level = run_->settings.plan.levelAt(pointsDone());
    appliedVolt = level;
    command = SourceDriver::levelCommandFor(*sourceProfile_, level);
    queue_.run(
        this,
        [&link = link_, source = run_->settings.source, meter = run_->settings.meter, level,
         settleMs = run_->settings.settleMs, index = pointsDone(), keeper = keeper_,
         clock = sweepClock_, taken = taken_, sourceProfile = sourceProfile_,
         meterProfile = meterProfile_, combined = combined_, readings = run_->settings.readings,
         hold = run_->settings.plan.shape == SweepShape::Hold,
         nplc = run_->settings.nplc ? run_->settings.nplc
                                    : meterProfile_->defaultNplc](const CancelSignal& cancel) {
            Tick tick;
            SourceDriver sourceDriver(link, source, sourceProfile, cancel);
            taken->waiting = Waiting::Source;
            if (!hold)
                tick.level = sourceDriver.setLevel(level);
            taken->waiting = Waiting::Settle;
            // Stop ends the wait at once; the result of a cancelled tick is dropped.
            if (tick.level.ok && settleMs > 0 && cancel.waitFor(settleMs))
                return tick;
            taken->waiting = Waiting::Meter;
            // A source-measure unit's reading tells its compliance; a source apart is
            // asked after the reading, when its profile can tell.
            const FlagSource& compliance = sourceProfile->compliance;
            if (tick.level.ok)
                tick.reading = readMean(MeterDriver(link, meter, meterProfile, cancel),
                                        combined ? &compliance : nullptr, nplc, readings, &tick.sd);
            if (tick.reading.kind == Reading::Kind::Amps) {
                if (tick.reading.inCompliance) {
                    tick.inCompliance = *tick.reading.inCompliance ? 1 : 0;
                } else if (!compliance.query.isEmpty()) {
                    taken->waiting = Waiting::Source;
                    const std::optional<bool> at =
                        sourceDriver.inCompliance(&tick.complianceProblem);
                    tick.inCompliance = at ? (*at ? 1 : 0) : -1;
                }
                const qint64 ms = clock.elapsed();
                if (keeper)
                    keeper(index, level, tick.reading.amps, ms, tick.inCompliance, tick.sd);
                std::lock_guard lock(taken->mutex);
                taken->points.push_back(IVPoint{level, tick.reading.amps});
                taken->ms.push_back(ms);
                taken->inCompliance.push_back(tick.inCompliance);
                taken->sd.push_back(tick.sd);
            }
            return tick;
        },
        [this, level](const Tick& tick) { measured(level, tick); });
}

SweepEngine::Waiting SweepEngine::waitingFor() const
{
    return taken_->waiting.load();
}

void SweepEngine::takePoints()
{
    IVPointList points;
    std::vector<int> flags;
    std::vector<double> sd;
    std::vector<qint64> ms;
    {
        std::lock_guard lock(taken_->mutex);
        points.swap(taken_->points);
        flags.swap(taken_->inCompliance);
        sd.swap(taken_->sd);
        ms.swap(taken_->ms);
    }
    for (std::size_t i = 0; i < points.size(); ++i) {
        const IVPoint& point = points[i];
        const int inCompliance = flags[i];
        // The flags are kept from the first point the source tells of, that one's too.
        const bool flagged = inCompliance >= 0 || !run_->inCompliance.empty();
        if (flagged)
            run_->inCompliance.resize(run_->points.size(), 0);
        run_->points.push_back(point);
        run_->pointMs.push_back(ms[i]);
        if (run_->settings.readings > 1)
            run_->currentSd.push_back(sd[i]);
        if (flagged)
            run_->inCompliance.push_back(inCompliance > 0 ? 1 : 0);
        if (xyflag == 1) {
            replacePoints(point[0], point[1]);
            xyflag = 0;
        } else {
            appendPoint(point[0], point[1]);
        }
        emit pointRecorded(pointsDone() - 1, point[0], point[1], inCompliance);
    }
}

void SweepEngine::measured(double level, const Tick& tick)
{
    if (state_ != State::Running)
        return;
    takePoints();
    if (!tick.level.ok) {
        finish(Run::Outcome::Failed, tick.level.message);
        return;
    }
    const Reading& reading = tick.reading;
    // What the meter said; a reply cut off by the link is no reading and is not shown.
    if (reading.kind != Reading::Kind::NoReply)
        emit measurementReply(reading.reply);
    switch (reading.kind) {
    case Reading::Kind::NoReply:
        finish(Run::Outcome::Failed,
               QStringLiteral("%1 (at %2 V).").arg(reading.problem, volts(level)));
        return;
    case Reading::Kind::NotANumber:
        finish(Run::Outcome::Failed,
               QStringLiteral("The meter's reply at %1 V is not a number: %2.")
                   .arg(volts(level), reading.problem));
        return;
    case Reading::Kind::Overload: {
        const auto& ranges = meterProfile_->ranges;
        const int index = run_->settings.rangeIndex;
        const QString range = index >= 0 && index < int(ranges.size())
                                  ? QStringLiteral("the %1 range").arg(ranges[index].label)
                                  : QStringLiteral("its range");
        finish(Run::Outcome::Overload,
               QStringLiteral("The meter overloaded at %1 V: the current is beyond %2. "
                              "Choose a less sensitive range and run again.")
                   .arg(volts(level), range));
        return;
    }
    case Reading::Kind::Amps:
        break;
    }

    const double amps = reading.amps;
    const int done = pointsDone();
    if (firstPointMs_ < 0)
        firstPointMs_ = sweepClock_.elapsed();
    const int total = run_->settings.plan.count();
    emit progress(done, plannedPoints(), expectedEnd());

    const std::optional<double>& limit = run_->settings.limitAmps;
    if (!tick.complianceProblem.isEmpty())
        finish(Run::Outcome::Failed,
               QStringLiteral("%1 (at %2 V).").arg(tick.complianceProblem, volts(level)));
    else if (tick.inCompliance == 1 && !run_->settings.continueAtCompliance)
        finish(Run::Outcome::Compliance,
               QStringLiteral("The source reached its compliance of %1 at %2 V.")
                   .arg(exactSiText(run_->settings.complianceAmps
                                        ? *run_->settings.complianceAmps
                                        : sourceProfile_->defaultLimitAmps.value_or(0.0),
                                    QStringLiteral("A")),
                        volts(level)));
    else if (limit && std::fabs(amps) > *limit)
        finish(Run::Outcome::LimitReached,
               QStringLiteral("Current limit reached at %1 V: %2 is beyond the limit of %3.")
                   .arg(volts(level), siText(amps, QStringLiteral("A")),
                        exactSiText(*limit, QStringLiteral("A"))));
    else if (done == total)
        finish(
            Run::Outcome::Completed,
            run_->settings.plan.shape == SweepShape::Hold
                ? QStringLiteral("Hold complete: %1 points over %2 s.")
                      .arg(countText(total),
                           QString::number(
                               double(run_->pointMs.back() - run_->pointMs.front()) / 1000, 'f', 1))
                : QStringLiteral("Sweep complete: %1 points.").arg(countText(total)));
    else
        tickBusy_ = false;
    // With a settle time the tick is sized to the wait, so one that ran past its time
    // (a slower link than the set-up showed) starts the next at once, and the grid
    // again from there, rather than costing a whole tick more. Without one, a late
    // tick waits for the next firing, the pace the 0.1 s tick has always kept.
    if (state_ == State::Running && !tickBusy_ && tickMissed_ && run_->settings.settleMs > 0) {
        timerCH2.start();
        timerc2();
    }
}

void SweepEngine::stop()
{
    if (state_ != State::SettingUp && state_ != State::Running)
        return;
    queue_.cancelAll();
    finish(Run::Outcome::Stopped, QString()); // counted once the last point is in
}

void SweepEngine::abort(const QString& why)
{
    if (state_ != State::SettingUp && state_ != State::Running)
        return;
    queue_.cancelAll();
    finish(Run::Outcome::Failed, why); // a cancelled set-up may have reached the source
}

QString SweepEngine::stoppedMessage() const
{
    if (pointsDone() == 0)
        return QStringLiteral("Sweep stopped before the first point.");
    if (run_->settings.plan.untilStop())
        return QStringLiteral("Hold stopped after %1 points.").arg(countText(pointsDone()));
    return QStringLiteral("Sweep stopped after %1 of %2 points.")
        .arg(countText(pointsDone()), countText(run_->settings.plan.count()));
}

void SweepEngine::finish(Run::Outcome outcome, const QString& message, bool switchOff)
{
    timerCH2.stop();
    tickBusy_ = false;
    if (!switchOff) {
        complete(outcome, message, SwitchOff{SwitchOff::Output::Off, QString()}, false);
        return;
    }
    state_ = State::SwitchingOff;
    command = SourceDriver::offCommandFor(*sourceProfile_);
    queue_.run(
        this,
        [&link = link_, source = run_->settings.source, meter = run_->settings.meter,
         sourceProfile = sourceProfile_, meterProfile = meterProfile_,
         combined = combined_](const CancelSignal& cancel) {
            SwitchOff off = SourceDriver(link, source, sourceProfile, cancel).switchOff();
            // A meter apart is left as its profile asks, once the source is off.
            if (!combined && off.off() && meterProfile)
                for (const QString& line : meterProfile->meterShutdown)
                    MeterDriver(link, meter, meterProfile, cancel).send(line);
            return off;
        },
        [this, outcome, message](const SwitchOff& off) { complete(outcome, message, off, true); });
}

bool SweepEngine::switchOffNow(const EndText& why)
{
    if (state_ == State::Idle)
        return true;
    timerCH2.stop();
    tickBusy_ = false;
    queue_.cancelAll();
    queue_.waitForIdle(shellTimeoutMs);
    takePoints();
    const CancelSignal cancel;
    SourceDriver source(link_, run_->settings.source, sourceProfile_, cancel);
    command = SourceDriver::offCommandFor(*sourceProfile_);
    const SwitchOff off = source.switchOff();
    complete(Run::Outcome::Interrupted, why(pointsDone(), plannedPoints()), off, true);
    return off.off();
}

void SweepEngine::complete(Run::Outcome outcome, QString message, const SwitchOff& off,
                           bool switchedOff)
{
    takePoints();
    if (outcome == Run::Outcome::Stopped && message.isEmpty())
        message = stoppedMessage();
    if (!message.isEmpty() && !message.endsWith(QLatin1Char('.')))
        message += QLatin1Char('.');
    if (!notes_.isEmpty())
        message += QStringLiteral(" Before the sweep %1 in its error queue, now read and "
                                  "cleared.")
                       .arg(notes_.join(QStringLiteral(", ")));
    if (!notesLeft_.isEmpty())
        message += QStringLiteral(" Before the sweep %1 in its error queue, read out, but the "
                                  "queue was not emptied.")
                       .arg(notesLeft_.join(QStringLiteral(", ")));
    if (!switchedOff)
        message += QStringLiteral(" Nothing was switched on.");
    else if (off.output == SwitchOff::Output::On)
        message += QStringLiteral(" The source output is still on: %1.").arg(off.message);
    else if (off.output == SwitchOff::Output::Unknown)
        message += QStringLiteral(" The source output may still be on: %1.").arg(off.message);
    else if (outcome != Run::Outcome::Completed)
        message += QStringLiteral(" The source output is off.");
    run_->ended = QDateTime::currentDateTime();
    run_->outcome = outcome;
    run_->message = message;
    run_->outputOff = !switchedOff || off.off();
    state_ = State::Idle;
    emit finished(outcome, message);
}

void SweepEngine::amendEnd(const QString& more, bool otherOff)
{
    if (isRunning() || !run_)
        return;
    run_->message += more;
    run_->outputOff = run_->outputOff && otherOff;
}

int SweepEngine::tickFor(int settleMs, qint64 chainNs) const
{
    // On the grid of the shortest tick (0.1 s unless a test or benchmark says
    // otherwise), so readings keep an even pace and the timer never fires while the
    // tick before is still settling or talking. Without a settle time the tick is the
    // shortest tick, as it has always been. For a tick that runs late see measured().
    if (settleMs == 0)
        return baseTickMs_;
    if (baseTickMs_ == 0)
        return settleMs; // no grid: each tick as soon as the one before is done
    const qint64 neededNs = qint64(settleMs) * 1000000 + std::max<qint64>(0, chainNs);
    const qint64 gridNs = qint64(baseTickMs_) * 1000000;
    const qint64 ticks = std::max<qint64>(1, (neededNs + gridNs - 1) / gridNs);
    return int(std::min<qint64>(ticks * baseTickMs_, std::numeric_limits<int>::max()));
}

QDateTime SweepEngine::expectedEnd() const
{
    // From the ticks themselves, not from the time since start(): the set-up (its
    // exchanges, the first tick's wait) would otherwise be spread over every point
    // still to come. Before two points are in, the set-up's own measure of a tick.
    const int done = pointsDone();
    const int remaining = run_->settings.plan.count() - done;
    const QDateTime now = QDateTime::currentDateTime();
    if (run_->settings.plan.untilStop())
        return QDateTime(); // it ends when someone stops it
    if (done == 0) {
        const qint64 firstMs = baseTickMs_ + run_->settings.settleMs + setUpChainMs_;
        return now.addMSecs(firstMs + qint64(remaining - 1) * tickMs_);
    }
    const qint64 perTickMs = done > 1 && firstPointMs_ >= 0
                                 ? (sweepClock_.elapsed() - firstPointMs_) / (done - 1)
                                 : tickMs_;
    return now.addMSecs(qint64(remaining) * std::max<qint64>(perTickMs, tickMs_));
}

} // namespace kestrel
