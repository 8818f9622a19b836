#pragma once

#include <QByteArray>

namespace kestrel::sim
{

// A reading as the meter sends it: scientific with 7 significant digits and an
// upper-case exponent ("-1.234567E-03"), whatever the process locale.
QByteArray formatReading(double value);

} // namespace kestrel::sim
