#pragma once

#include <QStringList>

namespace kestrel::bench
{

// kestrel-bench store [--points N]: one run of N points (100,000 by default) into a
// fresh run store in a temporary folder, each committed on its own as a sweep does.
// Reports the cost of a point on the store's thread (target: p99 at most 1 ms), the
// same seen from the sweep's thread through RunRecorder, the store's size, and how
// long reading the run back and exporting it as CSV and as a data file take.
int runStoreBenchmark(const QStringList& args);

} // namespace kestrel::bench
