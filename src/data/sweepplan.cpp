#include "data/sweepplan.h"

#include "data/levellist.h"
#include "data/numbertext.h"
#include "data/sitext.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <optional>
#include <system_error>
#include <utility>

namespace kestrel
{

namespace
{

std::optional<double> fieldNumber(const QString& text)
{
    const QByteArray bytes = text.trimmed().toUtf8();
    return parseNumber(std::string_view(bytes.constData(), std::size_t(bytes.size())));
}

// A double's shortest round-trip text as whole digits and a power of ten:
// 0.0035 is 35 x 10^-4, 5000.0 is 5 x 10^3. At most 17 digits, so they fit.
struct Decimal {
    std::int64_t digits = 0;
    int exponent = 0;
};

Decimal shortestDecimal(double x)
{
    char text[32]; // "-1.2345678901234567e-308"
    const auto end = std::to_chars(text, text + sizeof text, x, std::chars_format::scientific).ptr;
    Decimal d;
    const char* p = text + (text[0] == '-' ? 1 : 0);
    int fractionDigits = 0;
    bool afterPoint = false;
    for (; *p != 'e'; ++p) {
        if (*p == '.') {
            afterPoint = true;
            continue;
        }
        d.digits = d.digits * 10 + (*p - '0');
        fractionDigits += afterPoint ? 1 : 0;
    }
    ++p;
    if (*p == '+')
        ++p;
    std::from_chars(p, end, d.exponent);
    d.exponent -= fractionDigits;
    if (text[0] == '-')
        d.digits = -d.digits;
    return d;
}

// value x 10^power, false when that leaves 64 bits.
bool timesPowerOfTen(std::int64_t& value, int power)
{
    for (int i = 0; i < power && value != 0; ++i)
        if (__builtin_mul_overflow(value, 10, &value))
            return false;
    return true;
}

// Level k of n evenly spaced levels from a to b when both ends and the step are short
// decimals: the double nearest the decimal a + k x step (for -0.1 to 0.6 in 200 steps,
// level 28 is -0.002, not -0.001999999999999993). The arithmetic is exact, in whole
// multiples of the step's last digit; nullopt when the ends and step are no such grid
// (0 to 0.1 in 3 steps) or its numbers outgrow 64 bits.
std::optional<double> decimalLevel(double a, double b, int k, int n)
{
    if (!std::isfinite(a) || !std::isfinite(b)) // no digits to read
        return std::nullopt;
    const Decimal da = shortestDecimal(a);
    const Decimal db = shortestDecimal(b);
    const int scale = std::min(da.exponent, db.exponent);
    std::int64_t first = da.digits, last = db.digits, span = 0;
    if (!timesPowerOfTen(first, da.exponent - scale) ||
        !timesPowerOfTen(last, db.exponent - scale) || __builtin_sub_overflow(last, first, &span) ||
        span == std::numeric_limits<std::int64_t>::min())
        return std::nullopt;
    // The step span / n is a finite decimal when n / gcd(span, n) has no prime factor
    // but 2 and 5; it then needs one more digit for the larger of the two powers.
    const std::int64_t divisor = n / std::gcd(span, std::int64_t(n));
    std::int64_t rest = divisor;
    int twos = 0, fives = 0;
    for (; rest % 2 == 0; rest /= 2)
        ++twos;
    for (; rest % 5 == 0; rest /= 5)
        ++fives;
    if (rest != 1)
        return std::nullopt;
    const int extraDigits = std::max(twos, fives);
    std::int64_t unit = 1, step = span / (n / divisor), level = 0, offset = 0;
    if (!timesPowerOfTen(unit, extraDigits) || !timesPowerOfTen(first, extraDigits) ||
        __builtin_mul_overflow(step, unit / divisor, &step) ||
        __builtin_mul_overflow(step, std::int64_t(k), &offset) ||
        __builtin_add_overflow(first, offset, &level))
        return std::nullopt;

    char text[48];
    char* end = std::to_chars(text, text + sizeof text, level).ptr;
    *end++ = 'e';
    end = std::to_chars(end, text + sizeof text, scale - extraDigits).ptr;
    double value = 0;
    if (std::from_chars(text, end, value).ec != std::errc())
        return std::nullopt; // a level that underflows: the formula handles it
    return value;
}

// Level k of n evenly spaced levels from a to b, exact at both ends.
double linearLevel(double a, double b, int k, int n)
{
    if (k == 0 || a == b)
        return a;
    if (k == n)
        return b;
    if (const auto level = decimalLevel(a, b, k, n))
        return *level;
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
    case SweepShape::List:
        return QStringLiteral("list");
    case SweepShape::Hold:
        return QStringLiteral("hold");
    case SweepShape::Linear:
        break;
    }
    return QStringLiteral("linear");
}

std::optional<SweepShape> shapeFromName(const QString& name)
{
    for (SweepShape shape : {SweepShape::Linear, SweepShape::Dual, SweepShape::Log,
                             SweepShape::List, SweepShape::Hold})
        if (name == shapeName(shape))
            return shape;
    return std::nullopt;
}

void SweepPlan::fitHold(int tickMs)
{
    const qint64 ms = std::llround(holdSeconds * 1000);
    const qint64 ticks = untilStop() ? maxSweepSteps : ms / std::max(1, tickMs);
    steps = int(std::clamp<qint64>(ticks, 0, maxSweepSteps));
}

int SweepPlan::cycleCount() const
{
    if (shape == SweepShape::List && levels)
        return int(levels->size());
    return shape == SweepShape::Dual ? 2 * steps + 1 : steps + 1;
}

double SweepPlan::levelAt(int k) const
{
    k %= cycleCount();
    switch (shape) {
    case SweepShape::Dual:
        return linearLevel(start, stop, k <= steps ? k : 2 * steps - k, steps);
    case SweepShape::Log:
        return logLevel(start, stop, k, steps);
    case SweepShape::Hold:
        return start;
    case SweepShape::List:
        if (levels)
            return (*levels)[std::size_t(k)];
        break; // a list whose levels were not kept: its span, evenly
    case SweepShape::Linear:
        break;
    }
    return linearLevel(start, stop, k, steps);
}

SweepPlan makeListPlan(std::vector<double> levels)
{
    SweepPlan plan;
    plan.shape = SweepShape::List;
    plan.start = levels.front();
    plan.stop = levels.back();
    plan.steps = std::max(1, int(levels.size()) - 1);
    plan.levels = std::make_shared<const std::vector<double>>(std::move(levels));
    return plan;
}

std::optional<int> wholeNumberIn(std::optional<double> value, int lowest, int highest)
{
    if (!value || !(*value >= lowest && *value <= highest) || std::floor(*value) != *value)
        return std::nullopt;
    return int(*value);
}

std::variant<SweepPlan, QString> withCycles(SweepPlan plan, const QString& cycles)
{
    const auto number =
        wholeNumberIn(cycles.trimmed().isEmpty() ? 1.0 : fieldNumber(cycles), 1, maxCycles);
    if (!number)
        return QStringLiteral("Cycles must be a whole number from 1 to %1.")
            .arg(countText(maxCycles));
    if (qint64(plan.cycleCount()) * qint64(*number) > maxSweepPoints)
        return QStringLiteral("Cycles: %1 cycles of %2 points are more than the %3 points one "
                              "sweep takes.")
            .arg(countText(*number), countText(plan.cycleCount()), countText(maxSweepPoints));
    plan.cycles = *number;
    return plan;
}

std::variant<SweepPlan, QString> makeHoldPlan(const QString& level, const QString& duration)
{
    const auto volts = fieldNumber(level);
    if (!volts || !std::isfinite(*volts))
        return QStringLiteral("Level must be a number of volts, like 0.5 (decimal point).");
    const bool untilStop = duration.trimmed().isEmpty();
    const auto seconds = untilStop ? 0.0 : fieldNumber(duration);
    if (!untilStop && (!seconds || !(*seconds >= 0.001 && *seconds <= maxHoldSeconds)))
        return QStringLiteral("Duration must be empty (until Stop) or a number of seconds from "
                              "0.001 to %1, like 300.")
            .arg(countText(qint64(maxHoldSeconds)));
    SweepPlan plan;
    plan.shape = SweepShape::Hold;
    plan.start = plan.stop = *volts;
    plan.holdSeconds = *seconds;
    plan.fitHold(100);
    return plan;
}

std::variant<SweepPlan, QString> makeSweepPlan(const SweepFields& fields)
{
    SweepPlan plan;
    plan.shape = fields.shape;
    if (plan.shape == SweepShape::Hold) // one level: Cycles have nothing to repeat
        return makeHoldPlan(fields.holdLevel, fields.duration);
    const auto cycled = [&fields](SweepPlan made) { return withCycles(std::move(made), fields.cycles); };
    if (plan.shape == SweepShape::List) {
        auto levels = parseLevelsField(fields.levels);
        if (const QString* problem = std::get_if<QString>(&levels))
            return QStringLiteral("Levels: ") + *problem;
        return cycled(makeListPlan(std::get<std::vector<double>>(std::move(levels))));
    }
    const auto start = fieldNumber(fields.start);
    if (!start || !std::isfinite(*start))
        return QStringLiteral("Start must be a number of volts, like -1.5 (decimal point).");
    const auto stop = fieldNumber(fields.stop);
    if (!stop || !std::isfinite(*stop))
        return QStringLiteral("Stop must be a number of volts, like 1.5 (decimal point).");
    const auto steps = wholeNumberIn(fieldNumber(fields.steps), 1, maxSweepSteps);
    if (!steps)
        return QStringLiteral("Steps must be a whole number from 1 to %1.")
            .arg(countText(maxSweepSteps));
    if (plan.shape == SweepShape::Log &&
        (*start == 0.0 || *stop == 0.0 || std::signbit(*start) != std::signbit(*stop)))
        return QStringLiteral("A log sweep needs Start and Stop both non-zero and of the same "
                              "sign.");
    plan.start = *start;
    plan.stop = *stop;
    plan.steps = *steps;
    return cycled(plan);
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
    const auto ms = wholeNumberIn(fieldNumber(text), 0, maxSettleMs);
    if (!ms)
        return QStringLiteral("Settle must be a whole number of milliseconds from 0 to %1.")
            .arg(maxSettleMs);
    return *ms;
}

std::variant<int, QString> parseReadings(const QString& text)
{
    const auto readings =
        wholeNumberIn(text.trimmed().isEmpty() ? 1.0 : fieldNumber(text), 1, maxReadings);
    if (!readings)
        return QStringLiteral("Readings must be a whole number from 1 to %1.").arg(maxReadings);
    return *readings;
}

} // namespace kestrel
