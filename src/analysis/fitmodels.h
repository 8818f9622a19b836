#pragma once

#include "analysis/fit.h"

#include <functional>
#include <string>

namespace kestrel::analysis
{

// Each model's fit, given the window's points: finite readings only, sorted by voltage.
FitResult fitLinear(const IVPointList& points, const FitOptions& options);
FitResult fitDiode(const IVPointList& points, const FitOptions& options);
FitResult fitSolar(const IVPointList& points, const FitOptions& options);

// The standard deviation of the readings' noise where the curve is flattest.
double noiseFloor(const IVPointList& points);

FitResult failedFit(Model model, std::string sentence);

// About 200 points of current(V), evenly spaced from the first to the last voltage.
IVPointList sampleCurve(const IVPointList& points, const std::function<double(double)>& current);

// The sums of a straight line y = intercept + slope x through points by least squares,
// taken point by point: the diode's and the solar cell's starting values come from such
// lines over parts of the curve. Fewer than two distinct x give no finite slope.
struct LineSums {
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    void add(double x, double y)
    {
        n += 1;
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    double slope() const { return (n * sxy - sx * sy) / (n * sxx - sx * sx); }
    // Where a line of that slope through the points' mean crosses x = 0.
    double intercept(double slope) const { return (sy - slope * sx) / n; }
};

// "%1 points" with the number in words the fit sentences use: "1 point", "2 points".
std::string pointCount(std::size_t count);

} // namespace kestrel::analysis
