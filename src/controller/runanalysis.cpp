#include "controller/runanalysis.h"

#include "data/numbertext.h"

#include <limits>

namespace kestrel
{

namespace
{

QString number(double value)
{
    return QString::fromStdString(formatDouble(value));
}

QString windowEnd(const std::optional<double>& volts, const char* none)
{
    return volts ? QString(number(*volts) + QStringLiteral(" V")) : QString::fromLatin1(none);
}

} // namespace

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
    QString conditions = QStringLiteral("window %1 to %2, %3 °C")
                             .arg(windowEnd(fit.fromVolts, "the lowest level"),
                                  windowEnd(fit.toVolts, "the highest"), number(fit.temperatureC));
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
