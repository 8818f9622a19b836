#pragma once

#include <QStringList>

namespace kestrel::bench
{

// kestrel-bench responsiveness [--seconds S] [--points N]: the longest stalls of
// the window's event loop, seen by a 10 ms precise timer, (a) for S seconds (5) of a
// sweep against kestrel-sim whose meter takes 300 ms per reading, through the whole
// chain and the window's own controller, and (b) while a sweep with in-process
// instruments and no tick delay puts N points (100001) on the window's chart, in
// windows around 10000 and 100000 points.
int runResponsivenessBenchmark(const QStringList& args);

} // namespace kestrel::bench
