#include "sim/dialectinstrument.h"

#include "sim/readingformat.h"

#include <charconv>
#include <cmath>

namespace kestrel::sim
{

CurrentMeasurement::CurrentMeasurement(std::vector<double> rangesAmps, double overRange,
                                       double defaultNplc, const MeterSettings& settings)
    : nplc(defaultNplc), ranges_(std::move(rangesAmps)), overRange_(overRange),
      defaultNplc_(defaultNplc), noiseFraction_(settings.noiseFraction), random_(settings.seed)
{
    reset();
}

void CurrentMeasurement::reset()
{
    autoRange_ = true;
    range_ = ranges_.size() - 1;
    nplc = defaultNplc_;
}

bool CurrentMeasurement::selectRange(double amps)
{
    for (std::size_t i = 0; i < ranges_.size(); ++i) {
        if (std::abs(amps) <= ranges_[i] * (1 + 1e-9)) {
            range_ = i;
            autoRange_ = false;
            return true;
        }
    }
    return false;
}

std::optional<double> CurrentMeasurement::read(double amps)
{
    if (autoRange_) {
        range_ = ranges_.size() - 1;
        for (std::size_t i = 0; i < ranges_.size(); ++i) {
            if (std::abs(amps) <= ranges_[i]) {
                range_ = i;
                break;
            }
        }
    }
    const double fullScale = ranges_[range_];
    if (noiseFraction_ > 0)
        amps += noise_(random_) * noiseFraction_ * fullScale;
    if (std::abs(amps) > fullScale * overRange_)
        return std::nullopt;
    return amps;
}

int CurrentMeasurement::integrationMs() const
{
    return int(std::lround(nplc * 2.0));
}

std::optional<double> DialectInstrument::numberSetting(const ScpiUnit& unit, qsizetype index,
                                                       double min, double max, double def)
{
    const QByteArray word = unit.params[index].toUpper();
    if (word == "MIN" || word == "MINIMUM")
        return min;
    if (word == "MAX" || word == "MAXIMUM")
        return max;
    if (word == "DEF" || word == "DEFAULT")
        return def;
    const std::optional<double> value = numberParameter(unit.params[index]);
    if (!value) {
        pushError(scpiError::dataType);
        return std::nullopt;
    }
    if (!std::isfinite(*value) || *value < min || *value > max) {
        pushError(scpiError::dataOutOfRange);
        return std::nullopt;
    }
    return value;
}

std::optional<bool> DialectInstrument::switchSetting(const ScpiUnit& unit, qsizetype index)
{
    const std::optional<bool> on = booleanParameter(unit.params[index]);
    if (!on)
        pushError(scpiError::illegalParameterValue);
    return on;
}

std::optional<QByteArray> DialectInstrument::stringSetting(const ScpiUnit& unit, qsizetype index)
{
    const QByteArray& text = unit.params[index];
    if (text.size() < 2 || (text.front() != '"' && text.front() != '\'') ||
        text.back() != text.front()) {
        pushError(scpiError::dataType);
        return std::nullopt;
    }
    return text.sliced(1, text.size() - 2);
}

void DialectInstrument::addNumber(const char* pattern, double min, double max, double def,
                                  std::function<void(double)> apply)
{
    addCommand(pattern,
               [this, min, max, def,
                apply = std::move(apply)](const ScpiUnit& unit) -> std::optional<QByteArray> {
                   if (!hasParameters(unit, 1))
                       return std::nullopt;
                   if (const std::optional<double> value = numberSetting(unit, 0, min, max, def))
                       apply(*value);
                   return std::nullopt;
               });
}

void DialectInstrument::addSwitch(const char* pattern, std::function<void(bool)> apply)
{
    addCommand(pattern,
               [this, apply = std::move(apply)](const ScpiUnit& unit) -> std::optional<QByteArray> {
                   if (!hasParameters(unit, 1))
                       return std::nullopt;
                   if (const std::optional<bool> on = switchSetting(unit, 0))
                       apply(*on);
                   return std::nullopt;
               });
}

void DialectInstrument::addChoice(const char* pattern, QByteArrayList words)
{
    addCommand(pattern,
               [this, words = std::move(words)](const ScpiUnit& unit) -> std::optional<QByteArray> {
                   if (hasParameters(unit, 1) && !words.contains(unit.params[0].toUpper()))
                       pushError(scpiError::illegalParameterValue);
                   return std::nullopt;
               });
}

void DialectInstrument::addValue(const char* pattern, std::function<QByteArray()> value)
{
    addQuery(pattern,
             [this, value = std::move(value)](const ScpiUnit& unit) -> std::optional<QByteArray> {
                 if (!hasParameters(unit, 0))
                     return std::nullopt;
                 return value();
             });
}

SourcingInstrument::SourcingInstrument(QByteArray identity, Circuit& circuit,
                                       double defaultLimitAmps)
    : DialectInstrument(std::move(identity)), circuit_(circuit), defaultLimitAmps_(defaultLimitAmps)
{
}

void SourcingInstrument::reset()
{
    circuit_.outputOn = false;
    circuit_.levelVolts = 0.0;
    circuit_.limitAmps = defaultLimitAmps_;
}

QByteArray keithleyEventLogEntry(int code)
{
    return QByteArray::number(code) + ",\"" + errorDescription(code) + ';' +
           QByteArray::number(code == 0 ? 0 : 1) + ";0 0\"";
}

QByteArray keysightErrorEntry(int code)
{
    return (code == 0 ? QByteArray("+0") : QByteArray::number(code)) + ",\"" +
           errorDescription(code) + '"';
}

QByteArray formatSigned(double value, int decimals)
{
    if (value == 0)
        value = 0; // no "-0"
    char text[48];
    const auto res =
        std::to_chars(text, text + sizeof text, value, std::chars_format::scientific, decimals);
    QByteArray number(text, res.ptr - text);
    const qsizetype e = number.indexOf('e');
    if (e >= 0)
        number[e] = 'E';
    if (value >= 0 || std::isnan(value))
        number.prepend('+');
    return number;
}

} // namespace kestrel::sim
