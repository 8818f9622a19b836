#pragma once

#include <QStringList>

namespace kestrel::bench
{

// kestrel-bench lab [--points N] [--runs N]: publishing to the lab store set with
// kestrel-runs lab set (a bench role; the runs it publishes stay there): one run of N
// points (100,000 by default; target at most 2 s) and N runs of 100 points (10,000 by
// default), then the lab's listing (target at most 200 ms).
int runLabBenchmark(const QStringList& args);

} // namespace kestrel::bench
