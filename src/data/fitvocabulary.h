#pragma once

#include "data/ivpoints.h"

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What a fit is asked and what it gives, with their texts: plain values, kept apart from
// the solvers (src/analysis) so that the store, the files and the tools that only read
// or write fits need no numerical library. The names stay in the analysis namespace,
// whose vocabulary they are.
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

// One result: "Rs", 0.0365, 0.0012, "Ohm". No error where the model gives none; an
// infinite one where the points do not determine it (a shunt on a device without
// one), and then the value means nothing.
struct Quantity {
    std::string name;
    double value = 0.0;
    std::optional<double> error; // one standard error
    std::string unit;            // "A", "V", "W", "Ohm", "" for n, r2, FF
    bool determined() const { return !error || !std::isinf(*error); }
};

inline constexpr double undeterminedError = std::numeric_limits<double>::infinity();

struct FitResult {
    Model model = Model::Linear;
    std::string failure; // a sentence when the fit gave no result; then nothing else holds
    std::size_t pointsUsed = 0;
    std::vector<Quantity> quantities; // in a fixed order per model
    double rmsResidual = 0.0;         // A
    IVPointList curve;                // the fitted I(V) over the window, for drawing
    bool ok() const { return failure.empty(); }
};

// "Rs = 0.03655 ± 0.00049 Ohm", "n = 1.477 ± 0.011", "FF = 0.7119": the error to two
// significant digits and the value to the same place; C locale, whatever the user's
// locale. Outside 1e-3 .. 1e6 in powers of ten: "I0 = 3.11e-07 ± 3.3e-08 A". What the
// points do not determine: "Rsh = not determined by these points".
std::string formatQuantity(const Quantity& quantity);

// One formatQuantity line per result, each ending in a line feed; the failure sentence
// instead when there is none.
std::string describe(const FitResult& result);

} // namespace kestrel::analysis
