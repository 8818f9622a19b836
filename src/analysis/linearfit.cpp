#include "analysis/fitmodels.h"

#include <cmath>

namespace kestrel::analysis
{

FitResult fitLinear(const IVPointList& points, const FitOptions&)
{
    const std::size_t n = points.size();
    if (n < 3)
        return failedFit(Model::Linear,
                         "The window holds " + pointCount(n) + "; a linear fit needs at least 3.");

    // Sums about the means, so that an offset in V or I costs no precision.
    double meanV = 0.0, meanI = 0.0;
    for (const auto& [v, i] : points) {
        meanV += v;
        meanI += i;
    }
    meanV /= double(n);
    meanI /= double(n);
    double sxx = 0.0, sxy = 0.0, syy = 0.0;
    for (const auto& [v, i] : points) {
        sxx += (v - meanV) * (v - meanV);
        sxy += (v - meanV) * (i - meanI);
        syy += (i - meanI) * (i - meanI);
    }
    if (!(sxx > 0))
        return failedFit(Model::Linear, "All points of the window are at one source level, so "
                                        "the current's slope is undefined.");

    const double slope = sxy / sxx;
    const double offset = meanI - slope * meanV;
    double squares = 0.0;
    for (const auto& [v, i] : points)
        squares += (i - offset - slope * v) * (i - offset - slope * v);
    if (slope == 0.0)
        return failedFit(Model::Linear, "The current does not change with the voltage over the "
                                        "window, so the resistance is unbounded.");

    const double variance = squares / double(n - 2);
    const double slopeError = std::sqrt(variance / sxx);
    const double offsetError = std::sqrt(variance * (1.0 / double(n) + meanV * meanV / sxx));
    const double r2 = syy > 0 ? 1.0 - squares / syy : 1.0;
    // A slope within twice its error of zero (about the 95 % level) is the noise of a
    // flat current, and its inverse no resistance.
    if (!(std::abs(slope) >= 2 * slopeError))
        return failedFit(Model::Linear,
                         "The current does not follow the voltage over the window: its slope is "
                         "within twice its error of zero (" +
                             formatQuantity({"r2", r2, std::nullopt, ""}) +
                             "), so these points give no resistance; widen the window or sweep "
                             "over a larger span of voltage.");

    FitResult result;
    result.pointsUsed = n;
    result.quantities = {
        {"R", 1.0 / slope, slopeError / (slope * slope), "Ohm"},
        {"offset", offset, offsetError, "A"},
        {"r2", r2, std::nullopt, ""},
    };
    result.rmsResidual = std::sqrt(squares / double(n));
    result.curve = sampleCurve(points, [&](double v) { return offset + slope * v; });
    return result;
}

} // namespace kestrel::analysis
