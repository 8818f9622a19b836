#include "controller/sweepengine.h"

#include "data/currentranges.h"
#include "data/ivpoints.h"
#include "data/numbertext.h"
#include "link/commandline.h"
#include "link/shellrunner.h"
#include "link/workqueue.h"

#include <QThread>

#include <cmath>

namespace kestrel
{

namespace
{

const QString offCommand = QStringLiteral(":OUTP1 OFF");

QString volts(double level)
{
    return QString::fromStdString(formatDouble(level));
}

QString endpointText(const Endpoint& endpoint)
{
    return endpoint.address + QLatin1Char(':') + endpoint.port;
}

QString quotedReply(const QString& reply)
{
    const QString text = reply.trimmed();
    return text.isEmpty() ? QStringLiteral("(no reply)") : QStringLiteral("\"%1\"").arg(text);
}

} // namespace

SweepEngine::SweepEngine(WorkQueue& queue, const QString& pat, QObject* parent)
    : QObject(parent), queue_(queue), pat_(pat)
{
    timerCH2.setInterval(tickIntervalMs);
    timerCH2.setTimerType(Qt::PreciseTimer);
    connect(&timerCH2, &QTimer::timeout, this, &SweepEngine::timerc2);
}

SweepEngine::~SweepEngine() = default;

void SweepEngine::start(const SweepSettings& settings)
{
    Q_ASSERT(QThread::currentThread() == thread());
    timerCH2.stop();
    ++generation_; // whatever the old sweep still has in flight is now stale
    settings_ = settings;
    state_ = State::SettingUp;
    tick_ = 0;
    tickBusy_ = false;
    stopRequested_ = false;
    IVinterval = settings.plan.interval();
    appliedVolt = settings.plan.start;
    sweepClock_.start();
    emit started(settings.plan.count());
    setUpStep(0);
}

void SweepEngine::setUpStep(int step)
{
    if (stopRequested_) {
        finish(Outcome::Stopped, QStringLiteral("Sweep stopped before the first point."));
        return;
    }
    constexpr auto source = Instrument::Source;
    constexpr auto meter = Instrument::Meter;
    auto next = [this, step](const QString&) { setUpStep(step + 1); };
    switch (step) {
    case 0: // the level first, so a level left from earlier use never reaches the device
        sendSetting(source, levelCommand(settings_.plan.start), next);
        return;
    case 1:
        sendSetting(source, QStringLiteral(":OUTP1 ON"), next);
        return;
    case 2:
        sendSetting(meter, QStringLiteral(":FUNCtion:CURRent:DC"), next);
        return;
    case 3:
        sendSetting(meter, QStringLiteral(":MEAS:CURR:DC %1").arg(settings_.rangeIndex), next);
        return;
    case 4:
        sendSetting(meter, QStringLiteral(":RATE:CURR:DC M"), next);
        return;
    default:
        xyflag = 1;
        state_ = State::Running;
        timerCH2.start();
        emit progress(0, settings_.plan.count(), expectedEnd());
    }
}

void SweepEngine::send(Instrument to, const QString& text, Then then)
{
    command = text;
    const Endpoint& endpoint = to == Instrument::Source ? settings_.source : settings_.meter;
    const quint64 generation = generation_;
    queue_.runShellLine(instrumentCommandLine(pat_, endpoint.address, endpoint.port, text), this,
                        [this, generation, then = std::move(then)](const QString& reply) {
                            if (generation == generation_)
                                then(reply);
                        });
}

// A command that asks nothing prints nothing when it worked; any reply is a complaint
// from the script or the instrument link, and the sweep must not go on as if it worked.
void SweepEngine::sendSetting(Instrument to, const QString& text, Then then)
{
    send(to, text, [this, to, text, then = std::move(then)](const QString& reply) {
        if (reply.isEmpty()) {
            then(reply);
            return;
        }
        const bool source = to == Instrument::Source;
        finish(Outcome::Failed,
               QStringLiteral("%1 at %2 did not take \"%3\": %4")
                   .arg(source ? QStringLiteral("The source") : QStringLiteral("The meter"),
                        endpointText(source ? settings_.source : settings_.meter), text,
                        quotedReply(reply)));
    });
}

void SweepEngine::timerc2()
{
    if (state_ != State::Running || tickBusy_)
        return; // the previous tick is still talking to the instruments: drop this firing
    tickBusy_ = true;
    const double level = settings_.plan.levelAt(tick_);
    appliedVolt = level;
    sendSetting(Instrument::Source, levelCommand(level), [this, level](const QString&) {
        if (stopRequested_) {
            finishStopped();
            return;
        }
        send(Instrument::Meter, QStringLiteral(":MEAS:CURR:DC?"),
             [this, level](const QString& reply) { measured(level, reply); });
    });
}

void SweepEngine::measured(double level, const QString& reply)
{
    emit measurementReply(reply);
    const QByteArray bytes = reply.toUtf8();
    const auto current = parseReplyNumber(std::string_view(bytes.constData(), bytes.size()));
    if (!current) {
        finish(Outcome::Failed, QStringLiteral("The meter's reply at %1 V is not a number: %2")
                                    .arg(volts(level), quotedReply(reply)));
        return;
    }
    if (std::fabs(*current) >= overloadReadingAmps) {
        const auto& ranges = currentRanges();
        const int index = settings_.rangeIndex;
        const QString range = index >= 0 && index < int(ranges.size())
                                  ? QStringLiteral("the %1 range").arg(ranges[index].label)
                                  : QStringLiteral("its range");
        finish(Outcome::Overload,
               QStringLiteral("The meter overloaded at %1 V: the current is beyond %2. "
                              "Choose a less sensitive range and run again.")
                   .arg(volts(level), range));
        return;
    }

    if (xyflag == 1) {
        replacePoints(level, *current);
        xyflag = 0;
    } else {
        appendPoint(level, *current);
    }
    const int index = tick_++;
    const int total = settings_.plan.count();
    emit pointRecorded(index, level, *current);
    emit progress(tick_, total, expectedEnd());

    if (settings_.limitAmps && std::fabs(*current) > *settings_.limitAmps)
        finish(Outcome::LimitReached,
               QStringLiteral("Current limit reached at %1 V: %2 A is beyond the limit of %3 A.")
                   .arg(volts(level), QString::fromStdString(formatDouble(*current)),
                        QString::fromStdString(formatDouble(*settings_.limitAmps))));
    else if (tick_ == total)
        finish(Outcome::Completed, QStringLiteral("Sweep complete: %1 points.").arg(total));
    else if (stopRequested_)
        finishStopped();
    else
        tickBusy_ = false;
}

void SweepEngine::stop()
{
    if (state_ == State::SettingUp || (state_ == State::Running && tickBusy_)) {
        stopRequested_ = true; // acted on when the command in flight returns
    } else if (state_ == State::Running) {
        finishStopped();
    }
}

void SweepEngine::finishStopped()
{
    finish(Outcome::Stopped, QStringLiteral("Sweep stopped after %1 of %2 points.")
                                 .arg(tick_)
                                 .arg(settings_.plan.count()));
}

void SweepEngine::finish(Outcome outcome, const QString& message)
{
    timerCH2.stop();
    state_ = State::SwitchingOff;
    tickBusy_ = false;
    send(Instrument::Source, offCommand, [this, outcome, message](const QString& reply) {
        state_ = State::Idle;
        QString text = message;
        if (!reply.isEmpty())
            text += QStringLiteral(" Switching the source output off failed, so it may still be "
                                   "on: %1")
                        .arg(quotedReply(reply));
        emit finished(outcome, text);
    });
}

QString SweepEngine::switchOffNow()
{
    if (state_ == State::Idle)
        return QString();
    timerCH2.stop();
    ++generation_;
    state_ = State::Idle;
    queue_.cancelAll();
    queue_.waitForIdle(shellTimeoutMs);
    command = offCommand;
    const QString reply = queue_.runLineNow(
        instrumentCommandLine(pat_, settings_.source.address, settings_.source.port, offCommand));
    if (reply.isEmpty())
        return QString();
    return QStringLiteral("Switching the source output off failed: %1").arg(quotedReply(reply));
}

QString SweepEngine::levelCommand(double level) const
{
    return QStringLiteral(":SOUR1:APPL:DC 1,1,") + volts(level);
}

QDateTime SweepEngine::expectedEnd() const
{
    const int remaining = settings_.plan.count() - tick_;
    const qint64 perTickMs =
        tick_ > 0 ? std::max<qint64>(timerCH2.interval(), sweepClock_.elapsed() / tick_)
                  : timerCH2.interval();
    return QDateTime::currentDateTime().addMSecs(remaining * perTickMs);
}

} // namespace kestrel
