#include "controller/runanalysis.h"

#include "data/numbertext.h"

#include <cmath>
#include <limits>
#include <tuple>

namespace kestrel
{

namespace
{

QString shortNumber(double value)
{
    return QString::fromStdString(formatDouble(value));
}

QString windowText(const RunFit& fit)
{
    const auto volts = [](double v) -> QString { return shortNumber(v) + QStringLiteral(" V"); };
    if (fit.fromVolts && fit.toVolts)
        return volts(*fit.fromVolts) + QStringLiteral(" to ") + volts(*fit.toVolts);
    if (fit.fromVolts)
        return QStringLiteral("from ") + volts(*fit.fromVolts);
    if (fit.toVolts)
        return QStringLiteral("up to ") + volts(*fit.toVolts);
    return QStringLiteral("whole run");
}

} // namespace

std::variant<FitRequest, QString> parseFitRequest(const QString& model, const QString& from,
                                                  const QString& to, const QString& temperature,
                                                  bool shunt)
{
    FitRequest request;
    const auto chosen = analysis::modelFromName(model.toStdString());
    if (!chosen)
        return QStringLiteral("--model must be linear, diode or solar, not '%1'").arg(model);
    request.model = *chosen;
    if (shunt && request.model != analysis::Model::Diode)
        return QStringLiteral("--shunt belongs to the diode model only");
    request.shunt = shunt;
    for (const auto& [name, text, end] : {std::tuple{"--from", from, &request.fromVolts},
                                          std::tuple{"--to", to, &request.toVolts}}) {
        if (text.isEmpty())
            continue;
        const auto volts = parseNumber(text.toStdString());
        if (!volts || !std::isfinite(*volts))
            return QStringLiteral("%1 must be a voltage such as 0.35, not '%2'")
                .arg(QLatin1String(name), text);
        *end = *volts;
    }
    if (request.fromVolts && request.toVolts && *request.fromVolts >= *request.toVolts)
        return QStringLiteral("--from must be below --to");
    if (!temperature.isEmpty()) {
        const auto celsius = parseNumber(temperature.toStdString());
        if (!celsius || !isFitTemperature(*celsius))
            return QStringLiteral("--temperature must be in degrees Celsius, above -273.15 and "
                                  "up to 1000, not '%1'")
                .arg(temperature);
        request.temperatureC = *celsius;
    }
    return request;
}

bool isFitTemperature(double celsius)
{
    return celsius > -273.15 && celsius <= 1000.0;
}

analysis::FitOptions fitOptions(const FitRequest& request)
{
    analysis::FitOptions options;
    options.model = request.model;
    options.window.from = request.fromVolts.value_or(-std::numeric_limits<double>::infinity());
    options.window.to = request.toVolts.value_or(std::numeric_limits<double>::infinity());
    options.temperatureK = request.temperatureC + 273.15;
    options.shunt = request.shunt && request.model == analysis::Model::Diode;
    return options;
}

RunFit runFit(const FitRequest& request, const analysis::FitResult& result)
{
    RunFit fit;
    fit.model = request.model;
    fit.fromVolts = request.fromVolts;
    fit.toVolts = request.toVolts;
    fit.temperatureC = request.temperatureC;
    fit.shunt = request.shunt && request.model == analysis::Model::Diode;
    fit.quantities = result.quantities;
    fit.created = QDateTime::currentDateTime();
    return fit;
}

FitRequest fitRequest(const RunFit& fit)
{
    return FitRequest{fit.model, fit.fromVolts, fit.toVolts, fit.temperatureC, fit.shunt};
}

QString fitLine(const RunFit& fit)
{
    QStringList parts;
    for (const analysis::Quantity& quantity : fit.quantities)
        parts << QString::fromStdString(analysis::formatQuantity(quantity));
    QString conditions =
        QStringLiteral("%1, %2 °C").arg(windowText(fit), shortNumber(fit.temperatureC));
    if (fit.shunt)
        conditions += QStringLiteral(", shunt fitted");
    return QStringLiteral("fit %1: %2 (%3)")
        .arg(QLatin1String(analysis::modelName(fit.model)), parts.join(QStringLiteral("; ")),
             conditions);
}

QString quantityLines(const RunFit& fit)
{
    analysis::FitResult result;
    result.model = fit.model;
    result.quantities = fit.quantities;
    return QString::fromStdString(analysis::describe(result));
}

} // namespace kestrel
