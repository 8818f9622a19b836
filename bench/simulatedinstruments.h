#pragma once

#include "link/instrumentlink.h"
#include "sim/meterinstrument.h"
#include "sim/sourceinstrument.h"

#include <mutex>

namespace kestrel::bench
{

// kestrel-sim's source and meter, sharing one device, in this process behind the link:
// the simulator's own error queues, confirmations and seeded readings, answered at once,
// without a shell or a socket. The source is at `source`; any other endpoint is the meter.
class SimulatedInstruments final : public InstrumentLink
{
  public:
    static inline const Endpoint source{QStringLiteral("127.0.0.2"), QStringLiteral("5555")};
    static inline const Endpoint meter{QStringLiteral("127.0.0.3"), QStringLiteral("5555")};

    // device as kestrel-sim --device takes it ("diode", "resistor:1000").
    explicit SimulatedInstruments(const QString& device);

    LinkReply exchange(const Endpoint& to, const QString& command, const CancelSignal&) override;

  private:
    std::mutex mutex_; // the sweep's worker and the window's queue may both ask
    sim::Circuit circuit_;
    sim::SourceInstrument source_;
    sim::MeterInstrument meter_;
};

} // namespace kestrel::bench
