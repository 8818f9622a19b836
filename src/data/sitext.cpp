#include "data/sitext.h"

#include "data/numbertext.h"

#include <algorithm>
#include <cmath>

namespace kestrel
{

namespace
{

const QChar minusSign(0x2212);
constexpr int lowestPrefix = -5; // f
constexpr int highestPrefix = 3; // G

QString prefixFor(int thousands)
{
    static const QString prefixes[] = {
        QStringLiteral("f"), QStringLiteral("p"), QStringLiteral("n"),
        QStringLiteral("µ"), QStringLiteral("m"), QString(),
        QStringLiteral("k"), QStringLiteral("M"), QStringLiteral("G")};
    return prefixes[thousands - lowestPrefix];
}

} // namespace

QString siText(double value, const QString& unit, int digits)
{
    const QString space = unit.isEmpty() ? QString() : QStringLiteral(" ");
    if (std::isnan(value))
        return QStringLiteral("NaN") + space + unit;
    const QString sign = std::signbit(value) && value != 0.0 ? QString(minusSign) : QString();
    if (std::isinf(value))
        return sign + QStringLiteral("∞") + space + unit;
    if (value == 0.0)
        return QStringLiteral("0") + space + unit;
    digits = std::max(1, digits);
    const double magnitude = std::fabs(value);
    const int exponent = int(std::floor(std::log10(magnitude)));
    int thousands = std::clamp(int(std::floor(exponent / 3.0)), lowestPrefix, highestPrefix);
    const auto format = [&](int prefix, int exponentShown) {
        const double scaled = magnitude / std::pow(10.0, 3 * prefix);
        const int decimals = std::max(0, digits - 1 - (exponentShown - 3 * prefix));
        return QString::number(scaled, 'f', decimals);
    };
    QString number = format(thousands, exponent);
    // 999.96 mV to three digits is 1.00 V, not 1000 mV.
    if (number.toDouble() >= 1000.0 && thousands < highestPrefix) {
        ++thousands;
        number = format(thousands, 3 * thousands);
    }
    return sign + number + space + prefixFor(thousands) + unit;
}

int digitsForStep(double value, double step)
{
    if (!(step > 0.0) || !std::isfinite(step) || value == 0.0 || !std::isfinite(value))
        return 1;
    const int valueExponent = int(std::floor(std::log10(std::fabs(value))));
    // The step's last significant digit: a step of 2.5 µA needs tenths of a microamp,
    // or 7.5 µA would read "8 µA".
    int lastDigit = int(std::floor(std::log10(step) + 1e-9));
    for (int more = 0; more < 3; ++more) {
        const double scaled = step / std::pow(10.0, lastDigit);
        if (std::fabs(scaled - std::round(scaled)) < 1e-6 * scaled)
            break;
        --lastDigit;
    }
    return std::clamp(valueExponent - lastDigit + 1, 1, 15);
}

QString exactSiText(double value, const QString& unit)
{
    // The significant digits of the shortest text that reads back as the value.
    const std::string text = formatDouble(value);
    const std::string mantissa = text.substr(0, text.find('e'));
    int digits = 0;
    bool leading = true;
    for (const char c : mantissa) {
        if (c < '0' || c > '9' || (leading && c == '0'))
            continue;
        leading = false;
        ++digits;
    }
    // "5000.0" holds trailing zeros that are no digits of the value.
    for (auto it = mantissa.rbegin(); it != mantissa.rend() && digits > 1; ++it) {
        if (*it == '.')
            continue;
        if (*it != '0')
            break;
        --digits;
    }
    return siText(value, unit, std::clamp(digits, 1, 17));
}

QString countText(qint64 count)
{
    QString digits = QString::number(count < 0 ? -count : count);
    for (qsizetype at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, QLatin1Char(','));
    return count < 0 ? QLatin1Char('-') + digits : digits;
}

} // namespace kestrel
