#pragma once

#include "sim/circuit.h"
#include "sim/instrument.h"

namespace kestrel::sim
{

// A single-channel DC source:
//   :OUTPut1 ON|OFF, :OUTPut1?, :SOURce1:APPLy:DC FREQ,AMPL,LEVEL
// FREQ and AMPL mean nothing for DC but must be numbers (or DEF, MIN, MAX). A level
// beyond +-maxLevelVolts is refused with -222 and the output keeps its level.
class SourceInstrument : public Instrument
{
  public:
    static constexpr double defaultMaxLevelVolts = 10.0;

    explicit SourceInstrument(Circuit& circuit, double maxLevelVolts = defaultMaxLevelVolts);

  protected:
    void reset() override;

  private:
    std::optional<QByteArray> setOutput(const ScpiUnit& unit);
    std::optional<QByteArray> applyDc(const ScpiUnit& unit);

    Circuit& circuit_;
    double maxLevelVolts_;
};

} // namespace kestrel::sim
