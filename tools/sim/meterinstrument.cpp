#include "sim/meterinstrument.h"

#include "data/currentranges.h"
#include "sim/readingformat.h"

#include <cmath>

namespace kestrel::sim
{

MeterInstrument::MeterInstrument(const Circuit& circuit, const MeterSettings& settings)
    : Instrument("Kestrel,SIM-METER,00000002," KESTREL_VERSION), circuit_(circuit),
      noiseFraction_(settings.noiseFraction), random_(settings.seed)
{
    addCommand("FUNCtion:CURRent:DC", [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
        hasParameters(unit, 0);
        return std::nullopt;
    });
    addCommand("MEASure:CURRent:DC", [this](const ScpiUnit& unit) { return setRange(unit); });
    addCommand("RATE:CURRent:DC", [this](const ScpiUnit& unit) { return setRate(unit); });
    addQuery("RATE:CURRent:DC", [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
        if (!hasParameters(unit, 0))
            return std::nullopt;
        return QByteArray(1, rate_);
    });
    addQuery(
        "MEASure:CURRent:DC",
        [this](const ScpiUnit& unit) -> std::optional<QByteArray> {
            if (!hasParameters(unit, 0))
                return std::nullopt;
            return formatReading(reading());
        },
        true);
    reset();
}

void MeterInstrument::reset()
{
    range_ = 0;
    rate_ = 'S';
}

double MeterInstrument::reading()
{
    const double fullScale = currentRanges().at(std::size_t(range_)).fullScaleAmps;
    const double rateFactor = rate_ == 'F' ? 10.0 : rate_ == 'M' ? 3.0 : 1.0;
    double amps = circuit_.current();
    if (noiseFraction_ > 0)
        amps += noise_(random_) * noiseFraction_ * rateFactor * fullScale;
    return std::abs(amps) > fullScale ? overloadReadingAmps : amps;
}

std::optional<QByteArray> MeterInstrument::setRange(const ScpiUnit& unit)
{
    if (!hasParameters(unit, 1))
        return std::nullopt;
    const int last = int(currentRanges().size()) - 1;
    const QByteArray word = unit.params[0].toUpper();
    if (word == "MIN" || word == "MAX") {
        range_ = word == "MIN" ? 0 : last;
        return std::nullopt;
    }
    const std::optional<double> index = numberParameter(unit.params[0]);
    if (!index)
        pushError(scpiError::dataType);
    else if (!(*index >= 0 && *index <= last) || *index != std::floor(*index))
        pushError(scpiError::dataOutOfRange);
    else
        range_ = int(*index);
    return std::nullopt;
}

std::optional<QByteArray> MeterInstrument::setRate(const ScpiUnit& unit)
{
    if (!hasParameters(unit, 1))
        return std::nullopt;
    const QByteArray rate = unit.params[0].toUpper();
    if (rate == "S" || rate == "M" || rate == "F")
        rate_ = rate[0];
    else
        pushError(scpiError::illegalParameterValue);
    return std::nullopt;
}

} // namespace kestrel::sim
