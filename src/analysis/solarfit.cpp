#include "analysis/fitmodels.h"
#include "analysis/leastsquares.h"
#include "analysis/singlediode.h"

#include <algorithm>
#include <cmath>

namespace kestrel::analysis
{
namespace
{

double interpolateAt(const IVPoint& a, const IVPoint& b, double volts)
{
    if (b[0] == a[0])
        return 0.5 * (a[1] + b[1]);
    return a[1] + (b[1] - a[1]) * (volts - a[0]) / (b[0] - a[0]);
}

// Least-squares slope dy/dx over the points of [first, last).
double slopeOver(const IVPointList& points, std::size_t first, std::size_t last, bool voltsOverAmps)
{
    LineSums line;
    for (std::size_t k = first; k < last; ++k)
        line.add(voltsOverAmps ? points[k][1] : points[k][0],
                 voltsOverAmps ? points[k][0] : points[k][1]);
    return line.slope();
}

// Without a fifth parameter, a cell without shunt leakage (Rsh infinite).
SingleDiode cellAt(std::span<const double> x, double thermal)
{
    return SingleDiode{x[0], std::exp(x[1]), std::exp(x[2]) * thermal, std::exp(x[3]),
                       x.size() > 4 ? std::exp(x[4]) : std::numeric_limits<double>::infinity()};
}

} // namespace

FitResult fitSolar(const IVPointList& window, const FitOptions& options)
{
    const double thermal = thermalVolts(options.temperatureK);
    const std::string noQuadrant =
        "The curve does not cross 0 V and 0 A, so it shows no generating quadrant.";

    // Isc where the curve crosses 0 V. Its sign tells the convention: a meter sees the
    // generated current as negative; the fit works in the photovoltaic one (I > 0).
    const auto firstAtOrAbove0 = std::lower_bound(
        window.begin(), window.end(), 0.0, [](const IVPoint& p, double v) { return p[0] < v; });
    if (firstAtOrAbove0 == window.end())
        return failedFit(Model::Solar, noQuadrant);
    std::size_t k0 = std::size_t(firstAtOrAbove0 - window.begin());
    double shortCircuit;
    if (window[k0][0] == 0.0)
        shortCircuit = window[k0][1];
    else if (k0 == 0)
        return failedFit(Model::Solar, noQuadrant);
    else
        shortCircuit = interpolateAt(window[k0 - 1], window[k0], 0.0);
    if (shortCircuit == 0.0)
        return failedFit(Model::Solar, noQuadrant);
    const double sign = shortCircuit < 0 ? -1.0 : 1.0;
    IVPointList points = window;
    for (IVPoint& point : points)
        point[1] *= sign;
    shortCircuit *= sign;

    // Voc where the current first falls to 0 A above 0 V.
    std::size_t kOpen = k0;
    while (kOpen < points.size() && points[kOpen][1] > 0)
        ++kOpen;
    if (kOpen == points.size() || points[kOpen][0] <= 0)
        return failedFit(Model::Solar, noQuadrant);
    const IVPoint& below = points[kOpen - 1];
    const IVPoint& above = points[kOpen];
    const double openCircuit =
        below[1] == above[1] ? above[0]
                             : below[0] + (above[0] - below[0]) * below[1] / (below[1] - above[1]);

    // A generated current lost in the noise, or too few points to show it, is none.
    if (shortCircuit <= 5 * noiseFloor(points) || kOpen - k0 < 3)
        return failedFit(Model::Solar, noQuadrant);

    IVPoint maximum{0.0, 0.0};
    for (std::size_t k = k0; k < kOpen; ++k)
        if (points[k][0] * points[k][1] > maximum[0] * maximum[1])
            maximum = points[k];
    const double maxPower = maximum[0] * maximum[1];

    constexpr std::size_t p = 5;
    if (points.size() < p + 2)
        return failedFit(Model::Solar, "The window holds " + pointCount(points.size()) +
                                           "; a solar-cell fit needs at least 7.");

    // Starting values: Rsh from the slope near short circuit, Rs from the slope at open
    // circuit less the junction's share, I0 from Voc; each for a few ideality factors.
    std::size_t nearShort = k0;
    while (nearShort < points.size() && points[nearShort][0] <= 0.5 * openCircuit)
        ++nearShort;
    const double shortSlope = slopeOver(points, 0, std::max<std::size_t>(nearShort, 3), false);
    const double shunt0 = shortSlope < 0 ? -1.0 / shortSlope : 1e3 * openCircuit / shortCircuit;
    const std::size_t openFirst = kOpen >= 2 ? kOpen - 2 : 0;
    const double openSlope =
        slopeOver(points, openFirst, std::min(points.size(), openFirst + 4), true);
    std::vector<std::vector<double>> starts;
    for (double ideality : {1.0, 1.5, 2.0}) {
        const double a = ideality * thermal;
        double series = -openSlope - a / shortCircuit;
        if (!(series > 0))
            series = 1e-3 * openCircuit / shortCircuit;
        const double saturation =
            std::max(shortCircuit - openCircuit / shunt0, 1e-3 * shortCircuit) /
            std::expm1(openCircuit / a);
        starts.push_back({shortCircuit, std::log(saturation), std::log(ideality), std::log(series),
                          std::log(shunt0)});
    }

    // The explicit current's residual, I(V) - I, unweighted: the readings of a cell share
    // one range and so one noise level.
    const auto model = [thermal](const IVPointList& data) -> ResidualFunction {
        return [&data, thermal](std::span<const double> x, std::span<double> r,
                                std::span<double> jacobian) {
            const SingleDiode m = cellAt(x, thermal);
            const std::size_t columns = x.size();
            for (std::size_t k = 0; k < data.size(); ++k) {
                const auto [v, measured] = data[k];
                const double amps = m.current(v);
                r[k] = amps - measured;
                const Slopes s = slopes(m, v, amps);
                double* row = &jacobian[k * columns];
                row[0] = s.iph;
                row[1] = s.logI0;
                row[2] = s.logN;
                row[3] = s.logRs;
                if (columns > 4)
                    row[4] = s.logRsh;
            }
            return true;
        };
    };
    LeastSquaresResult solved = fitInStages(points, starts, model);
    // A cell without shunt leakage leaves Rsh free to run off to infinity, and with it
    // the covariance singular; the other parameters still stand, fitted without it.
    const bool shunt =
        !(solved.outcome == LeastSquaresResult::Outcome::Converged && solved.singular);
    if (!shunt) {
        for (std::vector<double>& start : starts)
            start.pop_back();
        solved = fitInStages(points, starts, model);
    }
    if (solved.outcome == LeastSquaresResult::Outcome::IterationLimit)
        return failedFit(Model::Solar, "The solar-cell fit did not converge within 200 "
                                       "iterations; narrow the window to the cell's curve.");
    if (solved.outcome != LeastSquaresResult::Outcome::Converged)
        return failedFit(Model::Solar, "The solar-cell fit failed: the model could not be "
                                       "evaluated near these points.");
    if (solved.singular)
        return failedFit(Model::Solar, "The points do not determine all five parameters of the "
                                       "cell (the fit's covariance is singular); widen the window "
                                       "over the whole curve from 0 V to Voc.");

    // The model must explain the points better than their mean does.
    double meanAmps = 0.0, aroundMean = 0.0;
    for (const auto& [v, i] : points)
        meanAmps += i / double(points.size());
    for (const auto& [v, i] : points)
        aroundMean += (i - meanAmps) * (i - meanAmps);
    if (!(solved.chiSquared <= 0.5 * aroundMean))
        return failedFit(Model::Solar, "The single-diode model explains the points no better than "
                                       "a constant current; widen the window over the whole "
                                       "curve from 0 V to Voc.");

    const SingleDiode m = cellAt(solved.x, thermal);
    const auto& e = solved.errors;
    FitResult result;
    result.pointsUsed = points.size();
    result.quantities = {
        {"Isc", shortCircuit, std::nullopt, "A"},
        {"Voc", openCircuit, std::nullopt, "V"},
        {"Pmax", maxPower, std::nullopt, "W"},
        {"Vmp", maximum[0], std::nullopt, "V"},
        {"Imp", maximum[1], std::nullopt, "A"},
        {"FF", maxPower / (shortCircuit * openCircuit), std::nullopt, ""},
        {"Iph", m.iph, e[0], "A"},
        {"I0", m.i0, m.i0 * e[1], "A"},
        {"n", m.a / thermal, m.a / thermal * e[2], ""},
        {"Rs", m.rs, m.rs * e[3], "Ohm"},
        shunt ? Quantity{"Rsh", m.rsh, m.rsh * e[4], "Ohm"}
              : Quantity{"Rsh", 0.0, undeterminedError, "Ohm"},
    };
    result.rmsResidual = std::sqrt(solved.chiSquared / double(points.size()));
    result.curve = sampleCurve(points, [&](double v) { return sign * m.current(v); });
    return result;
}

} // namespace kestrel::analysis
