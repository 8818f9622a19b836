#pragma once

#include <QString>

namespace kestrel
{
class LabStore;
}

namespace kestrel::bench
{

// kestrel-sweep's pace and end against kestrel-sim in four settings that differ only in
// lab/uri (each sweep in temporary XDG_CONFIG_HOME and XDG_DATA_HOME): none, the
// reachable store, a port of 127.0.0.1 that refuses, and a listener there that takes
// the connection and never answers; the reachable store is asked for each run after. Rounds of the
// four, one after another, so that the machine's load falls on all alike. Prints each sweep and a
// summary; returns 0 when every target is met, 3 when one is missed, 1 when a sweep could not be
// made or its setting did not do what it stands for.
int runLabSweeps(LabStore& reachable, const QString& reachableName, int points, int rounds);

} // namespace kestrel::bench
