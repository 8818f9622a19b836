// Keithley Series 2400 SourceMeter, after "Series 2400 SourceMeter User's Manual",
// document 2400S-900-01 Rev. K, September 2011: section 18 (SCPI command reference) and the
// :FORMat:ELEMents data elements and status word there. Sources voltage only.
#include "sim/dialectinstrument.h"
#include "sim/dialects.h"

#include <QElapsedTimer>

namespace kestrel::sim
{

namespace
{

// Status word bits of a reading.
constexpr int overflowBit = 1 << 0;
constexpr int frontTerminalsBit = 1 << 2;
constexpr int complianceBit = 1 << 3;
constexpr int currentMeasuredBit = 1 << 12;
constexpr int voltageSourcedBit = 1 << 14;

// Resistance, and any element not measured.
constexpr double notANumber = 9.91e37;
constexpr double overflow = 9.9e37;

class Keithley2400 : public SourcingInstrument
{
  public:
    Keithley2400(Circuit& circuit, const DialectSettings& settings)
        : SourcingInstrument("KEITHLEY INSTRUMENTS INC.,MODEL 2400,4000001,C33   Kestrel sim/A02  "
                             "/S/K",
                             circuit, 105e-6),
          measurement_({1e-6, 10e-6, 100e-6, 1e-3, 10e-3, 100e-3, 1.0}, 1.055, 1.0, settings.meter)
    {
        addChoice("[SOURce#]:FUNCtion[:MODE]", {"VOLT", "VOLTAGE"});
        addChoice("[SOURce#]:VOLTage:MODE", {"FIX", "FIXED"});
        // The source range follows the level; the simulated source has one range.
        addSwitch("[SOURce#]:VOLTage:RANGe:AUTO", [](bool) {});
        addNumber("[SOURce#]:VOLTage[:LEVel][:IMMediate][:AMPLitude]", -210, 210, 0,
                  [this](double volts) { circuit_.levelVolts = volts; });
        addCommand("[SENSe#]:FUNCtion[:ON]",
                   [this](const ScpiUnit& unit) { return senseFunctions(unit); });
        addNumber("[SENSe#]:CURRent[:DC]:PROTection[:LEVel]", -1.05, 1.05, 105e-6,
                  [this](double amps) { setLimit(amps); });
        addValue("[SENSe#]:CURRent[:DC]:PROTection:TRIPped", [this] {
            return QByteArray(circuit_.outputOn && circuit_.inCompliance() ? "1" : "0");
        });
        addNumber("[SENSe#]:CURRent[:DC]:RANGe[:UPPer]", -1.05, 1.05, 100e-6,
                  [this](double amps) { measurement_.selectRange(amps); });
        addSwitch("[SENSe#]:CURRent[:DC]:RANGe:AUTO",
                  [this](bool on) { measurement_.setAutoRange(on); });
        addNumber("[SENSe#]:CURRent[:DC]:NPLCycles", 0.01, 10, 1,
                  [this](double nplc) { measurement_.nplc = nplc; });
        addCommand("FORMat:ELEMents[:SENSe#]",
                   [this](const ScpiUnit& unit) { return setElements(unit); });
        addSwitch("OUTPut#[:STATe]", [this](bool on) { circuit_.outputOn = on; });
        addValue("OUTPut#[:STATe]", [this] { return QByteArray(circuit_.outputOn ? "1" : "0"); });
        addQuery(
            "READ", [this](const ScpiUnit& unit) { return read(unit); }, true);
        clock_.start();
        reset();
    }

  protected:
    void reset() override
    {
        SourcingInstrument::reset();
        measurement_.reset();
        elements_ = allElements;
    }

  private:
    enum Element { Voltage = 1, Current = 2, Resistance = 4, Time = 8, Status = 16 };
    static constexpr int allElements = Voltage | Current | Resistance | Time | Status;

    std::optional<QByteArray> senseFunctions(const ScpiUnit& unit)
    {
        if (unit.params.isEmpty()) {
            pushError(scpiError::missingParameter);
            return std::nullopt;
        }
        for (qsizetype i = 0; i < unit.params.size(); ++i) {
            const std::optional<QByteArray> function = stringSetting(unit, i);
            if (!function)
                return std::nullopt;
            const QByteArray name = function->toUpper();
            if (!QByteArrayList{"CURR", "CURR:DC", "CURRENT", "CURRENT:DC", "VOLT", "VOLT:DC",
                                "VOLTAGE", "VOLTAGE:DC"}
                     .contains(name)) {
                pushError(scpiError::illegalParameterValue);
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

    std::optional<QByteArray> setElements(const ScpiUnit& unit)
    {
        if (unit.params.isEmpty()) {
            pushError(scpiError::missingParameter);
            return std::nullopt;
        }
        int elements = 0;
        for (const QByteArray& param : unit.params) {
            const QByteArray word = param.toUpper();
            const int element = word == "VOLT" || word == "VOLTAGE"     ? Voltage
                                : word == "CURR" || word == "CURRENT"   ? Current
                                : word == "RES" || word == "RESISTANCE" ? Resistance
                                : word == "TIME"                        ? Time
                                : word == "STAT" || word == "STATUS"    ? Status
                                                                        : 0;
            if (element == 0) {
                pushError(scpiError::illegalParameterValue);
                return std::nullopt;
            }
            elements |= element;
        }
        elements_ = elements;
        return std::nullopt;
    }

    // Whatever order the elements were named in, they come in the manual's order.
    std::optional<QByteArray> read(const ScpiUnit& unit)
    {
        if (!hasParameters(unit, 0))
            return std::nullopt;
        if (!circuit_.outputOn) {
            pushError(scpiError::outputNotOn);
            return std::nullopt;
        }
        setIntegrationMs(measurement_.integrationMs());
        const std::optional<double> amps = measurement_.read(circuit_.current());
        int status = frontTerminalsBit | currentMeasuredBit | voltageSourcedBit;
        if (circuit_.inCompliance())
            status |= complianceBit;
        if (!amps)
            status |= overflowBit;
        QByteArrayList fields;
        if (elements_ & Voltage)
            fields << formatSigned(circuit_.levelVolts, 6);
        if (elements_ & Current)
            fields << formatSigned(amps.value_or(overflow), 6);
        if (elements_ & Resistance)
            fields << formatSigned(notANumber, 6);
        if (elements_ & Time)
            fields << formatSigned(double(clock_.elapsed()) / 1000.0, 6);
        if (elements_ & Status)
            fields << formatSigned(status, 6);
        return fields.join(',');
    }

    CurrentMeasurement measurement_;
    int elements_ = allElements;
    QElapsedTimer clock_;
};

} // namespace

std::unique_ptr<Instrument> makeKeithley2400(Circuit& circuit, const DialectSettings& settings)
{
    return std::make_unique<Keithley2400>(circuit, settings);
}

} // namespace kestrel::sim
