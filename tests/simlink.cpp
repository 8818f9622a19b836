#include "simlink.h"

#include <poll.h>

using namespace kestrel;

SimLink::SimLink(const QString& device, double maxLevelVolts, qint64 refusedOffs)
    : circuit_{sim::makeDevice(device, nullptr)}, source_(circuit_, maxLevelVolts, refusedOffs),
      step_(gate_), meter_(circuit_, sim::MeterSettings{0.0, 1})
{
    circuit_.gate = &gate_;
    step_.setSerialNumber("00000003");
    clock_.start();
}

LinkReply SimLink::exchange(const Endpoint& to, const QString& command, const CancelSignal& cancel)
{
    int delayMs;
    Hook hook;
    {
        std::lock_guard lock(mutex_);
        delayMs = delayMs_;
        hook = hook_;
    }
    pollfd wait{cancel.fd(), POLLIN, 0};
    if (cancel.isCancelled() || (delayMs > 0 && poll(&wait, 1, delayMs) > 0))
        return LinkReply{QString(), false, QStringLiteral("cancelled")};

    const QString name = to == source  ? QStringLiteral("source")
                         : to == meter ? QStringLiteral("meter")
                         : to == step  ? QStringLiteral("step")
                                       : QString();
    std::lock_guard lock(mutex_);
    log_ << name + QLatin1Char(' ') + command;
    times_ << clock_.elapsed();
    if (hook)
        if (std::optional<LinkReply> reply = hook(name, command))
            return *reply;
    if (name.isEmpty())
        return LinkReply{
            QStringLiteral("kestrel-scpi: %1: connection refused\n").arg(endpointText(to)), false,
            QStringLiteral("exit status 1")};
    sim::Instrument& instrument = to == source ? static_cast<sim::Instrument&>(source_)
                                  : to == step ? static_cast<sim::Instrument&>(step_)
                                               : meter_;
    const sim::Response response = instrument.execute(command.toUtf8());
    return LinkReply{response.reply ? QString::fromUtf8(*response.reply) + QLatin1Char('\n')
                                    : QString(),
                     true, QString()};
}

void SimLink::setHook(Hook hook)
{
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

void SimLink::setDelayMs(int ms)
{
    std::lock_guard lock(mutex_);
    delayMs_ = ms;
}

QStringList SimLink::log() const
{
    std::lock_guard lock(mutex_);
    return log_;
}

QList<std::pair<qint64, QString>> SimLink::timedLog() const
{
    std::lock_guard lock(mutex_);
    QList<std::pair<qint64, QString>> timed;
    for (qsizetype i = 0; i < log_.size(); ++i)
        timed.append({times_[i], log_[i]});
    return timed;
}

QStringList SimLink::commands(const QString& instrument) const
{
    QStringList only;
    for (const QString& line : log())
        if (line.startsWith(instrument + QLatin1Char(' ')))
            only << line.mid(instrument.size() + 1);
    return only;
}

bool SimLink::outputOn() const
{
    std::lock_guard lock(mutex_);
    return circuit_.outputOn;
}

bool SimLink::stepOutputOn() const
{
    std::lock_guard lock(mutex_);
    return gate_.outputOn;
}
