// Keithley DMM6500 measuring DC current on its front 3 A terminals, after the "Model DMM6500
// 6½-Digit Multimeter with Scanning Reference Manual" (DMM6500-901-01), SCPI command set:
// :SENSe:FUNCtion "CURR:DC", :SENSe:CURRent:RANGe, :RANGe:AUTO, :NPLCycles and :READ?.
#include "sim/dialectinstrument.h"
#include "sim/dialects.h"

#include "sim/readingformat.h"

namespace kestrel::sim
{

namespace
{

class KeithleyDmm6500 : public DialectInstrument
{
  public:
    KeithleyDmm6500(const Circuit& circuit, const DialectSettings& settings)
        : DialectInstrument("KEITHLEY INSTRUMENTS,MODEL DMM6500,04000001,1.7.5b"),
          circuit_(circuit),
          measurement_({10e-6, 100e-6, 1e-3, 10e-3, 100e-3, 1.0, 3.0}, 1.2, 1.0, settings.meter)
    {
        setErrorFormat(keithleyEventLogEntry);
        // Always the SCPI command set here.
        addValue("*LANG", [] { return QByteArray("SCPI"); });
        addCommand("[SENSe#]:FUNCtion[:ON]",
                   [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
                       if (!hasParameters(unit, 1))
                           return std::nullopt;
                       const std::optional<QByteArray> function = stringSetting(unit, 0);
                       if (function &&
                           !QByteArrayList{"CURR", "CURR:DC", "CURRENT", "CURRENT:DC"}.contains(
                               function->toUpper()))
                           pushError(scpiError::illegalParameterValue);
                       return std::nullopt;
                   });
        addNumber("[SENSe#]:CURRent[:DC]:RANGe[:UPPer]", 0, 3.0, 10e-6,
                  [this](double amps) { measurement_.selectRange(amps); });
        addSwitch("[SENSe#]:CURRent[:DC]:RANGe:AUTO",
                  [this](bool on) { measurement_.setAutoRange(on); });
        addNumber("[SENSe#]:CURRent[:DC]:NPLCycles", 0.0005, 15, 1,
                  [this](double nplc) { measurement_.nplc = nplc; });
        addQuery(
            "READ",
            [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
                if (!hasParameters(unit, 0))
                    return std::nullopt;
                setIntegrationMs(measurement_.integrationMs());
                return formatReading(measurement_.read(circuit_.current()).value_or(9.9e37));
            },
            true);
        reset();
    }

  protected:
    void reset() override { measurement_.reset(); }

  private:
    const Circuit& circuit_;
    CurrentMeasurement measurement_;
};

} // namespace

std::unique_ptr<Instrument> makeKeithleyDmm6500(const Circuit& circuit,
                                                const DialectSettings& settings)
{
    return std::make_unique<KeithleyDmm6500>(circuit, settings);
}

} // namespace kestrel::sim
