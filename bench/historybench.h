#pragma once

#include <QStringList>

namespace kestrel::bench
{

// kestrel-bench history [--runs N] [--points N]: a store of N runs (2000) of N points
// (5000) in a temporary folder, then in the real window with its history: the longest
// stall of the GUI thread after a sweep ends and after a note is edited, with every run
// listed; the start of the window, as a process of its own, to its history painted; and
// kestrel-runs list as a process of its own.
int runHistoryBenchmark(const QStringList& args);

} // namespace kestrel::bench
