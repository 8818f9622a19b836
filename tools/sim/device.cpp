#include "sim/device.h"

#include "data/numbertext.h"

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <vector>

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

double SolarCell::current(double volts) const
{
    const double nvt = p_.ideality * p_.thermalVolts;
    // Solve for the junction voltage vj = V + Ipv*Rs, where
    //   h(vj) = Iph - I0*(exp(vj/nVt) - 1) - vj/Rsh - (vj - V)/Rs
    // falls monotonically. The bracket widens until h changes sign; then Newton steps,
    // with bisection for any step that leaves it, as for the diode.
    const auto h = [&](double vj) {
        return p_.photoAmps - p_.saturationAmps * std::expm1(vj / nvt) - vj / p_.shuntOhms -
               (vj - volts) / p_.seriesOhms;
    };
    double lo = std::min(volts, 0.0) - 1.0;
    double hi = std::max(volts, 0.0) + 1.0;
    while (h(lo) < 0)
        lo = 2 * lo - 1.0;
    while (h(hi) > 0)
        hi = 2 * hi + 1.0;
    double vj = std::clamp(volts + p_.photoAmps * p_.seriesOhms, lo, hi);
    for (int i = 0; i < 200; ++i) {
        const double value = h(vj);
        if (value == 0)
            break;
        (value > 0 ? lo : hi) = vj;
        const double slope =
            -p_.saturationAmps / nvt * std::exp(vj / nvt) - 1 / p_.shuntOhms - 1 / p_.seriesOhms;
        double next = vj - value / slope;
        if (!(next > lo && next < hi))
            next = 0.5 * (lo + hi);
        if (next == vj || hi - lo <= 1e-15 * std::max(1.0, std::abs(vj)))
            break;
        vj = next;
    }
    return -(vj - volts) / p_.seriesOhms;
}

double Mosfet::gatedCurrent(double volts, double gateVolts) const
{
    if (volts < 0)
        return -channelCurrent(gateVolts - volts, -volts);
    return channelCurrent(gateVolts, volts);
}

double Mosfet::channelCurrent(double gateVolts, double drainVolts) const
{
    const double overdrive = gateVolts - p_.thresholdVolts;
    if (overdrive <= 0)
        return 0.0;
    const double modulation = 1 + p_.lambdaPerVolt * drainVolts;
    if (drainVolts < overdrive)
        return p_.kAmpsPerVoltSquared * (overdrive * drainVolts - drainVolts * drainVolts / 2) *
               modulation;
    return p_.kAmpsPerVoltSquared / 2 * overdrive * overdrive * modulation;
}

namespace
{

// "A,B,C" -> the three finite numbers, or an empty list.
std::vector<double> parseThreeNumbers(const QString& values)
{
    const QStringList fields = values.split(QLatin1Char(','));
    std::vector<double> numbers;
    for (const QString& field : fields) {
        const QByteArray text = field.toUtf8();
        const auto number = parseNumber(std::string_view(text.constData(), text.size()));
        if (!number || !std::isfinite(*number))
            return {};
        numbers.push_back(*number);
    }
    if (numbers.size() != 3)
        return {};
    return numbers;
}

// "IPH,RS,RSH" -> the default cell with those three values.
std::shared_ptr<const Device> makeSolarCell(const QString& values, double celsius, QString* error)
{
    const std::vector<double> numbers = parseThreeNumbers(values);
    if (numbers.empty() || numbers[0] < 0 || numbers[1] <= 0 || numbers[2] <= 0) {
        *error = QStringLiteral("a solar cell is solar:IPH,RS,RSH with IPH at least 0 A and "
                                "RS, RSH above 0 Ohm: solar:%1")
                     .arg(values);
        return nullptr;
    }
    SolarCellParameters parameters;
    parameters.photoAmps = numbers[0];
    parameters.seriesOhms = numbers[1];
    parameters.shuntOhms = numbers[2];
    parameters.thermalVolts = thermalVoltsAtCelsius(celsius);
    return std::make_shared<SolarCell>(parameters);
}

// "VTH,K,LAMBDA" -> a MOSFET with those values.
std::shared_ptr<const Device> makeMosfet(const QString& values, QString* error)
{
    const std::vector<double> numbers = parseThreeNumbers(values);
    if (numbers.empty() || numbers[1] <= 0 || numbers[2] < 0) {
        *error = QStringLiteral("a MOSFET is mosfet:VTH,K,LAMBDA with VTH in V, K above 0 A/V^2 "
                                "and LAMBDA at least 0 1/V: mosfet:%1")
                     .arg(values);
        return nullptr;
    }
    return std::make_shared<Mosfet>(MosfetParameters{numbers[0], numbers[1], numbers[2]});
}

} // namespace

std::shared_ptr<const Device> makeDevice(const QString& text, QString* error, double celsius)
{
    if (text == QLatin1String("diode")) {
        DiodeParameters parameters;
        parameters.thermalVolts = thermalVoltsAtCelsius(celsius);
        return std::make_shared<Diode>(parameters);
    }
    if (text == QLatin1String("solar")) {
        SolarCellParameters parameters;
        parameters.thermalVolts = thermalVoltsAtCelsius(celsius);
        return std::make_shared<SolarCell>(parameters);
    }
    const QLatin1String solarPrefix("solar:");
    if (text.startsWith(solarPrefix))
        return makeSolarCell(text.mid(solarPrefix.size()), celsius, error);

    if (text == QLatin1String("mosfet"))
        return std::make_shared<Mosfet>();
    const QLatin1String mosfetPrefix("mosfet:");
    if (text.startsWith(mosfetPrefix))
        return makeMosfet(text.mid(mosfetPrefix.size()), error);

    const QLatin1String resistorPrefix("resistor:");
    if (text.startsWith(resistorPrefix)) {
        const QByteArray ohmsText = text.mid(resistorPrefix.size()).toUtf8();
        const auto ohms = parseNumber(std::string_view(ohmsText.constData(), ohmsText.size()));
        if (ohms && std::isfinite(*ohms) && *ohms > 0)
            return std::make_shared<Resistor>(*ohms);
        *error = QStringLiteral("resistance must be a positive number of ohms: %1").arg(text);
        return nullptr;
    }
    *error = QStringLiteral("unknown device %1 (use diode, resistor:OHMS, solar, solar:IPH,RS,RSH, "
                            "mosfet or mosfet:VTH,K,LAMBDA)")
                 .arg(text);
    return nullptr;
}

} // namespace kestrel::sim
