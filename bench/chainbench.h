#pragma once

#include <QStringList>

namespace kestrel::bench
{

// kestrel-bench chain [--runs N]: starts kestrel-sim on loopback and times "*IDN?"
// to its source through the whole chain (runShell -> zsh -> sendArbcmd.sh in a
// temporary home -> kestrel-scpi -> kestrel-sim), kestrel-scpi started directly,
// over VXI-11 (as root: the simulator's portmapper needs port 111), and bare TCP round
// trips to the same simulator, interleaved in one run.
int runChainBenchmark(const QStringList& args);

} // namespace kestrel::bench
