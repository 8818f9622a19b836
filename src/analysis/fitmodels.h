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

// "%1 points" with the number in words the fit sentences use: "1 point", "2 points".
std::string pointCount(std::size_t count);

} // namespace kestrel::analysis
