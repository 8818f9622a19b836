// Keysight B2900 Series SMU, channel 1, after "Keysight B2961A/B2962A SCPI Command
// Reference", Edition 6, and "Agilent B2900 SCPI Command Reference", Edition 2, which give
// the B2900 family the same SENSe, SOURce, OUTPut and MEASure subsystems. Sources voltage
// only.
#include "sim/dialectinstrument.h"
#include "sim/dialects.h"

namespace kestrel::sim
{

namespace
{

class KeysightB2900 : public SourcingInstrument
{
  public:
    KeysightB2900(Circuit& circuit, const DialectSettings& settings)
        : SourcingInstrument("Keysight Technologies,B2901A,MY00000001,3.4.2011.5100", circuit,
                             100e-6),
          measurement_({100e-9, 1e-6, 10e-6, 100e-6, 1e-3, 10e-3, 100e-3, 1.0, 1.5, 3.0}, 1.05, 0.1,
                       settings.meter)
    {
        setErrorFormat(keysightErrorEntry);
        addChoice("[SOURce#]:FUNCtion:MODE", {"VOLT", "VOLTAGE"});
        // The source range follows the level; the simulated source has one range.
        addSwitch("[SOURce#]:VOLTage:RANGe:AUTO", [](bool) {});
        addNumber("[SOURce#]:VOLTage[:LEVel][:IMMediate][:AMPLitude]", -210, 210, 0,
                  [this](double volts) { circuit_.levelVolts = volts; });
        addNumber("[SENSe#]:CURRent[:DC]:PROTection[:LEVel]", 1e-9, 3.03, 100e-6,
                  [this](double amps) { setLimit(amps); });
        addValue("[SENSe#]:CURRent[:DC]:PROTection:TRIPped", [this] {
            return QByteArray(circuit_.outputOn && circuit_.inCompliance() ? "1" : "0");
        });
        addCommand("[SENSe#]:FUNCtion[:ON]",
                   [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
                       for (qsizetype i = 0; i < unit.params.size(); ++i) {
                           const std::optional<QByteArray> function = stringSetting(unit, i);
                           if (!function)
                               return std::nullopt;
                           if (!QByteArrayList{"CURR", "CURR:DC", "CURRENT", "CURRENT:DC", "VOLT",
                                               "VOLT:DC", "VOLTAGE", "VOLTAGE:DC"}
                                    .contains(function->toUpper())) {
                               pushError(scpiError::illegalParameterValue);
                               return std::nullopt;
                           }
                       }
                       if (unit.params.isEmpty())
                           pushError(scpiError::missingParameter);
                       return std::nullopt;
                   });
        addNumber("[SENSe#]:CURRent[:DC]:RANGe[:UPPer]", 0, 3.03, 3.0,
                  [this](double amps) { measurement_.selectRange(amps); });
        addSwitch("[SENSe#]:CURRent[:DC]:RANGe:AUTO",
                  [this](bool on) { measurement_.setAutoRange(on); });
        addNumber("[SENSe#]:CURRent[:DC]:NPLCycles", 4e-4, 100, 0.1,
                  [this](double nplc) { measurement_.nplc = nplc; });
        addSwitch("OUTPut#[:STATe]", [this](bool on) { circuit_.outputOn = on; });
        addValue("OUTPut#[:STATe]", [this] { return QByteArray(circuit_.outputOn ? "1" : "0"); });
        addQuery(
            "MEASure:CURRent[:DC]",
            [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
                if (unit.params.size() > 1 ||
                    (unit.params.size() == 1 && unit.params[0] != "(@1)")) {
                    pushError(scpiError::illegalParameterValue);
                    return std::nullopt;
                }
                setIntegrationMs(measurement_.integrationMs());
                return formatSigned(measurement_.read(circuit_.current()).value_or(9.9e37), 6);
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

std::unique_ptr<Instrument> makeKeysightB2900(Circuit& circuit, const DialectSettings& settings)
{
    return std::make_unique<KeysightB2900>(circuit, settings);
}

} // namespace kestrel::sim
