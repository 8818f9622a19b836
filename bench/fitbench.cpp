#include "fitbench.h"

#include "analysis/fit.h"
#include "benchsupport.h"
#include "data/currentranges.h"
#include "data/vectorstate.h"
#include "link/workqueue.h"
#include "sim/device.h"
#include "sim/meterinstrument.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QProcess>
#include <QRegularExpression>

#include <optional>
#include <random>

namespace kestrel::bench
{

namespace
{

constexpr double targetMs = 200.0;
constexpr int targetPoints = 200001; // the target holds at this size

void printError(const QString& text)
{
    bench::printError("fit", text);
}

// A sweep of kestrel-sim's device over its usual span, read on its usual range at the
// medium rate with the meter's noise and seed: the diode from 0 to 5 V on 2 mA, the
// solar cell from -0.1 to 0.6 V on 2 A, a 1 kOhm resistor from -1 to 1 V on 2 mA.
IVPointList simulatedSweep(analysis::Model model, int points)
{
    struct Span {
        std::shared_ptr<const sim::Device> device;
        double from, to;
        int range;
    };
    const Span span = model == analysis::Model::Diode
                          ? Span{std::make_shared<sim::Diode>(), 0.0, 5.0, 1}
                      : model == analysis::Model::Solar
                          ? Span{std::make_shared<sim::SolarCell>(), -0.1, 0.6, 4}
                          : Span{std::make_shared<sim::Resistor>(1000.0), -1.0, 1.0, 1};
    const sim::MeterSettings meter;
    std::mt19937_64 random(meter.seed);
    std::normal_distribution<double> noise;
    const double sigma = meter.noiseFraction * 3.0 * currentRanges().at(span.range).fullScaleAmps;
    IVPointList list;
    list.reserve(std::size_t(points));
    for (int i = 0; i < points; ++i) {
        const double volts = span.from + (span.to - span.from) * i / (points - 1);
        list.push_back({volts, span.device->current(volts) + sigma * noise(random)});
    }
    return list;
}

// The same fits in a process of this program that never creates a QGuiApplication:
// its median and longest run, read from that process's last line.
std::optional<std::pair<double, double>> withoutGuiApplication(const QStringList& args,
                                                               QString* output)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                QStringList{QStringLiteral("fit"), QStringLiteral("--no-gui-application")} + args);
    if (!child.waitForFinished(600000) || child.exitStatus() != QProcess::NormalExit ||
        child.exitCode() == 1 || child.exitCode() == 2)
        return std::nullopt;
    *output = QString::fromLocal8Bit(child.readAllStandardOutput());
    const QRegularExpressionMatch found =
        QRegularExpression(QStringLiteral("longest run +([0-9.]+) ms, median ([0-9.]+) ms"))
            .match(*output);
    if (!found.hasMatch())
        return std::nullopt;
    bool medianOk = false, longestOk = false;
    const double median = found.captured(2).toDouble(&medianOk);
    const double longest = found.captured(1).toDouble(&longestOk);
    if (!medianOk || !longestOk)
        return std::nullopt;
    return std::pair{median, longest};
}

QString upperStateText(std::optional<bool> inUse)
{
    return !inUse   ? QStringLiteral("not known on this CPU")
           : *inUse ? QStringLiteral("in use")
                    : QStringLiteral("clear");
}

} // namespace

