// Keithley Model 2450 SourceMeter with its SCPI command set, after "Model 2450 Interactive
// SourceMeter Instrument Reference Manual", 2450-901-01 Rev. B, September 2013: section 6
// (SCPI command reference) and appendix B (*LANG). Sources voltage only.
#include "sim/dialectinstrument.h"
#include "sim/dialects.h"

#include "sim/readingformat.h"

namespace kestrel::sim
{

namespace
{

class Keithley2450 : public SourcingInstrument
{
  public:
    Keithley2450(Circuit& circuit, const DialectSettings& settings)
        : SourcingInstrument("KEITHLEY INSTRUMENTS,MODEL 2450,04000001,1.7.0b", circuit, 105e-6),
          measurement_({10e-9, 100e-9, 1e-6, 10e-6, 100e-6, 1e-3, 10e-3, 100e-3, 1.0}, 1.05, 1.0,
                       settings.meter)
    {
        setErrorFormat(keithleyEventLogEntry);
        addValue("*LANG", [tsp = settings.answerTsp] { return QByteArray(tsp ? "TSP" : "SCPI"); });
        addChoice("[SOURce#]:FUNCtion[:MODE]", {"VOLT", "VOLTAGE"});
        // The source range follows the level; the simulated source has one range.
        addSwitch("[SOURce#]:VOLTage:RANGe:AUTO", [](bool) {});
        addNumber("[SOURce#]:VOLTage[:LEVel][:IMMediate][:AMPLitude]", -210, 210, 0,
                  [this](double volts) { circuit_.levelVolts = volts; });
        addNumber("[SOURce#]:VOLTage:ILIMit[:LEVel]", 1e-9, 1.05, 105e-6,
                  [this](double amps) { setLimit(amps); });
        addValue("[SOURce#]:VOLTage:ILIMit[:LEVel]:TRIPped", [this] {
            return QByteArray(circuit_.outputOn && circuit_.inCompliance() ? "1" : "0");
        });
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
        addNumber("[SENSe#]:CURRent[:DC]:RANGe[:UPPer]", 10e-9, 1.05, 100e-6,
                  [this](double amps) { measurement_.selectRange(amps); });
        addSwitch("[SENSe#]:CURRent[:DC]:RANGe:AUTO",
                  [this](bool on) { measurement_.setAutoRange(on); });
        addNumber("[SENSe#]:CURRent[:DC]:NPLCycles", 0.01, 10, 1,
                  [this](double nplc) { measurement_.nplc = nplc; });
        addSwitch("OUTPut#[:STATe]", [this](bool on) { circuit_.outputOn = on; });
        addValue("OUTPut#[:STATe]", [this] { return QByteArray(circuit_.outputOn ? "1" : "0"); });
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
    void reset() override
    {
        SourcingInstrument::reset();
        measurement_.reset();
    }

  private:
    CurrentMeasurement measurement_;
};

} // namespace

std::unique_ptr<Instrument> makeKeithley2450(Circuit& circuit, const DialectSettings& settings)
{
    return std::make_unique<Keithley2450>(circuit, settings);
}

} // namespace kestrel::sim
