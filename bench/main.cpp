// kestrel-bench: timing runs that are too slow or too machine-bound for the tests.
//   kestrel-bench NAME [ARGS...]

#include "benchmarks.h"

#include <QCoreApplication>

#include <cstdio>

using namespace kestrel::bench;

namespace
{

void printUsage(std::FILE* stream)
{
    std::fputs("Usage: kestrel-bench NAME [ARGS...]\n\nBenchmarks:\n", stream);
    for (const Benchmark& benchmark : allBenchmarks())
        std::fprintf(stream, "  %s\n", benchmark.usage);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.first() == QLatin1String("--help")) {
        printUsage(args.isEmpty() ? stderr : stdout);
        return args.isEmpty() ? 2 : 0;
    }
    if (args.first() == QLatin1String("--version")) {
        std::puts("kestrel-bench " KESTREL_VERSION);
        return 0;
    }
    for (const Benchmark& benchmark : allBenchmarks()) {
        if (args.first() == QLatin1String(benchmark.name))
            return benchmark.run(args.mid(1));
    }
    std::fprintf(stderr, "kestrel-bench: unknown benchmark %s\n", qPrintable(args.first()));
    printUsage(stderr);
    return 2;
}
