#pragma once

#include "data/run.h"

#include <QString>

#include <limits>
#include <optional>

// The store's runs as plain values, for whatever lists or shows them without opening
// the store itself.
namespace kestrel
{

// The lowest and the highest source level among a run's points.
struct LevelSpan {
    double lowestVolts = 0;
    double highestVolts = 0;
    bool operator==(const LevelSpan&) const = default;
};

// A run as the store keeps it.
struct StoredRun {
    qint64 id = 0;
    QString program; // what measured it: "Kestrel 0.1.0", "kestrel-sweep 0.1.0"
    Run run;         // its points only when loaded one by one
    int pointCount = 0;
    std::optional<LevelSpan> levels; // none without points
    QString guard;                   // what the guard did after the program ended during the sweep
    // A family's curve: what the step source's guard did, and whether it switched the step
    // source off (none: it had nothing to do).
    QString stepGuard;
    std::optional<bool> stepOutputOff;
    QString note;                    // the user's own words on the run; empty unless given
    // Its end could not be written when it ended: outcome and output are those its
    // program left word of beside the store.
    bool endNotRecorded = false;
    QString uuid;     // the run's name in every store, the lab's included
    QString bench;    // the bench that measured it; empty for runs kept before benches were named
    int revision = 0; // counts the changes of its row and fits
    int publishedRevision = 0; // the revision the lab store holds; 0: none
};

// Which runs a listing holds: ids between after and before (both left out), the newest
// first, at most limit of them.
struct RunRange {
    qint64 before = std::numeric_limits<qint64>::max();
    qint64 after = 0;
    int limit = -1; // no limit
};

} // namespace kestrel
