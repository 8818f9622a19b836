#pragma once

#include <QStringList>

namespace kestrel::bench
{

// A family of curves through the whole chain, as the window runs it: kestrel-sim's
// transistor, its gate stepped by a second simulated source.
int runFamilyBenchmark(const QStringList& args);

} // namespace kestrel::bench
