#pragma once

#include <QStringList>

namespace kestrel::bench
{

// kestrel-bench fit [--runs N] [--points N]: a diode fit over a sweep of N points
// (200,001 by default) of kestrel-sim's diode with its seeded meter noise, each run on
// a worker thread as the window runs it. Reports the median and the longest of N runs
// (7 by default), from handing the points over to having the result (target: the
// longest at most 200 ms).
int runFitBenchmark(const QStringList& args);

} // namespace kestrel::bench
