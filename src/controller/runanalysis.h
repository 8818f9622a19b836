#pragma once

#include "data/fitvocabulary.h"
#include "data/run.h"

#include <QString>

#include <variant>

namespace kestrel
{

// The conditions of a fit as the user gives them: the window (none: that end of the
// run), the temperature in degrees Celsius and, for the diode, whether a shunt is fitted.
struct FitRequest {
    analysis::Model model = analysis::Model::Linear;
    std::optional<double> fromVolts, toVolts;
    double temperatureC = 25.0;
    bool shunt = false;
};

// The request of a command line's --model, --from, --to and --temperature values (an
// empty text: not given), or a sentence naming the option that is wrong.
std::variant<FitRequest, QString> parseFitRequest(const QString& model, const QString& from,
                                                  const QString& to, const QString& temperature,
                                                  bool shunt);

// A temperature the thermal voltage is worked out from: above absolute zero, up to
// 1000 °C.
bool isFitTemperature(double celsius);

analysis::FitOptions fitOptions(const FitRequest& request);
// What is kept with the run of a fit that gave a result, created now.
RunFit runFit(const FitRequest& request, const analysis::FitResult& result);
// The request a kept fit was made with.
FitRequest fitRequest(const RunFit& fit);

// "fit diode: Is = 1.02e-12 ± 3e-14 A; n = 1.98 ± 0.01; Rs = 2.01 ± 0.03 Ohm (0.3 V to
// 0.8 V, 25.0 °C)": a CSV header line, C locale.
QString fitLine(const RunFit& fit);
// One "name = value ± error unit" line per quantity, as analysis::describe gives them.
QString quantityLines(const RunFit& fit);

} // namespace kestrel
