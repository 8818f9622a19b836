#pragma once

#include "data/endpoint.h"
#include "data/ivpoints.h"
#include "data/runfit.h"
#include "data/sweepplan.h"

#include <QDateTime>
#include <QString>

#include <optional>

namespace kestrel
{

struct SweepSettings {
    Endpoint source;
    Endpoint meter;
    SweepPlan plan;
    int rangeIndex = 0;
    std::optional<double> limitAmps;
    int settleMs = 0; // waited between each level's confirmation and its measurement
    MeterRate meterRate = MeterRate::Medium;
};

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
        Imported, // read from a file, not measured here
    };

    SweepSettings settings;
    QString sourceIdentity; // the *IDN? answers in force when the sweep started
    QString meterIdentity;
    QDateTime started;
    QDateTime ended; // invalid while running
    IVPointList points;
    Outcome outcome = Outcome::Running;
    QString message;
    bool outputOff = false;   // the switch-off was confirmed (or nothing was switched on)
    std::vector<RunFit> fits; // oldest first, as the store keeps them
};

// "completed", "stopped", "failed", "limit reached", "overload", "interrupted", "running",
// "imported".
QString outcomeName(Run::Outcome outcome);
std::optional<Run::Outcome> outcomeFromName(const QString& name);

} // namespace kestrel
