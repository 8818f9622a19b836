#include "sim/sourceinstrument.h"

#include <cmath>

namespace kestrel::sim
{

SourceInstrument::SourceInstrument(Circuit& circuit, double maxLevelVolts, qint64 refusedOffs)
    : Instrument("Kestrel,SIM-SOURCE,00000001," KESTREL_VERSION), circuit_(circuit),
      maxLevelVolts_(maxLevelVolts), refusedOffs_(refusedOffs)
{
    addCommand("OUTPut#[:STATe]", [this](const ScpiUnit& unit) { return setOutput(unit); });
    addQuery("OUTPut#[:STATe]", [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
        if (!hasParameters(unit, 0))
            return std::nullopt;
        return QByteArray(circuit_.outputOn ? "ON" : "OFF");
    });
    addCommand("[SOURce#]:APPLy:DC", [this](const ScpiUnit& unit) { return applyDc(unit); });
    reset();
}

void SourceInstrument::reset()
{
    circuit_.outputOn = false;
    circuit_.levelVolts = 0.0;
}

std::optional<QByteArray> SourceInstrument::setOutput(const ScpiUnit& unit)
{
    if (!hasParameters(unit, 1))
        return std::nullopt;
    const std::optional<bool> on = booleanParameter(unit.params[0]);
    if (!on) {
        pushError(scpiError::illegalParameterValue);
    } else if (!*on && circuit_.outputOn && refusedOffs_ > 0) {
        if (refusedOffs_ != refuseEveryOff)
            --refusedOffs_;
        pushError(scpiError::settingsConflict);
    } else {
        circuit_.outputOn = *on;
    }
    return std::nullopt;
}

std::optional<QByteArray> SourceInstrument::applyDc(const ScpiUnit& unit)
{
    if (!hasParameters(unit, 3))
        return std::nullopt;
    for (const QByteArray& ignored : {unit.params[0], unit.params[1]}) {
        const QByteArray word = ignored.toUpper();
        if (!numberParameter(ignored) && word != "DEF" && word != "MIN" && word != "MAX") {
            pushError(scpiError::dataType);
            return std::nullopt;
        }
    }
    const std::optional<double> level = numberParameter(unit.params[2]);
    if (!level) {
        pushError(scpiError::dataType);
        return std::nullopt;
    }
    if (!std::isfinite(*level) || std::abs(*level) > maxLevelVolts_) {
        pushError(scpiError::dataOutOfRange);
        return std::nullopt;
    }
    circuit_.levelVolts = *level;
    return std::nullopt;
}

} // namespace kestrel::sim
