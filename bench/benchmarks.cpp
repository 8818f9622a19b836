#include "benchmarks.h"

#include "chainbench.h"
#include "chartbench.h"
#include "fitbench.h"
#include "historybench.h"
#include "labbench.h"
#include "responsivenessbench.h"
#include "storebench.h"
#include "sweepbench.h"

namespace kestrel::bench
{

std::span<const Benchmark> allBenchmarks()
{
    static const Benchmark list[] = {
        {"chain", "chain [--runs N]   one *IDN? through the whole instrument chain vs. bare TCP",
         runChainBenchmark},
        {"sweep",
         "sweep [--steps N] [--tick-ms T]  a sweep at the 0.1 s tick through the whole chain "
         "vs. (N + 1) x 0.1 s; with T, at a T ms tick in this process, every size timed; "
         "sweep --family CxP: C curves of P points, a step source setting each",
         runSweepBenchmark},
        {"chart",
         "chart [--further N] [--load N]  one new point and a full redraw of the chart at "
         "100 .. 1000001 points and with 6 x 200001; memory per point",
         runChartBenchmark},
        {"store",
         "store [--points N] [--sweep-steps N]  the run store: a point's commit, size and "
         "export of a 100000-point run; a sweep's pace with another writer holding the store",
         runStoreBenchmark},
        {"responsiveness",
         "responsiveness [--seconds S] [--points N]  event-loop stalls: slow meter; a sweep "
         "growing to 100000 points",
         runResponsivenessBenchmark},
        {"fit",
         "fit [--runs N] [--points N] [--model M] [--load N]  a fit (diode by default) over "
         "200001 points on a worker thread, with and without a QGuiApplication",
         runFitBenchmark},
        {"history",
         "history [--runs N] [--points N] [--family C]  the window's history and kestrel-runs "
         "list over 2000 runs of 5000 points; with C, half of them in families of C curves",
         runHistoryBenchmark},
        {"lab",
         "lab [--points N] [--runs N] [--sweep-points N] [--rounds N]  publishing a "
         "100000-point run and 10000 small ones to the lab store set with kestrel-runs lab set "
         "(or a server of its own), listing the lab; kestrel-sweep's pace and end with no lab "
         "store, that one, one refusing and one never answering",
         runLabBenchmark},
    };
    return list;
}

} // namespace kestrel::bench
