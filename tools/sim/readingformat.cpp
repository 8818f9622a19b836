#include "sim/readingformat.h"

#include <charconv>

namespace kestrel::sim
{

QByteArray formatReading(double value)
{
    if (value == 0)
        value = 0; // no "-0.000000E+00"
    char text[40];
    const auto res =
        std::to_chars(text, text + sizeof text, value, std::chars_format::scientific, 6);
    QByteArray reading(text, res.ptr - text);
    const qsizetype e = reading.indexOf('e');
    if (e >= 0)
        reading[e] = 'E';
    return reading;
}

} // namespace kestrel::sim
