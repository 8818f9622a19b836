#include "data/sweepplan.h"

#include "data/numbertext.h"

#include <cmath>

namespace kestrel
{

namespace
{

std::optional<double> fieldNumber(const QString& text)
{
    const QByteArray bytes = text.trimmed().toUtf8();
    return parseNumber(std::string_view(bytes.constData(), std::size_t(bytes.size())));
}

// Level k of n evenly spaced levels from a to b: exact at both ends, and for decimal
// ends such as -1 and 1 each level is the double nearest the decimal value.
double linearLevel(double a, double b, int k, int n)
{
    if (k == 0 || a == b)
        return a;
    if (k == n)
        return b;
    const double level = (a * (n - k) + b * k) / n;
    return std::isfinite(level) ? level : std::lerp(a, b, double(k) / n);
}

double logLevel(double a, double b, int k, int n)
{
    if (k == 0)
        return a;
    if (k == n)
        return b;
    const double la = std::log10(std::fabs(a));
    const double lb = std::log10(std::fabs(b));
    return std::copysign(std::pow(10.0, la + (lb - la) * k / n), a);
}

} // namespace

QString shapeName(SweepShape shape)
{
    switch (shape) {
    case SweepShape::Dual:
        return QStringLiteral("dual");
    case SweepShape::Log:
        return QStringLiteral("log");
    case SweepShape::Linear:
        break;
    }
    return QStringLiteral("linear");
}

std::optional<SweepShape> shapeFromName(const QString& name)
{
    for (SweepShape shape : {SweepShape::Linear, SweepShape::Dual, SweepShape::Log})
        if (name == shapeName(shape))
            return shape;
    return std::nullopt;
}

int SweepPlan::count() const
{
    return shape == SweepShape::Dual ? 2 * steps + 1 : steps + 1;
}

double SweepPlan::levelAt(int k) const
{
    switch (shape) {
    case SweepShape::Dual:
        return linearLevel(start, stop, k <= steps ? k : 2 * steps - k, steps);
    case SweepShape::Log:
        return logLevel(start, stop, k, steps);
    case SweepShape::Linear:
        break;
    }
    return linearLevel(start, stop, k, steps);
}

std::variant<SweepPlan, QString> makeSweepPlan(const SweepFields& fields)
{
    SweepPlan plan;
    plan.shape = fields.shape;
    const auto start = fieldNumber(fields.start);
    if (!start || !std::isfinite(*start))
        return QStringLiteral("Start must be a number of volts, like -1.5 (decimal point).");
    const auto stop = fieldNumber(fields.stop);
    if (!stop || !std::isfinite(*stop))
        return QStringLiteral("Stop must be a number of volts, like 1.5 (decimal point).");
    const auto steps = fieldNumber(fields.steps);
    if (!steps || !(*steps >= 1 && *steps <= maxSweepSteps) || std::floor(*steps) != *steps)
        return QStringLiteral("Steps must be a whole number from 1 to %1.").arg(maxSweepSteps);
    if (plan.shape == SweepShape::Log &&
        (*start == 0.0 || *stop == 0.0 || std::signbit(*start) != std::signbit(*stop)))
        return QStringLiteral("A log sweep needs Start and Stop both non-zero and of the same "
                              "sign.");
    plan.start = *start;
    plan.stop = *stop;
    plan.steps = int(*steps);
    return plan;
}

std::variant<std::optional<double>, QString> parseCurrentLimit(const QString& text)
{
    if (text.trimmed().isEmpty())
        return std::optional<double>();
    const auto limit = fieldNumber(text);
    if (!limit || !(*limit > 0.0) || !std::isfinite(*limit))
        return QStringLiteral("Limit must be empty (no limit) or a positive number of amps, "
                              "like 0.001.");
    return std::optional<double>(*limit);
}

QString rateName(MeterRate rate)
{
    switch (rate) {
    case MeterRate::Fast:
        return QStringLiteral("fast");
    case MeterRate::Slow:
        return QStringLiteral("slow");
    case MeterRate::Medium:
        break;
    }
    return QStringLiteral("medium");
}

std::optional<MeterRate> rateFromName(const QString& name)
{
    for (MeterRate rate : {MeterRate::Fast, MeterRate::Medium, MeterRate::Slow})
        if (name == rateName(rate))
            return rate;
    return std::nullopt;
}

std::variant<int, QString> parseSettleMs(const QString& text)
{
    const auto ms = fieldNumber(text);
    if (!ms || !(*ms >= 0 && *ms <= maxSettleMs) || std::floor(*ms) != *ms)
        return QStringLiteral("Settle must be a whole number of milliseconds from 0 to %1.")
            .arg(maxSettleMs);
    return int(*ms);
}

} // namespace kestrel
