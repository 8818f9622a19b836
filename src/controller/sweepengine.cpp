#include "controller/sweepengine.h"

#include "controller/scpidrivers.h"
#include "data/currentranges.h"
#include "data/ivpoints.h"
#include "data/numbertext.h"
#include "link/workqueue.h"

#include <QThread>

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
    Step level; // the level command and its confirmation
    Reading reading;
};

// Points read on the worker, waiting to join the run on the engine's thread. A tick's
// result is dropped when Stop cancels it, its point is not: the store may have it.
struct SweepEngine::Taken {
    std::mutex mutex;
    IVPointList points;
};

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
    IVinterval = settings.plan.interval();
    appliedVolt = settings.plan.start;
    sweepClock_.start();
    // Room for every point at once: no copy of a long run while points arrive.
    run_->points.reserve(std::size_t(settings.plan.count()));
    reservePoints(std::size_t(settings.plan.count()));
    emit started(settings.plan.count());

    // The meter first and the source's level before its output: a refusal anywhere
    // ends the set-up before anything reaches the device.
    queue_.run(
        this,
        [&link = link_, settings](const CancelSignal& cancel) {
            SetUp result;
            SourceDriver source(link, settings.source, cancel);
            MeterDriver meter(link, settings.meter, cancel);
            const auto clearErrors = [&result](ScpiDriver& driver, const QString& had) {
                QStringList older;
                result.step = driver.clearErrors(older);
                for (const QString& entry : std::as_const(older))
                    (result.step.ok ? result.older : result.olderLeft) << had + entry;
            };
            clearErrors(source, QStringLiteral("the source had "));
            if (!result.step.ok)
                return result;
            clearErrors(meter, QStringLiteral("the meter had "));
            if (!result.step.ok ||
                !(result.step = meter.configure(settings.rangeIndex, settings.meterRate)).ok)
                return result;
            result.sourceTouched = true;
            // The level and the switch-on take four exchanges; a tick takes three (its
            // level, the confirmation and the reading), judged by these four.
            QElapsedTimer exchanges;
            exchanges.start();
            if ((result.step = source.setLevel(settings.plan.start)).ok)
                result.step = source.switchOn();
            result.chainNs = exchanges.nsecsElapsed() * 3 / 4;
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
    timerCH2.setInterval(baseTickMs_);
    timerCH2.start();
    emit progress(0, run_->settings.plan.count(), expectedEnd());
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
    command = SourceDriver::levelCommand(level);
    queue_.run(
        this,
        [&link = link_, source = run_->settings.source, meter = run_->settings.meter, level,
         settleMs = run_->settings.settleMs, index = pointsDone(), keeper = keeper_,
         clock = sweepClock_, taken = taken_](const CancelSignal& cancel) {
            Tick tick;
            tick.level = SourceDriver(link, source, cancel).setLevel(level);
            // Stop ends the wait at once; the result of a cancelled tick is dropped.
            if (tick.level.ok && settleMs > 0 && cancel.waitFor(settleMs))
                return tick;
            if (tick.level.ok)
                tick.reading = MeterDriver(link, meter, cancel).read();
            if (tick.reading.kind == Reading::Kind::Amps) {
                if (keeper)
                    keeper(index, level, tick.reading.amps, clock.elapsed());
                std::lock_guard lock(taken->mutex);
                taken->points.push_back(IVPoint{level, tick.reading.amps});
            }
            return tick;
        },
        [this, level](const Tick& tick) { measured(level, tick); });
}

void SweepEngine::takePoints()
{
    IVPointList points;
    {
        std::lock_guard lock(taken_->mutex);
        points.swap(taken_->points);
    }
    for (const IVPoint& point : points) {
        run_->points.push_back(point);
        if (xyflag == 1) {
            replacePoints(point[0], point[1]);
            xyflag = 0;
        } else {
            appendPoint(point[0], point[1]);
        }
        emit pointRecorded(pointsDone() - 1, point[0], point[1]);
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
        const auto& ranges = currentRanges();
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
    const int total = run_->settings.plan.count();
    emit progress(done, total, expectedEnd());

    const std::optional<double>& limit = run_->settings.limitAmps;
    if (limit && std::fabs(amps) > *limit)
        finish(Run::Outcome::LimitReached,
               QStringLiteral("Current limit reached at %1 V: %2 A is beyond the limit of %3 A.")
                   .arg(volts(level), volts(amps), volts(*limit)));
    else if (done == total)
        finish(Run::Outcome::Completed, QStringLiteral("Sweep complete: %1 points.").arg(total));
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
    return QStringLiteral("Sweep stopped after %1 of %2 points.")
        .arg(pointsDone())
        .arg(run_->settings.plan.count());
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
    command = SourceDriver::offCommand;
    queue_.run(
        this,
        [&link = link_, source = run_->settings.source](const CancelSignal& cancel) {
            return SourceDriver(link, source, cancel).switchOff();
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
    command = SourceDriver::offCommand;
    const CancelSignal cancel;
    const SwitchOff off = SourceDriver(link_, run_->settings.source, cancel).switchOff();
    complete(Run::Outcome::Interrupted, why(pointsDone(), run_->settings.plan.count()), off, true);
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
    const int done = pointsDone();
    const int remaining = run_->settings.plan.count() - done;
    const qint64 perTickMs =
        done > 0 ? std::max<qint64>(tickMs_, sweepClock_.elapsed() / done) : tickMs_;
    return QDateTime::currentDateTime().addMSecs(remaining * perTickMs);
}

} // namespace kestrel
