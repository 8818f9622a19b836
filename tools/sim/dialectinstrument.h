#pragma once

#include "sim/circuit.h"
#include "sim/instrument.h"
#include "sim/meterinstrument.h"

#include <cmath>
#include <random>
#include <vector>

namespace kestrel::sim
{

// The current measurement of a dialect: a ladder of fixed ranges or auto-ranging, an
// integration time in power-line cycles, and noise as a fraction of the range in use.
class CurrentMeasurement
{
  public:
    // A fixed range reads up to overRange times its full scale before it overloads.
    CurrentMeasurement(std::vector<double> rangesAmps, double overRange, double defaultNplc,
                       const MeterSettings& settings);

    // The smallest range that holds `amps`; false when none does.
    bool selectRange(double amps);
    void setAutoRange(bool on) { autoRange_ = on; }
    double nplc = 1.0;

    // The reading of `amps`, or nullopt when it overloads the fixed range.
    std::optional<double> read(double amps);
    // One simulated power-line cycle lasts 2 ms, a tenth of a real one: a 100-cycle
    // integration is slow to see, the usual 1 cycle costs a sweep nothing.
    int integrationMs() const;
    void reset();

  private:
    std::vector<double> ranges_;
    double overRange_;
    double defaultNplc_;
    std::size_t range_ = 0;
    bool autoRange_ = true;
    double noiseFraction_;
    std::mt19937_64 random_;
    std::normal_distribution<double> noise_;
};

// What every dialect's instrument has in common: settings that are refused with the
// manual's error and left as they were, and number texts in the makers' formats.
class DialectInstrument : public Instrument
{
  protected:
    using Instrument::Instrument;

    // The parameter at `index` as a number, with MIN, MAX and DEF (any case, short or
    // long) for min, max and def; -104 when it is not one, -222 outside [min, max].
    std::optional<double> numberSetting(const ScpiUnit& unit, qsizetype index, double min,
                                        double max, double def);
    // ON, OFF, 1 or 0; -224 otherwise.
    std::optional<bool> switchSetting(const ScpiUnit& unit, qsizetype index);
    // A quoted string parameter without its quotes (either kind); nullopt, -104 queued,
    // when it is not quoted.
    std::optional<QByteArray> stringSetting(const ScpiUnit& unit, qsizetype index);

    // A command of one number, or one switch, applied only when accepted.
    void addNumber(const char* pattern, double min, double max, double def,
                   std::function<void(double)> apply);
    void addSwitch(const char* pattern, std::function<void(bool)> apply);
    // A command whose one parameter must be one of `words` (upper case); the others are
    // not simulated and refused with -224.
    void addChoice(const char* pattern, QByteArrayList words);
    // A query without parameters.
    void addValue(const char* pattern, std::function<QByteArray()> value);
};

// A sourcing instrument (an SMU or a supply) drives the circuit with a level and a
// current limit; *RST switches its output off at 0 V with the manual's default limit.
class SourcingInstrument : public DialectInstrument
{
  protected:
    SourcingInstrument(QByteArray identity, Circuit& circuit, double defaultLimitAmps);
    void reset() override;
    void setLimit(double amps) { circuit_.limitAmps = std::abs(amps); }

    Circuit& circuit_;
    double defaultLimitAmps_;
};

// :SYSTem:ERRor? of Keithley's newer instruments (2450, DMM6500): the code, then the
// message, severity and time in one string: 0,"No error;0;0 0".
QByteArray keithleyEventLogEntry(int code);
// Keysight's: +0,"No error", -222,"Data out of range".
QByteArray keysightErrorEntry(int code);

// "+1.000000E-03": the sign always, `decimals` digits after the point.
QByteArray formatSigned(double value, int decimals);

} // namespace kestrel::sim
