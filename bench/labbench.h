#pragma once

#include <QStringList>

namespace kestrel::bench
{

// kestrel-bench lab [--points N] [--runs N] [--sweep-points N] [--rounds N]: publishing
// to the lab store set with kestrel-runs lab set (a bench role; the runs it publishes
// stay there), or without one to a PostgreSQL server the bench starts: one run of N
// points (100,000 by default; target at most 2 s) and N runs of 100 points (10,000 by
// default), then the lab's listing (target at most 200 ms). Then kestrel-sweep's pace
// and end with no lab store, that store, one refusing and one never answering
// (runLabSweeps: 201 points, 3 rounds by default).
int runLabBenchmark(const QStringList& args);

} // namespace kestrel::bench
