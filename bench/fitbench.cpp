#include "fitbench.h"

#include "analysis/fit.h"
#include "benchsupport.h"
#include "data/currentranges.h"
#include "sim/device.h"
#include "sim/meterinstrument.h"

#include <future>
#include <random>

namespace kestrel::bench
{

namespace
{

constexpr double targetMs = 200.0;

// kestrel-sim's default diode from 0 to 5 V, read on the 2 mA range at the medium rate
// with the meter's noise and seed.
IVPointList diodeSweep(int points)
{
    const sim::Diode diode;
    const sim::MeterSettings meter;
    std::mt19937_64 random(meter.seed);
    std::normal_distribution<double> noise;
    const double sigma = meter.noiseFraction * 3.0 * currentRanges().at(1).fullScaleAmps;
    IVPointList list;
    list.reserve(std::size_t(points));
    for (int i = 0; i < points; ++i) {
        const double volts = 5.0 * i / (points - 1);
        list.push_back({volts, diode.current(volts) + sigma * noise(random)});
    }
    return list;
}

} // namespace

int runFitBenchmark(const QStringList& args)
{
    int runs = 7;
    int points = 200001;
    if (!parseOptions(args, {{"--runs", &runs, 1}, {"--points", &points, 10}})) {
        printError("fit", QStringLiteral("usage: kestrel-bench fit [--runs N] [--points N]"));
        return 2;
    }
    const IVPointList sweep = diodeSweep(points);
    const analysis::FitOptions options{analysis::Model::Diode, {}, 300.0, false};

    std::vector<double> ms;
    analysis::FitResult result;
    for (int run = 0; run < runs; ++run) {
        const Clock::time_point start = Clock::now();
        result =
            std::async(std::launch::async, [&] { return analysis::fit(sweep, options); }).get();
        ms.push_back(msSince(start));
        if (!result.ok()) {
            printError("fit", QString::fromStdString(result.failure));
            return 1;
        }
    }

    const Summary summary = summarize(ms);
    print(QStringLiteral("kestrel-bench fit: a diode fit over %1 points (kestrel-sim's diode, "
                         "0 .. 5 V, seeded noise), %2 runs on a worker thread\n")
              .arg(points)
              .arg(runs));
    print(machineLine());
    constexpr int width = 30;
    print(summaryHeader(width));
    print(summaryRow(QStringLiteral("diode fit"), summary, width));
    print(QStringLiteral("  points fitted: %1 of %2; rms residual %3 A\n")
              .arg(result.pointsUsed)
              .arg(points)
              .arg(result.rmsResidual, 0, 'g', 3));
    for (const analysis::Quantity& quantity : result.quantities)
        print(QStringLiteral("  %1\n").arg(QString::fromStdString(formatQuantity(quantity))));
    const bool met = summary.max <= targetMs;
    print(QStringLiteral("  longest run  %1 ms (target <= %2 ms: %3)\n")
              .arg(summary.max, 0, 'f', 1)
              .arg(targetMs, 0, 'f', 0)
              .arg(met ? QStringLiteral("met") : QStringLiteral("MISSED")));
    return met ? 0 : 3;
}

} // namespace kestrel::bench
