// Keysight E36300 Series supply, channel 1 of an E36312A (6 V, 5 A), after "Keysight
// E36300 Series Programmable DC Power Supplies Programming Guide" (E36311-90008): the SOURce,
// OUTPut, MEASure and STATus subsystems with channel lists, and the Questionable
// Instrument Summary register, whose condition tells constant voltage from constant current.
#include "sim/dialectinstrument.h"
#include "sim/dialects.h"

namespace kestrel::sim
{

namespace
{

// Condition bits of the Questionable Instrument Summary register: both clear with the
// output off.
constexpr int e36300ConstantCurrentBit = 1 << 0;
constexpr int constantVoltageBit = 1 << 1;

class KeysightE36300 : public SourcingInstrument
{
  public:
    KeysightE36300(Circuit& circuit, const DialectSettings&)
        : SourcingInstrument("Keysight Technologies,E36312A,MY00000001,2.1.3-1.0.4-1.12", circuit,
                             5.0)
    {
        setErrorFormat(keysightErrorEntry);
        addSetting("[SOURce]:VOLTage[:LEVel][:IMMediate][:AMPLitude]", 0, 6.18, 0,
                   [this](double volts) { circuit_.levelVolts = volts; });
        addSetting("[SOURce]:CURRent[:LEVel][:IMMediate][:AMPLitude]", 0, 5.15, 5.0,
                   [this](double amps) { setLimit(amps); });
        addCommand("OUTPut[:STATe]", [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
            if (!hasValueAndChannel(unit))
                return std::nullopt;
            if (const std::optional<bool> on = switchSetting(unit, 0))
                circuit_.outputOn = *on;
            return std::nullopt;
        });
        addChannelQuery("OUTPut[:STATe]", false,
                        [this] { return QByteArray(circuit_.outputOn ? "1" : "0"); });
        addChannelQuery("MEASure[:SCALar]:CURRent[:DC]", true,
                        [this] { return formatSigned(circuit_.current(), 8); });
        addChannelQuery(
            "STATus:QUEStionable:INSTrument:ISUMmary#:CONDition", false, [this]() -> QByteArray {
                const int condition = !circuit_.outputOn        ? 0
                                      : circuit_.inCompliance() ? e36300ConstantCurrentBit
                                                                : constantVoltageBit;
                return '+' + QByteArray::number(condition);
            });
        reset();
    }

  private:
    // Every channel-1 command takes an optional channel list; only (@1) is simulated.
    bool isChannelOne(const QByteArray& list)
    {
        if (QByteArray(list).replace(" ", "") == "(@1)")
            return true;
        pushError(scpiError::dataOutOfRange);
        return false;
    }

    bool hasValueAndChannel(const ScpiUnit& unit)
    {
        if (unit.params.isEmpty()) {
            pushError(scpiError::missingParameter);
            return false;
        }
        if (unit.params.size() > 2) {
            pushError(scpiError::parameterNotAllowed);
            return false;
        }
        return unit.params.size() == 1 || isChannelOne(unit.params[1]);
    }

    void addSetting(const char* pattern, double min, double max, double def,
                    std::function<void(double)> apply)
    {
        addCommand(pattern,
                   [this, min, max, def,
                    apply = std::move(apply)](const ScpiUnit& unit) -> std::optional<QByteArray> {
                       if (!hasValueAndChannel(unit))
                           return std::nullopt;
                       if (const std::optional<double> value =
                               numberSetting(unit, 0, min, max, def))
                           apply(*value);
                       return std::nullopt;
                   });
    }

    void addChannelQuery(const char* pattern, bool measurement, std::function<QByteArray()> value)
    {
        addQuery(
            pattern,
            [this, value = std::move(value)](const ScpiUnit& unit) -> std::optional<QByteArray> {
                if (unit.params.size() > 1) {
                    pushError(scpiError::parameterNotAllowed);
                    return std::nullopt;
                }
                if (unit.params.size() == 1 && !isChannelOne(unit.params[0]))
                    return std::nullopt;
                return value();
            },
            measurement);
    }
};

} // namespace

std::unique_ptr<Instrument> makeKeysightE36300(Circuit& circuit, const DialectSettings& settings)
{
    return std::make_unique<KeysightE36300>(circuit, settings);
}

} // namespace kestrel::sim
