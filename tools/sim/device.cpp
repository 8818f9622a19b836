#include "sim/device.h"

#include "data/numbertext.h"

#include <algorithm>
#include <cmath>

namespace kestrel::sim
{

double Diode::current(double volts) const
{
    const double nvt = p_.ideality * p_.thermalVolts;
    const double is = p_.saturationAmps;
    const double rs = p_.seriesOhms;
    const auto junctionCurrent = [&](double vd) { return is * std::expm1(vd / nvt); };

    // Solve for the junction voltage vd: g(vd) = vd + rs*I(vd) - volts rises
    // monotonically and changes sign between 0 and volts. Newton steps converge
    // fast near the root; any step leaving the bracket is replaced by bisection,
    // so the exponential can never run away.
    double lo = std::min(0.0, volts);
    double hi = std::max(0.0, volts);
    double vd = volts > 0 ? std::min(volts, nvt * std::log1p(volts / (rs * is))) : volts;
    for (int i = 0; i < 200; ++i) {
        const double g = vd + rs * junctionCurrent(vd) - volts;
        if (g == 0)
            break;
        (g > 0 ? hi : lo) = vd;
        const double slope = 1 + rs * is / nvt * std::exp(vd / nvt);
        double next = vd - g / slope;
        if (!(next > lo && next < hi))
            next = 0.5 * (lo + hi);
        if (next == vd || hi - lo <= 1e-15 * std::max(1.0, std::abs(vd)))
            break;
        vd = next;
    }
    return junctionCurrent(vd);
}

std::shared_ptr<const Device> makeDevice(const QString& text, QString* error)
{
    if (text == QLatin1String("diode"))
        return std::make_shared<Diode>();

    const QLatin1String resistorPrefix("resistor:");
    if (text.startsWith(resistorPrefix)) {
        const QByteArray ohmsText = text.mid(resistorPrefix.size()).toUtf8();
        const auto ohms = parseNumber(std::string_view(ohmsText.constData(), ohmsText.size()));
        if (ohms && std::isfinite(*ohms) && *ohms > 0)
            return std::make_shared<Resistor>(*ohms);
        *error = QStringLiteral("resistance must be a positive number of ohms: %1").arg(text);
        return nullptr;
    }
    *error = QStringLiteral("unknown device %1 (use diode or resistor:OHMS)").arg(text);
    return nullptr;
}

} // namespace kestrel::sim
