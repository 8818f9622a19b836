#include "analysis/fit.h"

#include "analysis/fitmodels.h"
#include "data/currentranges.h"
#include "data/vectorstate.h"

#include <algorithm>
#include <cmath>

namespace kestrel::analysis
{

FitResult failedFit(Model model, std::string sentence)
{
    FitResult result;
    result.model = model;
    result.failure = std::move(sentence);
    return result;
}

std::string pointCount(std::size_t count)
{
    return std::to_string(count) + (count == 1 ? " point" : " points");
}

IVPointList sampleCurve(const IVPointList& points, const std::function<double(double)>& current)
{
    constexpr int samples = 200;
    IVPointList curve;
    if (points.empty())
        return curve;
    const double from = points.front()[0];
    const double to = points.back()[0];
    curve.reserve(samples + 1);
    for (int i = 0; i <= samples; ++i) {
        const double volts = i == samples ? to : from + (to - from) * i / samples;
        const double amps = current(volts);
        if (std::isfinite(amps))
            curve.push_back({volts, amps});
    }
    return curve;
}

namespace
{

// The quantities a model's result stands or falls by, those it gives only where the
// points show them, and what to do when the main ones are not determined.
struct Roles {
    std::vector<std::string_view> main, secondary;
    const char* advice;
};

Roles rolesOf(Model model)
{
    switch (model) {
    case Model::Linear:
        break;
    case Model::Diode:
        return {{"Is", "n"},
                {"Rs", "Rsh"},
                "narrow the window to the forward region, where the current rises exponentially."};
    case Model::Solar:
        return {{"Iph", "I0", "n"},
                {"Rs", "Rsh"},
                "widen the window over the whole curve from 0 V to Voc."};
    }
    return {{"R"}, {}, "widen the window or sweep over a larger span of voltage."};
}

bool determinedBy(const Quantity& q)
{
    return std::isfinite(q.value) && q.error && std::isfinite(*q.error) &&
           *q.error < std::abs(q.value);
}

// Secondary quantities the points leave open are marked so; a main one fails the fit.
FitResult keepDetermined(FitResult result)
{
    const Roles roles = rolesOf(result.model);
    std::vector<std::string> open;
    for (Quantity& q : result.quantities) {
        const auto is = [&q](const std::vector<std::string_view>& names) {
            return std::find(names.begin(), names.end(), q.name) != names.end();
        };
        if (is(roles.main) && !determinedBy(q)) {
            open.push_back(q.name);
        } else if (is(roles.secondary) && !determinedBy(q)) {
            q.error = undeterminedError;
            if (!std::isfinite(q.value))
                q.value = 0.0; // kept as a number; shown as what it is
        }
    }
    if (open.empty())
        return result;
    std::string names = open.front();
    for (std::size_t i = 1; i < open.size(); ++i)
        names += (i + 1 == open.size() ? " and " : ", ") + open[i];
    return failedFit(result.model,
                     "The points do not determine " + names + " of the " + modelName(result.model) +
                         " model (" +
                         (open.size() == 1 ? "its error is not smaller than its value"
                                           : "their errors are not smaller than their values") +
                         "); " + roles.advice);
}

} // namespace

FitResult fit(const IVPointList& points, const FitOptions& options)
{
    // Whatever thread runs it, the fit's legacy SSE code (ours and GSL's) runs at full
    // speed only with the upper halves of the vector registers clear.
    clearUpperVectorState();
    // Overload marks and unreadable values are no currents; a return leg or repeated
    // levels are fine for a least-squares fit once the points are in voltage order.
    IVPointList window;
    window.reserve(points.size());
    for (const IVPoint& point : points) {
        const auto [volts, amps] = point;
        if (std::isfinite(volts) && std::isfinite(amps) && std::abs(amps) < overloadReadingAmps &&
            volts >= options.window.from && volts <= options.window.to)
            window.push_back(point);
    }
    const auto byVolts = [](const IVPoint& a, const IVPoint& b) { return a[0] < b[0]; };
    if (!std::is_sorted(window.begin(), window.end(), byVolts))
        std::stable_sort(window.begin(), window.end(), byVolts);

    if (!(options.temperatureK > 0) || !std::isfinite(options.temperatureK))
        return failedFit(options.model, "The temperature must be above 0 K.");

    FitResult result;
    switch (options.model) {
    case Model::Linear:
        result = fitLinear(window, options);
        break;
    case Model::Diode:
        result = fitDiode(window, options);
        break;
    case Model::Solar:
        result = fitSolar(window, options);
        break;
    }
    result.model = options.model;
    if (result.ok())
        result = keepDetermined(std::move(result));
    if (result.ok()) {
        const bool finite =
            std::all_of(result.quantities.begin(), result.quantities.end(), [](const Quantity& q) {
                return !q.determined() ||
                       (std::isfinite(q.value) && (!q.error || std::isfinite(*q.error)));
            });
        if (!finite || !std::isfinite(result.rmsResidual))
            return failedFit(options.model,
                             "The fit gave no finite result; narrow the window or check the "
                             "points.");
    }
    return result;
}

} // namespace kestrel::analysis
