#pragma once

#include "data/thermalvoltage.h"

#include <cmath>
#include <limits>

namespace kestrel::analysis
{

// The single-diode model in the photovoltaic convention (I > 0 below Voc):
//   I = Iph - I0 (exp((V + I Rs) / a) - 1) - (V + I Rs) / Rsh,   a = n Vt.
// A diode drawing current from a source is the same model with Iph = 0 and both the
// current and its derivatives negated. Rsh may be infinite (no shunt path).
struct SingleDiode {
    double iph = 0.0;
    double i0 = 1e-12;
    double a = 0.025852; // n Vt, V
    double rs = 1.0;
    double rsh = std::numeric_limits<double>::infinity();

    // The current at V, explicit through the Lambert W function.
    double current(double volts) const;
};

// W0(exp(logX)): the principal branch of the Lambert W function, without forming
// exp(logX) where it would overflow.
double lambertW0OfExp(double logX);

// dI/dθ at (V, I) on the curve, for θ = Iph, ln I0, ln n, ln Rs, ln Rsh; from the
// implicit equation, so only one exponential per point.
struct Slopes {
    double iph, logI0, logN, logRs, logRsh;
};
Slopes slopes(const SingleDiode& model, double volts, double amps);

} // namespace kestrel::analysis
