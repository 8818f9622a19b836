#include "chart/siticker.h"

#include "data/sitext.h"

#include <cmath>

namespace kestrel
{

QVector<QString> SiTicker::createLabelVector(const QVector<double>& ticks, const QLocale&, QChar,
                                             int)
{
    const double step = ticks.size() > 1 ? std::fabs(ticks[1] - ticks[0]) : 0.0;
    QVector<QString> labels;
    labels.reserve(ticks.size());
    for (double tick : ticks) {
        // The tick at zero comes out of a sum as 1e-17 or so.
        const double value = std::fabs(tick) < step * 1e-6 ? 0.0 : tick;
        labels << siText(value, unit_, digitsForStep(value, step));
    }
    return labels;
}

QVector<QString> SiLogTicker::createLabelVector(const QVector<double>& ticks, const QLocale&, QChar,
                                                int)
{
    QVector<QString> labels;
    labels.reserve(ticks.size());
    for (double tick : ticks) {
        const int exponent = int(std::lround(std::log10(tick)));
        labels << siText(tick, unit_, ((exponent % 3) + 3) % 3 + 1);
    }
    return labels;
}

} // namespace kestrel
