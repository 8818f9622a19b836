#include "data/fitvocabulary.h"

#include <charconv>
#include <cmath>

namespace kestrel::analysis
{
namespace
{

std::string number(double value, std::chars_format format, int precision)
{
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, format, precision);
    return ec == std::errc() ? std::string(buffer, end) : std::string("?");
}

// Values between 1e-3 and 1e6 read best in plain decimals; others in powers of ten.
bool plainDecimals(double value)
{
    return value == 0.0 || (std::abs(value) >= 1e-3 && std::abs(value) < 1e6);
}

} // namespace

const char* modelName(Model model)
{
    switch (model) {
    case Model::Linear:
        return "linear";
    case Model::Diode:
        return "diode";
    case Model::Solar:
        return "solar";
    }
    return "linear";
}

std::optional<Model> modelFromName(std::string_view name)
{
    for (Model model : {Model::Linear, Model::Diode, Model::Solar})
        if (name == modelName(model))
            return model;
    return std::nullopt;
}

std::string formatQuantity(const Quantity& quantity)
{
    std::string text = quantity.name + " = ";
    if (!quantity.determined())
        return text + "not determined by these points";
    const double value = quantity.value;
    const bool hasError = quantity.error && std::isfinite(*quantity.error) && *quantity.error > 0 &&
                          std::isfinite(value);
    if (!hasError) {
        text += number(value, std::chars_format::general, 4);
    } else {
        // The error to two significant digits, the value to the same decimal place.
        // Past twelve digits a double holds no more: an exact curve's tiny error is shown
        // as zero at that place.
        const int valueExponent0 = value == 0.0 ? 0 : int(std::floor(std::log10(std::abs(value))));
        int errorExponent =
            std::max(int(std::floor(std::log10(*quantity.error))), valueExponent0 - 10);
        double quantum = std::pow(10.0, errorExponent - 1);
        double error = std::round(*quantity.error / quantum) * quantum;
        if (error >= 100 * quantum) { // 0.0996 rounds to 0.10
            ++errorExponent;
            quantum *= 10;
        }
        const double rounded = std::round(value / quantum) * quantum;
        if (plainDecimals(rounded)) {
            const int decimals = std::max(0, 1 - errorExponent);
            text += number(rounded, std::chars_format::fixed, decimals) + " ± " +
                    number(error, std::chars_format::fixed, decimals);
        } else {
            const int valueExponent = int(std::floor(std::log10(std::abs(rounded))));
            text += number(rounded, std::chars_format::scientific,
                           std::max(0, valueExponent - errorExponent + 1)) +
                    " ± " + number(error, std::chars_format::scientific, 1);
        }
    }
    if (!quantity.unit.empty())
        text += " " + quantity.unit;
    return text;
}

std::string describe(const FitResult& result)
{
    if (!result.ok())
        return result.failure + "\n";
    std::string text;
    for (const Quantity& quantity : result.quantities)
        text += formatQuantity(quantity) + "\n";
    return text;
}

} // namespace kestrel::analysis
