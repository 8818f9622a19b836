#pragma once

#include <QString>

namespace kestrel
{

// A number with an SI prefix and its unit, to `digits` significant digits:
// "12.3 µA", "−512 mV", "0 V". Prefixes run from f (1e-15) to G (1e9); beyond them
// the number grows ("0.001 fA", "5000 GV"). Not-finite values read "∞ V", "−∞ V", "NaN V".
// Locale-independent: the decimal point is always '.', the minus sign is U+2212.
QString siText(double value, const QString& unit, int digits = 3);

// A value someone typed, with an SI prefix and no more digits than it has: 0.005 A reads
// "5 mA", 0.0105 A "10.5 mA".
QString exactSiText(double value, const QString& unit);

// A count as the window and the messages write it, grouped by thousands with a comma
// whatever the locale: "20,001", "1,000,001", "7".
QString countText(qint64 count);

// Significant digits that show `value` exactly on a grid of `step`.
int digitsForStep(double value, double step);

} // namespace kestrel
