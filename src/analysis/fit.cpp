#include "analysis/fit.h"

#include "analysis/fitmodels.h"
#include "data/currentranges.h"
#include "data/vectorstate.h"

#include <algorithm>
#include <cmath>

namespace kestrel::analysis
{

const char* modelName(Model model)
{
    switch (model) {
    case Model::Linear:
        return "linear";
    case Model::Diode:
        return "diode";
    case Model::Solar:
        return "solar";
    }
    return "linear";
}

std::optional<Model> modelFromName(std::string_view name)
{
    for (Model model : {Model::Linear, Model::Diode, Model::Solar})
        if (name == modelName(model))
            return model;
    return std::nullopt;
}

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
    if (result.ok()) {
        const bool finite =
            std::all_of(result.quantities.begin(), result.quantities.end(), [](const Quantity& q) {
                return std::isfinite(q.value) && (!q.error || std::isfinite(*q.error));
            });
        if (!finite || !std::isfinite(result.rmsResidual))
            return failedFit(options.model,
                             "The fit gave no finite result; narrow the window or check the "
                             "points.");
    }
    return result;
}

} // namespace kestrel::analysis
