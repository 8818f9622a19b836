// kestrel-bench: timing runs that are too slow or too machine-bound for the tests.
//   kestrel-bench NAME [ARGS...]
// Exit status: 0 when the run met its targets, 3 when it missed one, 1 when it
// could not run, 2 for bad arguments.

#include "benchmarks.h"
#include "benchsupport.h"
#include "data/memoryreuse.h"
#include "data/vectorstate.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

using namespace kestrel::bench;

namespace
{

void printUsage(std::FILE* stream)
{
    std::fputs("Usage: kestrel-bench NAME [ARGS...]\n\nBenchmarks:\n", stream);
    for (const Benchmark& benchmark : allBenchmarks())
        std::fprintf(stream, "  %s\n", benchmark.usage);
    std::fputs("\nExit status: 0 targets met, 3 a target missed, 1 could not run, 2 bad "
               "arguments.\nWithout a display the chart benchmarks draw on Qt's offscreen "
               "platform.\n",
               stream);
}

} // namespace

int main(int argc, char** argv)
{
    // The chart benchmarks need widgets; without a display they draw off screen.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // kestrel-bench fit compares itself with a process that never made a QGuiApplication.
    const bool noGui = std::any_of(argv + 1, argv + argc, [](const char* arg) {
        return std::strcmp(arg, "--no-gui-application") == 0;
    });
    const std::unique_ptr<QCoreApplication> app =
        noGui ? std::make_unique<QCoreApplication>(argc, argv)
              : std::make_unique<BenchApplication>(argc, argv);
    // What the application's libraries left, then cleared as the window's main does.
    setApplicationUpperState(kestrel::upperVectorStateInUse());
    kestrel::clearUpperVectorState();
    kestrel::reuseFreedMemory();
    const QStringList args = QCoreApplication::arguments().mid(1);
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
