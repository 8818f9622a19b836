// Siglent SPD3303X/X-E supply, channel 1, after the remote control chapter of the "SPD3000X
// Quick Start" (syntax: [{CH1|CH2}:]VOLTage, long and short forms) and the SPD3303X/X-E
// Programming Guide's command list: CH1:VOLTage, CH1:CURRent, OUTPut CH1,ON|OFF,
// MEASure:CURRent? CH1, SYSTem:ERRor? ("0 No Error") and SYSTem:STATus?, a hexadecimal word
// such as 0x0224 (bit 0: channel 1 in CC, bits 2-3: 01 independent mode, bit 4: channel 1's
// output on). No query tells the output state but that word.
#include "sim/dialectinstrument.h"
#include "sim/dialects.h"

#include <charconv>

namespace kestrel::sim
{

namespace
{

constexpr int spdConstantCurrentBit = 1 << 0;
constexpr int independentModeBits = 1 << 2;
constexpr int outputOnBit = 1 << 4;

QByteArray fixed3(double value)
{
    char text[32];
    const auto res = std::to_chars(text, text + sizeof text, value == 0 ? 0.0 : value,
                                   std::chars_format::fixed, 3);
    return QByteArray(text, res.ptr - text);
}

class SiglentSpd : public SourcingInstrument
{
  public:
    SiglentSpd(Circuit& circuit, const DialectSettings&)
        : SourcingInstrument("Siglent Technologies,SPD3303X,SPD3XIDD000001,1.01.01.02.05,V3.0",
                             circuit, 3.2)
    {
        setErrorFormat([](int code) -> QByteArray {
            return QByteArray::number(code) + ' ' +
                   (code == 0 ? "No Error" : errorDescription(code));
        });
        addNumber("[CH#]:VOLTage", 0, 32, 0, [this](double volts) { circuit_.levelVolts = volts; });
        addNumber("[CH#]:CURRent", 0, 3.2, 3.2, [this](double amps) { setLimit(amps); });
        addValue("[CH#]:VOLTage", [this] { return fixed3(circuit_.levelVolts); });
        addValue("[CH#]:CURRent", [this] { return fixed3(circuit_.limitAmps); });
        // 0: independent channels, 1: series, 2: parallel; only channel 1 is simulated.
        addChoice("OUTPut:TRACK", {"0", "1", "2"});
        addCommand("OUTPut", [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
            if (!hasParameters(unit, 2) || !isChannelOne(unit.params[0]))
                return std::nullopt;
            if (const std::optional<bool> on = switchSetting(unit, 1))
                circuit_.outputOn = *on;
            return std::nullopt;
        });
        addQuery(
            "MEASure:CURRent",
            [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
                if (unit.params.size() > 1) {
                    pushError(scpiError::parameterNotAllowed);
                    return std::nullopt;
                }
                if (unit.params.size() == 1 && !isChannelOne(unit.params[0]))
                    return std::nullopt;
                return fixed3(circuit_.current());
            },
            true);
        addValue("SYSTem:STATus", [this]() -> QByteArray {
            int status = independentModeBits;
            if (circuit_.outputOn)
                status |= outputOnBit;
            if (circuit_.outputOn && circuit_.inCompliance())
                status |= spdConstantCurrentBit;
            return "0x" + QByteArray::number(status, 16).toUpper().rightJustified(4, '0');
        });
        reset();
    }

  private:
    bool isChannelOne(const QByteArray& channel)
    {
        if (channel.toUpper() == "CH1")
            return true;
        pushError(scpiError::illegalParameterValue);
        return false;
    }
};

} // namespace

std::unique_ptr<Instrument> makeSiglentSpd(Circuit& circuit, const DialectSettings& settings)
{
    return std::make_unique<SiglentSpd>(circuit, settings);
}

} // namespace kestrel::sim
