#pragma once

#include <QStringList>

namespace kestrel::bench
{

// kestrel-bench sweep [--steps N]: one linear sweep of N steps (N + 1 points, 200
// by default) at the normal 0.1 s tick through the whole chain (SweepEngine ->
// WorkQueue -> zsh -> sendArbcmd.sh -> kestrel-scpi -> kestrel-sim without
// latency). Reports the wall time from start() to finished() against the ideal
// (N + 1) x 0.1 s, the commands per tick (the level, its confirmation through the
// source's error queue, the reading) and the chain's share of a tick. With --tick-ms
// T, a sweep at a T ms tick with the instruments in this process instead: see
// runLongSweep.
int runSweepBenchmark(const QStringList& args);

} // namespace kestrel::bench
