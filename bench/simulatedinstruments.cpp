#include "simulatedinstruments.h"

#include "sim/device.h"

#include <stdexcept>

namespace kestrel::bench
{

namespace
{

std::shared_ptr<const sim::Device> deviceOf(const QString& text)
{
    QString error;
    std::shared_ptr<const sim::Device> device = sim::makeDevice(text, &error);
    if (!device)
        throw std::invalid_argument(error.toStdString());
    return device;
}

} // namespace

SimulatedInstruments::SimulatedInstruments(const QString& device)
    : circuit_{deviceOf(device)}, source_(circuit_), meter_(circuit_, sim::MeterSettings{})
{
}

LinkReply SimulatedInstruments::exchange(const Endpoint& to, const QString& command,
                                         const CancelSignal&)
{
    std::lock_guard lock(mutex_);
    sim::Instrument& instrument =
        to.address == source.address ? static_cast<sim::Instrument&>(source_) : meter_;
    const sim::Response response = instrument.execute(command.toUtf8());
    return LinkReply{response.reply ? QString::fromUtf8(*response.reply) + QLatin1Char('\n')
                                    : QString(),
                     true, QString()};
}

} // namespace kestrel::bench
