#pragma once

#include <qcustomplot.h>

#include <cmath>

namespace kestrel
{

// One axis's coordinate-to-pixel mapping as a plain line, px = offset + scale * v (v the
// logarithm of the magnitude on a logarithmic axis), so a loop over a million points
// needs no call into the axis per point. Taken from the axis itself, so it agrees with
// what the axis draws.
struct AxisMap {
    double offset = 0.0;
    double scale = 1.0;
    bool log = false;

    // ratio: device pixels per pixel; originPx: where pixel 0 of the target lies.
    static AxisMap of(const QCPAxis* axis, double ratio = 1.0, double originPx = 0.0)
    {
        AxisMap map;
        const QCPRange range = axis->range();
        map.log = axis->scaleType() == QCPAxis::stLogarithmic;
        const double p0 = axis->coordToPixel(range.lower);
        const double p1 = axis->coordToPixel(range.upper);
        const double v0 = map.log ? std::log(std::fabs(range.lower)) : range.lower;
        const double v1 = map.log ? std::log(std::fabs(range.upper)) : range.upper;
        map.scale = v1 != v0 ? (p1 - p0) / (v1 - v0) * ratio : 0.0;
        map.offset = (p0 - originPx) * ratio - v0 * map.scale;
        return map;
    }

    // Whether a value has a place on this axis (zero has none on a logarithmic one).
    bool shows(double value) const { return std::isfinite(value) && !(log && value == 0.0); }
    double pixel(double value) const
    {
        return offset + scale * (log ? std::log(std::fabs(value)) : value);
    }
};

} // namespace kestrel
