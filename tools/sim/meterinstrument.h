#pragma once

#include "sim/circuit.h"
#include "sim/instrument.h"

#include <random>

namespace kestrel::sim
{

struct MeterSettings {
    // Standard deviation of the reading noise, as a fraction of the range's full scale
    // at the slow rate (medium: 3 times, fast: 10 times as much).
    double noiseFraction = 1e-4;
    quint64 seed = 1;
};

// A DC current meter:
//   :FUNCtion:CURRent:DC, :MEASure:CURRent:DC RANGE (0..5, the currentRanges() ladder),
//   :RATE:CURRent:DC S|M|F, :RATE:CURRent:DC?, :MEASure:CURRent:DC?
// A reading beyond the range's full scale is the overload mark 9.9E+37.
class MeterInstrument : public Instrument
{
  public:
    MeterInstrument(const Circuit& circuit, const MeterSettings& settings);

  protected:
    void reset() override;

  private:
    double reading();
    std::optional<QByteArray> setRange(const ScpiUnit& unit);
    std::optional<QByteArray> setRate(const ScpiUnit& unit);

    const Circuit& circuit_;
    double noiseFraction_;
    std::mt19937_64 random_;
    std::normal_distribution<double> noise_;
    int range_ = 0;
    char rate_ = 'S';
};

} // namespace kestrel::sim
