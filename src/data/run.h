#pragma once

#include "data/endpoint.h"
#include "data/profilecatalog.h"
#include "data/ivpoints.h"
#include "data/runfit.h"
#include "data/sweepplan.h"

#include <QDateTime>
#include <QFlags>
#include <QString>

#include <optional>

namespace kestrel
{

// The curve of a family that a run is: the step source held at one level while the main
// sweep ran, one curve per step level.
struct FamilyStep {
    QString family;     // the family's id, the same in each of its curves
    int index = 0;      // 0 for the first curve
    int count = 1;      // the curves planned
    double level = 0.0; // volts
    Endpoint source;
    QString identity;
    QString profile = defaultProfileName;
    std::optional<double> complianceAmps; // none: the step profile's default limit
};

struct SweepSettings {
    Endpoint source;
    Endpoint meter;
    SweepPlan plan;
    int rangeIndex = 0;
    std::optional<double> limitAmps;
    int settleMs = 0; // waited between each level's confirmation and its measurement
    MeterRate meterRate = MeterRate::Medium;
    // The instruments' profiles by name, kept with the run.
    QString sourceProfile = defaultProfileName;
    QString meterProfile = defaultProfileName;
    // The profiles a sweep sends by; null for the default profile, or in a run read back.
    ProfilePtr sourceCommands;
    ProfilePtr meterCommands;
    std::optional<double> complianceAmps; // none: the source profile's default limit
    bool continueAtCompliance = false;    // a point at the limit does not end the sweep
    std::optional<double> nplc;           // the meter's integration, where it has one
    int readings = 1; // readings per point: their mean is the point, their spread kept with it
    std::optional<FamilyStep> step; // none: a curve of its own
};

// The parts of a run's description that its record can lack. A sweep measured here
// records them all; a run read from a file knows only what the file said. The values
// are kept in the run store: never renumber them.
enum class RunDetail : unsigned {
    Source = 0x1,
    SourceIdentity = 0x2,
    Meter = 0x4,
    MeterIdentity = 0x8,
    Start = 0x10,
    Stop = 0x20,
    Steps = 0x40,
    Shape = 0x80,
    Range = 0x100,
    Limit = 0x200,
    Settle = 0x400,
    Rate = 0x800,
};
Q_DECLARE_FLAGS(RunDetails, RunDetail)
Q_DECLARE_OPERATORS_FOR_FLAGS(RunDetails)
inline constexpr RunDetails everyRunDetail = RunDetails::fromInt(0xfff);

// What a description shows in place of a detail its record lacks.
QString notRecordedText(); // "not recorded"

// One sweep as it happened: what was asked, of which instruments, when, what was
// measured and how it ended. Saving, exporting and the chart read a run, so points
// never end up under another sweep's description.
struct Run {
    enum class Outcome {
        Running,
        Completed,
        Stopped,
        Failed,
        LimitReached,
        Overload,
        Interrupted,
        Imported,   // read from a file, not measured here
        Compliance, // the source reached its current limit
    };

    SweepSettings settings;
    QString sourceIdentity; // the *IDN? answers in force when the sweep started
    QString meterIdentity;
    QDateTime started;
    QDateTime ended; // invalid while running
    IVPointList points;
    // For each point, whether the source was at its current limit (1) or not (0); empty
    // when the source could not tell.
    std::vector<std::uint8_t> inCompliance;
    // For each point of several readings, their sample standard deviation in amps; empty
    // for points of one reading.
    std::vector<double> currentSd;
    // When each point was read, in milliseconds since the sweep started: a hold's time
    // axis. Empty where the record has no times (a file of points alone).
    std::vector<qint64> pointMs;
    Outcome outcome = Outcome::Running;
    QString message;
    bool outputOff = false;   // the switch-off was confirmed (or nothing was switched on)
    std::vector<RunFit> fits; // oldest first, as the store keeps them
    // What the record lacks: those settings hold their defaults, which nobody chose, so
    // they are shown as not recorded and never as values.
    RunDetails notRecorded;

    bool recorded(RunDetail detail) const { return !notRecorded.testFlag(detail); }
};

// What the chart draws of a run: current over voltage, or a hold's current over its
// time in seconds where the run has its times.
ChartPointList chartPointsOfRun(const Run& run);

// "completed", "stopped", "failed", "limit reached", "overload", "interrupted", "running",
// "imported", "compliance".
QString outcomeName(Run::Outcome outcome);
std::optional<Run::Outcome> outcomeFromName(const QString& name);

} // namespace kestrel
