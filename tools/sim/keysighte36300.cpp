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
    KeysightE36300(Circuit& circuit, const DialectSettings& settings)
        : SourcingInstrument("Keysight Technologies,E36312A,MY00000001,2.1.3-1.0.4-1.12", circuit,
                             5.0),
          output2_(settings.output2)
    {
        setErrorFormat(keysightErrorEntry);
        addSetting("[SOURce]:VOLTage[:LEVel][:IMMediate][:AMPLitude]", 0, 6.18, 0,
                   [](Circuit& output, double volts) { output.levelVolts = volts; });
        addSetting("[SOURce]:CURRent[:LEVel][:IMMediate][:AMPLitude]", 0, 5.15, 5.0,
                   [](Circuit& output, double amps) { output.limitAmps = std::abs(amps); });
        addCommand("OUTPut[:STATe]", [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
            Circuit* output = withValueAndChannel(unit);
            if (!output)
                return std::nullopt;
            if (const std::optional<bool> on = switchSetting(unit, 0))
                output->outputOn = *on;
            return std::nullopt;
        });
        addChannelQuery("OUTPut[:STATe]", false, [](const Circuit& output) {
            return QByteArray(output.outputOn ? "1" : "0");
        });
        addChannelQuery("MEASure[:SCALar]:CURRent[:DC]", true, [this](const Circuit& output) {
            return formatSigned(output.current(), 8);
        });
        addChannelQuery("STATus:QUEStionable:INSTrument:ISUMmary#:CONDition", false,
                        [](const Circuit& output) -> QByteArray {
                            const int condition = !output.outputOn        ? 0
                                                  : output.inCompliance() ? e36300ConstantCurrentBit
                                                                          : constantVoltageBit;
                            return '+' + QByteArray::number(condition);
                        });
        reset();
    }

  protected:
    void reset() override
    {
        SourcingInstrument::reset();
        if (output2_) // *RST leaves every output off at 0 V
            output2_->outputOn = false, output2_->levelVolts = 0;
    }

  private:
    // The output a channel list names: (@1), or (@2) where the second output is simulated.
    Circuit* outputOf(const QByteArray& list)
    {
        const QByteArray channel = QByteArray(list).replace(" ", "");
        if (channel == "(@1)")
            return &circuit_;
        if (channel == "(@2)" && output2_)
            return output2_;
        pushError(scpiError::dataOutOfRange);
        return nullptr;
    }

    // Output 1 without a channel list.
    Circuit* withValueAndChannel(const ScpiUnit& unit)
    {
        if (unit.params.isEmpty()) {
            pushError(scpiError::missingParameter);
            return nullptr;
        }
        if (unit.params.size() > 2) {
            pushError(scpiError::parameterNotAllowed);
            return nullptr;
        }
        return unit.params.size() == 1 ? &circuit_ : outputOf(unit.params[1]);
    }

    void addSetting(const char* pattern, double min, double max, double def,
                    std::function<void(Circuit&, double)> apply)
    {
        addCommand(pattern,
                   [this, min, max, def,
                    apply = std::move(apply)](const ScpiUnit& unit) -> std::optional<QByteArray> {
                       Circuit* output = withValueAndChannel(unit);
                       if (!output)
                           return std::nullopt;
                       if (const std::optional<double> value =
                               numberSetting(unit, 0, min, max, def))
                           apply(*output, *value);
                       return std::nullopt;
                   });
    }

    void addChannelQuery(const char* pattern, bool measurement,
                         std::function<QByteArray(const Circuit&)> value)
    {
        addQuery(
            pattern,
            [this, value = std::move(value)](const ScpiUnit& unit) -> std::optional<QByteArray> {
                if (unit.params.size() > 1) {
                    pushError(scpiError::parameterNotAllowed);
                    return std::nullopt;
                }
                const Circuit* output =
                    unit.params.size() == 1 ? outputOf(unit.params[0]) : &circuit_;
                return output ? std::optional<QByteArray>(value(*output)) : std::nullopt;
            },
            measurement);
    }

    Circuit* const output2_; // the gate, with --gate-on-output2
};

} // namespace

std::unique_ptr<Instrument> makeKeysightE36300(Circuit& circuit, const DialectSettings& settings)
{
    return std::make_unique<KeysightE36300>(circuit, settings);
}

} // namespace kestrel::sim
