#include "analysis/fitmodels.h"
#include "analysis/leastsquares.h"
#include "analysis/singlediode.h"

#include <algorithm>
#include <cmath>

namespace kestrel::analysis
{
namespace
{

constexpr double relativeError = 1e-3;

SingleDiode diodeAt(std::span<const double> x, double thermal, bool shunt)
{
    SingleDiode m;
    m.iph = 0.0;
    m.i0 = std::exp(x[0]);
    m.a = std::exp(x[1]) * thermal;
    m.rs = std::exp(x[2]);
    m.rsh = shunt ? std::exp(x[3]) : std::numeric_limits<double>::infinity();
    return m;
}

// Starting values: the lower part of the forward curve (in decades) is the junction's
// exponential, I = Is exp(V / (n Vt)), once the shunt's share V / Rsh is taken off;
// what the top points lack of it is the drop on Rs.
std::vector<double> startingValues(const IVPointList& used, double thermal, double shuntOhms)
{
    IVPointList junction; // (V, junction current) where the junction carries most of I
    for (const auto& [v, i] : used)
        if (i - v / shuntOhms > 0.5 * i)
            junction.push_back({v, std::log(i - v / shuntOhms)});
    if (junction.size() < 3)
        junction = {{used.front()[0], std::log(used.front()[1])},
                    {used.back()[0], std::log(used.back()[1])}};
    const double logLimit = junction.front()[1] + 0.4 * (junction.back()[1] - junction.front()[1]);
    LineSums line;
    for (const auto& [v, y] : junction) {
        if (y > logLimit && line.n >= 3)
            break;
        line.add(v, y);
    }
    double slope = line.slope();
    double ideality = 1.0 / (slope * thermal);
    if (!(ideality > 0.5 && ideality < 20)) {
        ideality = 2.0;
        slope = 1.0 / (ideality * thermal);
    }
    const double saturation = std::exp(line.intercept(slope));

    std::vector<double> ratios;
    for (std::size_t k = used.size() - std::max<std::size_t>(1, used.size() / 10); k < used.size();
         ++k) {
        const auto [v, i] = used[k];
        ratios.push_back((v - ideality * thermal * std::log1p(i / saturation)) / i);
    }
    std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
    double series = ratios[ratios.size() / 2];
    const auto [topV, topI] = used.back();
    if (!(series > 1e-6 * topV / topI))
        series = 1e-3 * topV / topI;

    std::vector<double> x{std::log(saturation), std::log(ideality), std::log(series)};
    if (std::isfinite(shuntOhms))
        x.push_back(std::log(shuntOhms));
    return x;
}

// Guesses of the shunt: the slope in reverse bias, where it carries all the current, and
// the lowest forward point's V / I, which it cannot exceed by much.
std::vector<double> shuntGuesses(const IVPointList& points, const IVPointList& used)
{
    std::vector<double> guesses{used.front()[0] / used.front()[1]};
    LineSums line;
    for (const auto& [v, i] : points) {
        if (v >= 0)
            break;
        line.add(v, i);
    }
    const double slope = line.slope();
    if (line.n >= 3 && slope > 0)
        guesses.push_back(1.0 / slope);
    return guesses;
}

} // namespace

// The standard deviation of the reading noise, from where the curve is flattest: the
// second differences of white noise have variance 6 sigma^2, and over a block of nine
// points a smooth curve adds little. The median over the quarter of blocks with the
// smallest currents keeps the exponential part out of the estimate.
double noiseFloor(const IVPointList& points)
{
    constexpr std::size_t block = 9;
    struct Estimate {
        double meanAmps, sigma;
    };
    std::vector<Estimate> estimates;
    for (std::size_t first = 0; first + block <= points.size(); first += block) {
        double sum = 0.0, meanAmps = 0.0;
        for (std::size_t i = first; i < first + block; ++i) {
            meanAmps += std::abs(points[i][1]) / double(block);
            if (i >= first + 2) {
                const double d = points[i][1] - 2 * points[i - 1][1] + points[i - 2][1];
                sum += d * d;
            }
        }
        estimates.push_back({meanAmps, std::sqrt(sum / double(block - 2) / 6.0)});
    }
    if (estimates.empty())
        return 0.0;
    const std::size_t quarter = std::max<std::size_t>(1, estimates.size() / 4);
    std::nth_element(estimates.begin(), estimates.begin() + (quarter - 1), estimates.end(),
                     [](const Estimate& a, const Estimate& b) { return a.meanAmps < b.meanAmps; });
    std::vector<double> sigmas;
    for (std::size_t i = 0; i < quarter; ++i)
        sigmas.push_back(estimates[i].sigma);
    std::nth_element(sigmas.begin(), sigmas.begin() + sigmas.size() / 2, sigmas.end());
    return sigmas[sigmas.size() / 2];
}

FitResult fitDiode(const IVPointList& points, const FitOptions& options)
{
    const double thermal = thermalVolts(options.temperatureK);
    const double floor = noiseFloor(points);
    const std::size_t p = options.shunt ? 4 : 3;

    // The forward region above the noise floor: there the current tells the junction's
    // voltage. Each residual is weighted by its reading's uncertainty, taken as the
    // noise floor and 0.1 % of the reading: relative over the decades where the noise
    // is small, so that the low decades that carry Is and n count as much as the top
    // ones that carry Rs, and absolute near the floor, where a relative weight would
    // turn the noise into bias.
    IVPointList used;
    used.reserve(points.size());
    bool forward = false;
    for (const auto& [v, i] : points) {
        forward = forward || (v > 0 && i > 0);
        if (v > 0 && i > 3 * floor && i > 0)
            used.push_back({v, i});
    }
    if (!forward)
        return failedFit(Model::Diode, "The window has no forward region: no point above 0 V "
                                       "draws a positive current.");
    if (used.size() < p + 3)
        return failedFit(Model::Diode, "The forward region of the window holds " +
                                           pointCount(used.size()) +
                                           " above the noise floor; a diode fit needs at least " +
                                           std::to_string(p + 3) + ".");

    // The model's currents at the last parameters evaluated, most often the solution's:
    // over a large set, evaluating them once more would cost as much as an iteration.
    struct {
        std::vector<double> x, amps;
    } last;
    const auto solve = [&](bool shunt) {
        const std::size_t p = shunt ? 4 : 3;
        const auto model = [&, shunt, p](const IVPointList& data) -> ResidualFunction {
            return [&data, &last, thermal, shunt, floor,
                    p](std::span<const double> x, std::span<double> r, std::span<double> jacobian) {
                const SingleDiode m = diodeAt(x, thermal, shunt);
                last.x.assign(x.begin(), x.end());
                last.amps.resize(data.size());
                for (std::size_t k = 0; k < data.size(); ++k) {
                    const auto [v, measured] = data[k];
                    const double amps = -m.current(v);
                    last.amps[k] = amps;
                    const double weight = 1.0 / std::hypot(floor, relativeError * measured);
                    r[k] = (amps - measured) * weight;
                    const Slopes s = slopes(m, v, -amps);
                    double* row = &jacobian[k * p];
                    row[0] = -s.logI0 * weight;
                    row[1] = -s.logN * weight;
                    row[2] = -s.logRs * weight;
                    if (shunt)
                        row[3] = -s.logRsh * weight;
                }
                return true;
            };
        };
        std::vector<std::vector<double>> starts;
        if (shunt)
            for (double shuntOhms : shuntGuesses(points, used))
                starts.push_back(startingValues(used, thermal, shuntOhms));
        else
            starts.push_back(
                startingValues(used, thermal, std::numeric_limits<double>::infinity()));
        return fitInStages(used, starts, model);
    };

    bool shunt = options.shunt;
    LeastSquaresResult solved = solve(shunt);
    // A device without shunt leakage leaves Rsh free to run off to infinity, and with it
    // the covariance singular; the other parameters still stand, fitted without it.
    if (shunt && solved.outcome == LeastSquaresResult::Outcome::Converged && solved.singular) {
        shunt = false;
        solved = solve(false);
    }
    if (solved.outcome == LeastSquaresResult::Outcome::IterationLimit)
        return failedFit(Model::Diode, "The diode fit did not converge within 200 iterations; "
                                       "narrow the window to the forward region.");
    if (solved.outcome != LeastSquaresResult::Outcome::Converged)
        return failedFit(Model::Diode, "The diode fit failed: the model could not be evaluated "
                                       "near these points; narrow the window to the forward "
                                       "region.");
    if (solved.singular)
        return failedFit(Model::Diode,
                         "The points do not determine all diode parameters (the fit's covariance "
                         "is singular); widen the window over more of the forward region" +
                             std::string(options.shunt ? " or fit without the shunt." : "."));

    const SingleDiode m = diodeAt(solved.x, thermal, shunt);
    const bool recorded = last.x == solved.x && last.amps.size() == used.size();
    // The model must explain the points better than their (weighted) mean does: noise
    // above the floor, fitted as a diode, gives parameters that mean nothing.
    double squares = 0.0, weights = 0.0, weightedAmps = 0.0, weightedSquares = 0.0;
    for (std::size_t k = 0; k < used.size(); ++k) {
        const double d = (recorded ? last.amps[k] : -m.current(used[k][0])) - used[k][1];
        const double weight = 1.0 / (floor * floor + std::pow(relativeError * used[k][1], 2));
        squares += d * d;
        weightedSquares += weight * d * d;
        weights += weight;
        weightedAmps += weight * used[k][1];
    }
    double aroundMean = 0.0;
    for (const auto& [v, i] : used)
        aroundMean += std::pow(i - weightedAmps / weights, 2) /
                      (floor * floor + std::pow(relativeError * i, 2));
    if (!(weightedSquares <= 0.5 * aroundMean))
        return failedFit(Model::Diode,
                         "The diode model explains the points no better than a constant current: "
                         "the window shows no exponential forward curve above the noise. Narrow "
                         "the window to the forward region, or check that the device is "
                         "connected.");

    FitResult result;
    result.pointsUsed = used.size();
    const auto& e = solved.errors;
    result.quantities = {
        {"Is", m.i0, m.i0 * e[0], "A"},
        {"n", m.a / thermal, m.a / thermal * e[1], ""},
        {"Rs", m.rs, m.rs * e[2], "Ohm"},
    };
    if (shunt)
        result.quantities.push_back({"Rsh", m.rsh, m.rsh * e[3], "Ohm"});
    else if (options.shunt)
        result.quantities.push_back({"Rsh", 0.0, undeterminedError, "Ohm"});
    result.rmsResidual = std::sqrt(squares / double(used.size()));
    result.curve = sampleCurve(points, [&](double v) { return -m.current(v); });
    return result;
}

} // namespace kestrel::analysis
