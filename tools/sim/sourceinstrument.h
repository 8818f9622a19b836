#pragma once

#include "sim/circuit.h"
#include "sim/instrument.h"

#include <limits>

namespace kestrel::sim
{

// A single-channel DC source:
//   :OUTPut1 ON|OFF, :OUTPut1?, :SOURce1:APPLy:DC FREQ,AMPL,LEVEL
// FREQ and AMPL mean nothing for DC but must be numbers (or DEF, MIN, MAX). A level
// beyond +-maxLevelVolts is refused with -222 and the output keeps its level. The
// first refusedOffs :OUTPut1 OFF are refused with -221 and the output stays on, as a
// source whose output a protection or an interlock holds on.
class SourceInstrument : public Instrument
{
  public:
    static constexpr double defaultMaxLevelVolts = 10.0;
    static constexpr qint64 refuseEveryOff = std::numeric_limits<qint64>::max();

    explicit SourceInstrument(Circuit& circuit, double maxLevelVolts = defaultMaxLevelVolts,
                              qint64 refusedOffs = 0);

  protected:
    void reset() override;

  private:
    std::optional<QByteArray> setOutput(const ScpiUnit& unit);
    std::optional<QByteArray> applyDc(const ScpiUnit& unit);

    Circuit& circuit_;
    double maxLevelVolts_;
    qint64 refusedOffs_;
};

} // namespace kestrel::sim
