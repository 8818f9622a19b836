#include "benchmarks.h"

#include "chainbench.h"

namespace kestrel::bench
{

std::span<const Benchmark> allBenchmarks()
{
    static const Benchmark list[] = {
        {"chain", "chain [--runs N]   one *IDN? through the whole instrument chain vs. bare TCP",
         runChainBenchmark},
    };
    return list;
}

} // namespace kestrel::bench
