#pragma once

#include <QStringList>

#include <span>

namespace kestrel::bench
{

// One subcommand of kestrel-bench. run() gets the arguments after its name and
// returns the exit code.
struct Benchmark {
    const char* name;
    const char* usage;
    int (*run)(const QStringList& args);
};

// Every benchmark, in the order kestrel-bench --help lists them.
std::span<const Benchmark> allBenchmarks();

} // namespace kestrel::bench
