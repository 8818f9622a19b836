#pragma once

#include "data/ivpoints.h"

#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::analysis
{

enum class Model { Linear, Diode, Solar };

// "linear", "diode", "solar"
const char* modelName(Model model);
std::optional<Model> modelFromName(std::string_view name);

// The source levels a fit takes, both ends included; the whole run by default.
struct VoltageWindow {
    double from = -std::numeric_limits<double>::infinity();
    double to = std::numeric_limits<double>::infinity();
};

struct FitOptions {
    Model model = Model::Linear;
    VoltageWindow window;
    double temperatureK = 298.15; // for the thermal voltage of the diode and solar models
    bool shunt = false;           // diode: also fit a shunt resistance
};

// One result: "Rs", 0.0365, 0.0012, "Ohm". No error where the model gives none.
struct Quantity {
    std::string name;
    double value = 0.0;
    std::optional<double> error; // one standard error
    std::string unit;            // "A", "V", "W", "Ohm", "" for n, r2, FF
};

struct FitResult {
    Model model = Model::Linear;
    std::string failure; // a sentence when the fit gave no result; then nothing else holds
    std::size_t pointsUsed = 0;
    std::vector<Quantity> quantities; // in a fixed order per model
    double rmsResidual = 0.0;         // A
    IVPointList curve;                // the fitted I(V) over the window, for drawing
    bool ok() const { return failure.empty(); }
};

// Pure and thread-safe: runs on any thread, no Qt.
FitResult fit(const IVPointList& points, const FitOptions& options);

// "Rs = 0.03655 ± 0.0012 Ohm", "n = 1.477 ± 0.02", "FF = 0.7312"; C locale, whatever
// the user's locale. Values keep enough digits for their error.
std::string formatQuantity(const Quantity& quantity);

// One formatQuantity line per result, each ending in a line feed; the failure sentence
// instead when there is none.
std::string describe(const FitResult& result);

} // namespace kestrel::analysis