int runFitBenchmark(const QStringList& args)
{
    int runs = 7;
    int points = targetPoints;
    int load = 0;
    QString modelName = QStringLiteral("diode");
    bool leaveInUse = false, childOnly = false;
    QStringList rest;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--model") && i + 1 < args.size())
            modelName = args[++i];
        else if (args[i] == QLatin1String("--upper-in-use"))
            leaveInUse = true;
        else if (args[i] == QLatin1String("--no-gui-application"))
            childOnly = true;
        else
            rest << args[i];
    }
    const std::optional<analysis::Model> model = analysis::modelFromName(modelName.toStdString());
    if (!model ||
        !parseOptions(rest,
                      {{"--runs", &runs, 1}, {"--points", &points, 10}, {"--load", &load, 0}})) {
        printError(QStringLiteral("usage: kestrel-bench fit [--runs N] [--points N] [--model "
                                  "linear|diode|solar] [--load N] [--upper-in-use]"));
        return 2;
    }
    const BusyLoad busy(childOnly ? 0 : load); // the parent's load is the child's too
    const IVPointList sweep = simulatedSweep(*model, points);
    analysis::FitOptions options{*model, {}, roomCelsius + zeroCelsiusKelvin, false};
    const bool gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;

    // As the window runs a fit: on a work queue, the result back through the event loop.
    // With --upper-in-use the GUI thread first leaves the upper halves of the vector
    // registers in use, as a library may, and the queue's thread inherits them.
    const bool leftInUse = leaveInUse && leaveUpperVectorStateInUse();
    std::vector<double> ms;
    analysis::FitResult result;
    {
        WorkQueue queue;
        QObject context;
        for (int run = 0; run < runs; ++run) {
            bool done = false;
            const Clock::time_point start = Clock::now();
            queue.run(
                &context,
                [&sweep, options](const CancelSignal&) { return analysis::fit(sweep, options); },
                [&](const analysis::FitResult& fitted) {
                    result = fitted;
                    done = true;
                });
            if (!waitUntil([&] { return done; }, 600000)) {
                printError(QStringLiteral("a fit did not end within 10 minutes"));
                return 1;
            }
            ms.push_back(msSince(start));
            if (!result.ok()) {
                printError(QString::fromStdString(result.failure));
                return 1;
            }
        }
    }

    const Summary summary = summarize(ms);
    print(QStringLiteral("kestrel-bench fit: a %1 fit over %2 points (kestrel-sim's %3, seeded "
                         "noise), %4 runs on a work queue's thread, in a process %5 a "
                         "QGuiApplication\n")
              .arg(modelName)
              .arg(points)
              .arg(*model == analysis::Model::Diode   ? QStringLiteral("diode, 0 .. 5 V")
                   : *model == analysis::Model::Solar ? QStringLiteral("solar cell, -0.1 .. 0.6 V")
                                                      : QStringLiteral("1 kOhm, -1 .. 1 V"))
              .arg(runs)
              .arg(gui ? QStringLiteral("with") : QStringLiteral("without")));
    print(machineLine());
    print(busy.describe());
    if (gui)
        print(QStringLiteral("  upper halves of the vector registers after QApplication was "
                             "made: %1%2\n")
                  .arg(upperStateText(applicationUpperState()),
                       leftInUse ? QStringLiteral("; left in use before the queue was made "
                                                  "(--upper-in-use)")
                                 : QString()));
    constexpr int width = 30;
    print(summaryHeader(width));
    print(summaryRow(QStringLiteral("%1 fit").arg(modelName), summary, width));
    print(QStringLiteral("  points fitted: %1 of %2; rms residual %3 A\n")
              .arg(result.pointsUsed)
              .arg(points)
              .arg(result.rmsResidual, 0, 'g', 3));
    for (const analysis::Quantity& quantity : result.quantities)
        print(QStringLiteral("  %1\n").arg(QString::fromStdString(formatQuantity(quantity))));
    const bool judged = points <= targetPoints;
    const bool met = !judged || summary.max <= targetMs;
    print(QStringLiteral("  longest run  %1 ms, median %2 ms%3\n")
              .arg(summary.max, 0, 'f', 1)
              .arg(summary.median, 0, 'f', 1)
              .arg(judged
                       ? QStringLiteral(" (target <= %1 ms at up to %2 points: %3)")
                             .arg(targetMs, 0, 'f', 0)
                             .arg(targetPoints)
                             .arg(met ? QStringLiteral("met") : QStringLiteral("MISSED"))
                       : QStringLiteral(" (the target holds up to %1 points)").arg(targetPoints)));
    if (!gui || childOnly)
        return met ? 0 : 3;

    // The same in a process without a QGuiApplication: on a CPU where the GUI's
    // libraries leave vector state that slows legacy SSE code, the two differ.
    QString output;
    const auto plain = withoutGuiApplication(
        QStringList{QStringLiteral("--runs"), QString::number(runs), QStringLiteral("--points"),
                    QString::number(points), QStringLiteral("--model"), modelName},
        &output);
    if (!plain) {
        printError(QStringLiteral("the run without a QGuiApplication failed"));
        return 1;
    }
    print(QStringLiteral("\nthe same without a QGuiApplication (a process of its own):\n"));
    for (const QString& line : output.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        if (line.startsWith(QLatin1String("  ")))
            print(line + QLatin1Char('\n'));
    print(QStringLiteral("\nwith / without a QGuiApplication: median %1 / %2 ms (%3), longest "
                         "%4 / %5 ms\n")
              .arg(summary.median, 0, 'f', 1)
              .arg(plain->first, 0, 'f', 1)
              .arg(summary.median / plain->first, 0, 'f', 2)
              .arg(summary.max, 0, 'f', 1)
              .arg(plain->second, 0, 'f', 1));
    return met ? 0 : 3;
}

} // namespace kestrel::bench
