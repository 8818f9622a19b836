#include "analysis/singlediode.h"

#include <gsl/gsl_sf_lambert.h>

namespace kestrel::analysis
{

double lambertW0OfExp(double logX)
{
    if (logX < 2.0)
        return gsl_sf_lambert_W0(std::exp(logX));
    // Above e^2, solve w + ln w = logX directly: no exp(logX) to overflow, and from the
    // asymptotic start Fritsch's iteration (error to the fourth power each step) needs
    // two or three logarithms where the general routine spends several exponentials.
    // Most points of a forward diode curve lie here.
    const double logLog = std::log(logX);
    double w = logX - logLog + logLog / logX;
    for (int i = 0; i < 4; ++i) {
        const double z = logX - w - std::log(w);
        const double q = 2.0 * (1.0 + w) * (1.0 + w + 2.0 * z / 3.0);
        const double e = z / (1.0 + w) * (q - z) / (q - 2.0 * z);
        w *= 1.0 + e;
        if (std::abs(e) < 1e-15)
            break;
    }
    return w;
}

double SingleDiode::current(double volts) const
{
    // With c = Rsh / (Rs + Rsh):
    //   I = c (Iph + I0) - V / (Rs + Rsh) - a/Rs W(c Rs I0 / a exp(c (Rs (Iph + I0) + V) / a))
    const bool shunt = std::isfinite(rsh);
    const double c = shunt ? rsh / (rs + rsh) : 1.0;
    const double leak = shunt ? volts / (rs + rsh) : 0.0;
    const double logArgument = std::log(c * rs * i0 / a) + c * (rs * (iph + i0) + volts) / a;
    return c * (iph + i0) - leak - a / rs * lambertW0OfExp(logArgument);
}

Slopes slopes(const SingleDiode& m, double volts, double amps)
{
    // F(I, θ) = Iph - I0 (e^u - 1) - (V + I Rs)/Rsh - I = 0 with u = (V + I Rs)/a, so
    // dI/dθ = (∂F/∂θ) / (1 + Rs g), g = I0 e^u / a + 1/Rsh the junction's conductance.
    const double junctionVolts = volts + amps * m.rs;
    const double u = junctionVolts / m.a;
    const double diodeAmps = std::exp(std::log(m.i0) + u); // I0 e^u, without overflow
    const double g = diodeAmps / m.a + 1.0 / m.rsh;
    const double scale = 1.0 / (1.0 + m.rs * g);
    return Slopes{
        scale,
        -(diodeAmps - m.i0) * scale,
        diodeAmps * u * scale,
        -amps * m.rs * g * scale,
        junctionVolts / m.rsh * scale,
    };
}

} // namespace kestrel::analysis
