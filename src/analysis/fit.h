#pragma once

#include "data/ivpoints.h"

#include <cmath>
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

// Pure and thread-safe: runs on any thread, no Qt. Overload marks and non-finite
// readings are left out; the order of the points does not matter.
// A result holds only numbers the points determine. A fit fails, with a sentence, when
// its model does not explain the points or a main quantity is not determined: not
// finite, or its error at least its value. A secondary quantity that is not determined
// is kept as such (Quantity::determined):
//   Linear: R is main; the slope must stand out of its error (|slope| >= 2 errors).
//   Diode:  Is and n are main, Rs and Rsh secondary; the model must explain at least
//           half the weighted variance of the currents it is fitted to.
//   Solar:  Iph, I0 and n are main, Rs and Rsh secondary; the same test of the model.
//   Linear: R, offset, r2 by least squares over the window.
//   Diode:  Is, n, Rs (and Rsh with shunt) of I = Is (exp((V - I Rs)/(n Vt)) - 1)
//           [+ (V - I Rs)/Rsh], over the forward points above the noise floor.
//   Solar:  Isc, Voc, Pmax, Vmp, Imp, FF from the points (crossings interpolated), then
//           Iph, I0, n, Rs, Rsh of the single-diode model over the whole window. Either
//           sign convention; the quantities are in the photovoltaic one (Isc > 0), the
//           curve in the run's own.
FitResult fit(const IVPointList& points, const FitOptions& options);

// "Rs = 0.03655 ± 0.00049 Ohm", "n = 1.477 ± 0.011", "FF = 0.7119": the error to two
// significant digits and the value to the same place; C locale, whatever the user's
// locale. Outside 1e-3 .. 1e6 in powers of ten: "I0 = 3.11e-07 ± 3.3e-08 A". What the
// points do not determine: "Rsh = not determined by these points".
std::string formatQuantity(const Quantity& quantity);

// One formatQuantity line per result, each ending in a line feed; the failure sentence
// instead when there is none.
std::string describe(const FitResult& result);

} // namespace kestrel::analysis
