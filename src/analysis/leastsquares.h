#pragma once

#include "data/ivpoints.h"

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace kestrel::analysis
{

// Fills the residuals (n) and, row by row, their Jacobian (n x p) at the parameters x.
// Returns false where the model cannot be evaluated there.
using ResidualFunction = std::function<bool(std::span<const double> x, std::span<double> residuals,
                                            std::span<double> jacobian)>;

struct LeastSquaresProblem {
    std::size_t residualCount = 0;
    std::vector<double> start;
    ResidualFunction residuals;
    int maxIterations = 200;
    double stepTolerance = 1e-10; // relative change in each parameter that ends the search
    double errorFraction = 0.0;   // above 0: a step this small against the errors ends it too
};

struct LeastSquaresResult {
    enum class Outcome { Converged, IterationLimit, Failed };
    Outcome outcome = Outcome::Failed;
    int iterations = 0;
    std::vector<double> x;
    std::vector<double> errors; // one standard error each, scaled by the residual variance
    bool singular = false;      // the covariance is singular: the errors are meaningless
    double chiSquared = 0.0;    // sum of squared residuals
};

// A trust-region search (gsl_multilarge_nlinear, dogleg). With computeErrors, the
// covariance at the solution gives the standard errors.
LeastSquaresResult solveLeastSquares(const LeastSquaresProblem& problem, bool computeErrors);

// Fits a model to points from each of several starting values and keeps the best.
// Over many points the search runs on an evenly spread subset of about 2000 first,
// and only its result is refined over all of them: the residuals of a large set cost
// more than the few iterations they then need.
LeastSquaresResult fitInStages(const IVPointList& points,
                               const std::vector<std::vector<double>>& starts,
                               const std::function<ResidualFunction(const IVPointList&)>& model);

// Turns GSL's error handler off, once per process, so that its failures come back as
// status codes rather than aborting whichever thread met them.
void quietGsl();

} // namespace kestrel::analysis
