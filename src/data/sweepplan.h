#pragma once

#include <QString>

#include <memory>
#include <optional>
#include <variant>
#include <vector>

namespace kestrel
{

enum class SweepShape { Linear, Dual, Log, List, Hold };

QString shapeName(SweepShape shape); // "linear", "dual", "log", "list", "hold"
std::optional<SweepShape> shapeFromName(const QString& name);

// The levels of one sweep. Level k is computed from the ends and k alone, never
// by repeated addition, so the first level is exactly the start and the last
// exactly the stop, rising or falling. When the ends and the step of a linear or
// dual sweep are short decimals, each level is the double nearest its decimal
// value, so it is sent and saved as that short text ("-0.002").
// A list sweep takes its levels in the list's order; its start and stop are the
// list's first and last level and its steps one fewer than its levels.
// A hold is one level (start and stop) read every tick for a time: its steps are the
// ticks after its first point, which fitHold() counts from the tick.
struct SweepPlan {
    double start = 0.0;
    double stop = 0.0;
    int steps = 1;
    SweepShape shape = SweepShape::Linear;
    // A list sweep's levels, shared by the copies a run's settings make.
    std::shared_ptr<const std::vector<double>> levels = nullptr;
    // The levels are swept this many times over, one whole sweep after another; each
    // cycle starts at the first level again (a dual sweep's loop is closed each time).
    int cycles = 1;
    // How long a hold reads, in seconds; 0: until Stop.
    double holdSeconds = 0.0;

    bool untilStop() const { return shape == SweepShape::Hold && holdSeconds == 0.0; }
    // A hold's points at one every tickMs: its first at once, then one a tick over its
    // time, or as many as a run takes when it holds until Stop.
    void fitHold(int tickMs);
    int cycleCount() const;      // the points of one cycle: N + 1, 2N + 1, a list's size
    int count() const { return cycleCount() * cycles; }
    double levelAt(int k) const; // 0 <= k < count()
    int cycleOf(int k) const { return k / cycleCount() + 1; } // 1 for the first
    double interval() const { return (stop - start) / steps; }
};

// A list sweep of these levels (at least one).
SweepPlan makeListPlan(std::vector<double> levels);

inline constexpr int maxSweepSteps = 1000000;
inline constexpr int maxCycles = 1000;
inline constexpr int maxReadings = 100; // per point
// The most points one sweep takes, cycles and all: a dual sweep of the most steps.
inline constexpr int maxSweepPoints = 2 * maxSweepSteps + 1;
// The longest hold: a million ticks of 0.1 s; a hold takes at most maxSweepSteps + 1 points.
inline constexpr double maxHoldSeconds = 100000;

// Sweep fields as the user typed them. Numbers use a decimal point whatever the
// locale; surrounding blanks are ignored.
struct SweepFields {
    QString start;
    QString stop;
    QString steps;
    SweepShape shape = SweepShape::Linear;
    QString levels{}; // a list sweep's: typed, or a file's path
    QString cycles{}; // empty: one
    QString holdLevel{}; // a hold's level
    QString duration{};  // a hold's seconds; empty: until Stop
};

// The plan swept that many times ("3"; empty: once), or what is wrong with the number.
std::variant<SweepPlan, QString> withCycles(SweepPlan plan, const QString& cycles);

// A hold of that level for that many seconds (empty: until Stop), its points fitted to
// the shortest tick, or what is wrong with either.
std::variant<SweepPlan, QString> makeHoldPlan(const QString& level, const QString& duration);

// A plan, or a message naming the field that is wrong.
std::variant<SweepPlan, QString> makeSweepPlan(const SweepFields& fields);

// How long the meter integrates a reading: fast is noisiest, slow the quietest.
enum class MeterRate { Fast, Medium, Slow };

QString rateName(MeterRate rate); // "fast", "medium", "slow"

// The range index that stands for the meter's auto-range.
inline constexpr int autoRangeIndex = -1;
std::optional<MeterRate> rateFromName(const QString& name);

// The wait between a level's confirmation and its measurement, so the device under
// test settles: a whole number of milliseconds from 0 (no wait) to maxSettleMs.
inline constexpr int maxSettleMs = 60000;
std::variant<int, QString> parseSettleMs(const QString& text);

// An optional current limit in amps: empty text means none; otherwise a positive number.
std::variant<std::optional<double>, QString> parseCurrentLimit(const QString& text);

// The value when it is a whole number from lowest to highest; nullopt otherwise.
std::optional<int> wholeNumberIn(std::optional<double> value, int lowest, int highest);

// Readings per point as typed: a whole number from 1 to maxReadings, or a message.
std::variant<int, QString> parseReadings(const QString& text);

} // namespace kestrel
