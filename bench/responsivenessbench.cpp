#include "responsivenessbench.h"

#include "app/mainwindow.h"
#include "benchsupport.h"
#include "chart/barchart.h"
#include "controller/sweepengine.h"
#include "data/ivpoints.h"
#include "data/sitext.h"
#include "link/workqueue.h"
#include "simprocess/simprocess.h"
#include "simulatedinstruments.h"

#include <QCheckBox>
#include <QComboBox>
#include <qcustomplot.h>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>

#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <unistd.h>

namespace kestrel::bench
{

namespace
{

constexpr double targetMs = 16;
constexpr int slowMeterMs = 300;
constexpr int labelWidth = 32;

struct Window {
    int from, to;
    const char* label;
};
constexpr Window windows[] = {{9000, 11000, "9000 .. 11000 points"},
                              {95000, 100000, "95000 .. 100000 points"}};

void printError(const QString& text)
{
    bench::printError("responsiveness", text);
}

QString verdict(double ms)
{
    return ms <= targetMs ? QStringLiteral("met") : QStringLiteral("MISSED");
}

// The window prints every reading on standard output (a line, flushed); here the
// lines go to /dev/null at the same cost, so the report stays readable.
class ReplySink
{
  public:
    ReplySink() : file_(std::fopen("/dev/null", "w")) {}
    ~ReplySink()
    {
        if (file_)
            std::fclose(file_);
    }
    ReplySink(const ReplySink&) = delete;
    ReplySink& operator=(const ReplySink&) = delete;
    void write(const QString& text)
    {
        const QByteArray bytes = text.toUtf8() + '\n';
        if (file_) {
            std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), file_);
            std::fflush(file_);
        }
    }

  private:
    std::FILE* file_;
};

// Standard output goes to /dev/null while one of these lives (the window prints its
// home folder when it loads).
class QuietStdout
{
  public:
    QuietStdout()
    {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietStdout() { restore(); }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;
    void restore()
    {
        if (saved_ < 0)
            return;
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
    }

  private:
    int saved_ = -1;
};

// The measurement window as the program shows it, with its own controller, a
// temporary home for sendArbcmd.sh and its remembered fields in a temporary file.
class ShownWindow
{
  public:
    explicit ShownWindow(const QString& home)
        : window(home, std::make_unique<QSettings>(settingsDir.filePath(QStringLiteral("k.conf")),
                                                   QSettings::IniFormat))
    {
        quiet.restore();
        window.controller().printLine = [this](const QString& text) { sink.write(text); };
        window.controller().sweep().timerCH2.setObjectName(QStringLiteral("sweep tick"));
        window.show();
        waitUntil([this] { return window.windowHandle() && window.windowHandle()->isExposed(); },
                  5000);
        spinFor(100);
    }
    template <typename T> T* find(const char* name)
    {
        return window.findChild<T*>(QLatin1String(name));
    }
    BarChart* chart() { return &window.chart(); }

    QTemporaryDir settingsDir;
    ReplySink sink;
    QuietStdout quiet;
    MainWindow window;
};

// Every replot of a chart: when, how long (layout and drawing into QCustomPlot's
// buffers; painting onto the window follows in the next paint event), at how many
// points, and whether every marker had to be drawn again (the axes had changed).
class ReplotLog : public QObject
{
  public:
    struct Replot {
        qint64 startNs;
        double ms;
        int points;
        bool full;
    };

    explicit ReplotLog(BarChart* chart) : chart_(chart)
    {
        QCustomPlot* plot = chart->plot();
        connect(plot, &QCustomPlot::beforeReplot, this, [this] { startNs_ = nowNs(); });
        connect(plot, &QCustomPlot::afterReplot, this, [this] {
            QCustomPlot* plot = chart_->plot();
            const View view{plot->xAxis->range(), plot->yAxis->range(), plot->axisRect()->rect()};
            const bool full = !last_ || !(view == *last_);
            last_ = view;
            replots.push_back(
                Replot{startNs_, double(nowNs() - startNs_) / 1e6, chart_->livePointCount(), full});
        });
    }

    std::vector<Replot> replots;

  private:
    struct View {
        QCPRange x, y;
        QRect rect;
        bool operator==(const View& o) const { return x == o.x && y == o.y && rect == o.rect; }
    };
    BarChart* chart_;
    qint64 startNs_ = 0;
    std::optional<View> last_;
};

// The longest stalls with tags in [from, to], the replots inside each and the
// longest events delivered during it.
void printLongestStalls(const StallProbe& probe, const ReplotLog& replots, const EventLog& events,
                        int from, int to, std::size_t count = 5)
{
    std::vector<StallProbe::Sample> longest;
    for (const auto& sample : probe.samples())
        if (sample.tag >= from && sample.tag <= to)
            longest.push_back(sample);
    std::sort(longest.begin(), longest.end(),
              [](const auto& a, const auto& b) { return a.lateMs > b.lateMs; });
    longest.resize(std::min(longest.size(), count));
    print(QStringLiteral("\n  longest stalls: replots inside them; longest events delivered\n"));
    for (const auto& stall : longest) {
        const qint64 begin = stall.atNs - qint64((stall.lateMs + StallProbe::intervalMs) * 1e6);
        QStringList inside;
        for (const auto& replot : replots.replots)
            if (replot.startNs >= begin && replot.startNs < stall.atNs)
                inside << QStringLiteral("%1 replot %2 ms")
                              .arg(replot.full ? QStringLiteral("full")
                                               : QStringLiteral("new-markers"))
                              .arg(replot.ms, 0, 'f', 2);
        const auto delivered = events.between(begin, stall.atNs);
        for (std::size_t i = 0; i < std::min<std::size_t>(delivered.size(), 2); ++i)
            inside << EventLog::describe(delivered[i]);
        print(QStringLiteral("  %1 ms at %2 points: %3\n")
                  .arg(stall.lateMs, 6, 'f', 2)
                  .arg(stall.tag, 6)
                  .arg(inside.isEmpty() ? QStringLiteral("nothing over 0.5 ms")
                                        : inside.join(QStringLiteral("; "))));
    }
}

void printStalls(const QString& label, const std::vector<double>& lateness, int labelWidth)
{
    print(summaryRow(label, summarize(lateness), labelWidth));
}

// (a) The window's own sweep through the whole chain, the meter taking 300 ms a reading.
bool slowMeter(int seconds, double* worst)
{
    SimProcess sim;
    QString error;
    if (!startSimulator(sim, {QStringLiteral("--latency"), QString::number(slowMeterMs)}, &error)) {
        printError(error);
        return false;
    }
    QTemporaryDir home;
    if (!home.isValid() || !installScript(home.path(), toolPath(QStringLiteral("kestrel-scpi")))) {
        printError(QStringLiteral("cannot install sendArbcmd.sh into a temporary home"));
        return false;
    }
    ShownWindow shown(home.path());
    shown.find<QLineEdit>("sourceip")->setText(sim.sourceAddress());
    shown.find<QLineEdit>("sourceport")->setText(QString::number(sim.sourcePort()));
    shown.find<QLineEdit>("drainip")->setText(sim.meterAddress());
    shown.find<QLineEdit>("drainport")->setText(QString::number(sim.meterPort()));
    shown.find<QPushButton>("sourceIdentify")->click();
    shown.find<QPushButton>("drainIdentify")->click();
    QLabel* identity = shown.find<QLabel>("identityline");
    if (!waitUntil([&] { return !identity->text().contains(QLatin1String("not identified")); },
                   10000)) {
        printError(QStringLiteral("the simulated instruments were not identified: %1")
                       .arg(identity->text()));
        return false;
    }
    shown.find<QLineEdit>("IVstart")->setText(QStringLiteral("0"));
    shown.find<QLineEdit>("IVstop")->setText(QStringLiteral("1"));
    shown.find<QLineEdit>("IVsteps")->setText(QStringLiteral("1000"));
    shown.find<QComboBox>("ivShape")->setCurrentIndex(0);
    shown.find<QComboBox>("drainSensitivity")->setCurrentIndex(2); // 20 mA
    SweepEngine& engine = shown.window.controller().sweep();
    BarChart* chart = shown.chart();

    StallProbe probe([chart] { return chart->livePointCount(); });
    ReplotLog replots(chart);
    EventLog events([chart] { return chart->livePointCount(); });
    probe.start();
    shown.find<QPushButton>("ivRun")->click();
    spinFor(seconds * 1000);
    probe.stop();
    const int points = engine.pointsDone();
    const bool wasRunning = engine.isRunning();
    shown.find<QPushButton>("ivStop")->click();
    if (!wasRunning || !waitUntil([&] { return !engine.isRunning(); }, 5000)) {
        printError(
            QStringLiteral("the sweep %1: %2")
                .arg(wasRunning ? QStringLiteral("did not stop") : QStringLiteral("ended early"),
                     shown.find<QPlainTextEdit>("sweepstatus")->toPlainText()));
        return false;
    }

    const std::vector<double> lateness = probe.lateness();
    const Summary stalls = summarize(lateness);
    std::vector<double> replotMs;
    for (const auto& replot : replots.replots)
        replotMs.push_back(replot.ms);
    print(QStringLiteral("\n(a) the window's sweep, meter %1 ms per reading (kestrel-sim "
                         "--latency %1), %2 s: %3 points, %4 replots\n")
              .arg(slowMeterMs)
              .arg(seconds)
              .arg(points)
              .arg(replots.replots.size()));
    print(summaryHeader(labelWidth));
    printStalls(QStringLiteral("stalls"), lateness, labelWidth);
    print(
        summaryRow(QStringLiteral("replots (into the buffers)"), summarize(replotMs), labelWidth));
    print(QStringLiteral("  longest stall %1 ms (target <= %2 ms: %3)\n")
              .arg(stalls.max, 0, 'f', 2)
              .arg(targetMs, 0, 'f', 0)
              .arg(verdict(stalls.max)));
    const EventLog::Entry longest = events.longest();
    print(QStringLiteral("  longest single event %1 (target <= %2 ms: %3)\n")
              .arg(longest.tag < 0 ? QStringLiteral("under 0.5 ms") : EventLog::describe(longest))
              .arg(targetMs, 0, 'f', 0)
              .arg(verdict(longest.ms)));
    printLongestStalls(probe, replots, events, INT_MIN, INT_MAX, 3);
    *worst = std::max(stalls.max, longest.ms);
    return sim.stop() == 0;
}

// (b) A sweep as fast as the engine goes (in-process instruments, no tick delay),
// wired to the window's chart, progress bar and status line as the controller wires
// them.
// A sweep into the window's chart as fast as in-process instruments answer; with curves
// above 1, the last curve of a family whose others are on the chart already, each in the
// family's colour ramp.
// The family the window must stay responsive with: 21 curves of 2,001 points.
constexpr int familyCurves = 21;
constexpr int familyPoints = 2001;

bool growingSweep(int points, double* worst, int curves = 1)
{
    QTemporaryDir home;
    ShownWindow shown(home.path());
    BarChart* chart = shown.chart();
    QProgressBar* progressBar = shown.find<QProgressBar>("ivProgress");
    QPlainTextEdit* status = shown.find<QPlainTextEdit>("sweepstatus");

    WorkQueue queue;
    SimulatedInstruments link(QStringLiteral("resistor:1000"));
    SweepEngine engine(queue, link);
    engine.setTickInterval(0);
    engine.timerCH2.setObjectName(QStringLiteral("sweep tick"));
    const auto showStatus = [status](const QString& text) {
        status->setPlainText(text);
        status->setStyleSheet(QString());
    };
    QObject::connect(&engine, &SweepEngine::started, &engine, [&](int total) {
        progressBar->setRange(0, total);
        progressBar->setValue(0);
        showStatus(QStringLiteral("Setting up the instruments…"));
    });
    QObject::connect(&engine, &SweepEngine::measurementReply, &engine,
                     [&](const QString& reply) { shown.sink.write(reply); });
    QObject::connect(&engine, &SweepEngine::pointRecorded, chart,
                     [chart](int, double volt, double amps) { chart->addPoint(volt, amps); });
    QObject::connect(&engine, &SweepEngine::progress, &engine,
                     [&](int done, int total, const QDateTime& expectedEnd) {
                         progressBar->setValue(done);
                         progressBar->setFormat(
                             QStringLiteral("Point %1 of %2, ends about %3")
                                 .arg(countText(done), countText(total),
                                      expectedEnd.time().toString(QStringLiteral("HH:mm:ss"))));
                     });
    std::optional<Run::Outcome> outcome;
    QString message;
    double endMs = 0;
    QObject::connect(&engine, &SweepEngine::finished, &engine,
                     [&](Run::Outcome how, const QString& text) {
                         const Clock::time_point start = Clock::now();
                         chart->liveRunEnded(); // as the window's handler
                         showStatus(text);
                         endMs = msSince(start);
                         outcome = how;
                         message = text;
                     });

    StallProbe probe([chart] { return chart->livePointCount(); });
    ReplotLog replots(chart);
    EventLog events([chart] { return chart->livePointCount(); });
    const SweepPlan plan{0.0, 10.0, points - 1, SweepShape::Linear};
    for (int curve = 0; curve + 1 < curves; ++curve) {
        // The transistor's curves below the live one: a current that saturates higher
        // for each step level.
        ChartPointList earlier;
        earlier.reserve(std::size_t(points));
        const double saturation = 1e-3 * (curve + 1) / curves;
        for (int i = 0; i < points; ++i) {
            const double volt = plan.levelAt(i);
            earlier.push_back({volt, saturation * std::tanh(volt)});
        }
        chart->showRun(curve + 2, std::move(earlier), QStringLiteral("step %1 V").arg(curve));
        chart->setRunStyle(curve + 2, familyStyle(curve, curves));
    }
    chart->beginLiveRun(1, QStringLiteral("Sweep 1"));
    if (curves > 1)
        chart->setRunStyle(1, familyStyle(curves - 1, curves));
    probe.start();
    const Clock::time_point begin = Clock::now();
    SweepSettings settings;
    settings.source = Endpoint{QStringLiteral("127.0.0.2"), QStringLiteral("5555")};
    settings.meter = Endpoint{QStringLiteral("127.0.0.3"), QStringLiteral("5555")};
    settings.plan = plan;
    settings.rangeIndex = 2;
    engine.start(settings, QString(), QString());
    if (!waitUntil([&] { return outcome.has_value(); }, 600000)) {
        printError(
            QStringLiteral("the sweep of %1 points did not end within 10 minutes").arg(points));
        return false;
    }
    const double sweepMs = msSince(begin);
    spinFor(200); // the last paint and a few idle firings
    probe.stop();
    if (*outcome != Run::Outcome::Completed || chart->livePointCount() != points) {
        printError(QStringLiteral("the sweep did not complete: %1").arg(message));
        return false;
    }

    print(QStringLiteral("\n(%4) in-process instruments, no tick delay: %1 points in %2 s (%3 "
                         "points/s), every one on the chart%5\n")
              .arg(points)
              .arg(sweepMs / 1000, 0, 'f', 1)
              .arg(points / (sweepMs / 1000), 0, 'f', 0)
              .arg(curves > 1 ? QStringLiteral("c") : QStringLiteral("b"))
              .arg(curves > 1 ? QStringLiteral(", the last curve of a family of %1 curves of %2 "
                                               "points, the others on the chart")
                                    .arg(curves)
                                    .arg(points)
                              : QString()));
    print(summaryHeader(labelWidth));
    // The windows this many points reach, and the whole sweep.
    std::vector<Window> shownWindows;
    for (const Window& window : windows)
        if (window.to < points)
            shownWindows.push_back(window);
    const bool inWindows = shownWindows.size() == std::size(windows);
    shownWindows.push_back(Window{0, points - 1, "whole sweep"});
    double worstLate = 0;
    for (const Window& window : shownWindows) {
        printStalls(QString::fromLatin1(window.label), probe.lateness(window.from, window.to),
                    labelWidth);
        worstLate = std::max(worstLate, probe.worst(window.from, window.to).lateMs);
    }
    printStalls(QStringLiteral("end of sweep (fit, full redraw)"), probe.lateness(points, points),
                labelWidth);
    print(QStringLiteral("  the finished handler (liveRunEnded: fit, redraw) took %1 ms\n")
              .arg(endMs, 0, 'f', 2));

    // The probe sees a block of B ms as B - 10 .. B ms late, depending on when it began;
    // the longest single event is the block itself.
    print(QStringLiteral("\n  longest single event delivered (the loop blocked that long)\n"));
    double worstEvent = 0;
    for (const Window& window : shownWindows) {
        const EventLog::Entry longest = events.longest(window.from, window.to);
        worstEvent = std::max(worstEvent, longest.ms);
        print(QStringLiteral("  %1 %2\n")
                  .arg(QLatin1String(window.label), -labelWidth)
                  .arg(longest.tag < 0 ? QStringLiteral("none over 0.5 ms")
                                       : QStringLiteral("%1 at %2 points")
                                             .arg(EventLog::describe(longest))
                                             .arg(longest.tag)));
    }
    // The finished handler runs with every point in: the last full redraw.
    const EventLog::Entry atEnd = events.longest(points, INT_MAX);
    worstEvent = std::max(worstEvent, atEnd.ms);
    print(QStringLiteral("  %1 %2\n")
              .arg(QStringLiteral("end of sweep (fit, full redraw)"), -labelWidth)
              .arg(atEnd.tag < 0 ? QStringLiteral("none over 0.5 ms") : EventLog::describe(atEnd)));

    print(QStringLiteral("\n  replots into the buffers, by kind\n"));
    print(summaryHeader(labelWidth + 18));
    for (const Window& window : shownWindows) {
        std::vector<double> incremental, full;
        for (const auto& replot : replots.replots)
            if (replot.points >= window.from && replot.points <= window.to)
                (replot.full ? full : incremental).push_back(replot.ms);
        print(summaryRow(QStringLiteral("%1, new markers").arg(QLatin1String(window.label)),
                         summarize(incremental), labelWidth + 18));
        print(summaryRow(QStringLiteral("%1, every marker").arg(QLatin1String(window.label)),
                         summarize(full), labelWidth + 18));
    }

    printLongestStalls(probe, replots, events, 0, points - 1);

    print(QStringLiteral("\n  the GUI thread's time by event, whole run (%1 s)\n")
              .arg(sweepMs / 1000, 0, 'f', 1));
    const auto totals = events.totals();
    for (std::size_t i = 0; i < std::min<std::size_t>(totals.size(), 8); ++i)
        print(QStringLiteral("  %1 %2 ms in %3 deliveries, %4 us per point\n")
                  .arg(QStringLiteral("%1 to %2")
                           .arg(EventLog::typeName(totals[i].type),
                                QLatin1String(totals[i].receiverClass)),
                       -44)
                  .arg(totals[i].ms, 8, 'f', 0)
                  .arg(totals[i].count, 7)
                  .arg(totals[i].ms * 1000 / points, 6, 'f', 1));

    print(QStringLiteral("\n  longest stall seen by the probe %1 ms (target <= %2 ms: %3)\n")
              .arg(worstLate, 0, 'f', 2)
              .arg(targetMs, 0, 'f', 0)
              .arg(verdict(worstLate)));
    print(QStringLiteral("  longest single event %1 ms (target <= %2 ms: %3)\n")
              .arg(worstEvent, 0, 'f', 2)
              .arg(targetMs, 0, 'f', 0)
              .arg(verdict(worstEvent)));
    if (!inWindows)
        print(QStringLiteral("  (fewer points than a window needs: that window is left out)\n"));
    *worst = std::max(worstLate, worstEvent);
    return true;
}

} // namespace

int runResponsivenessBenchmark(const QStringList& args)
{
    int seconds = 5;
    int points = 100001;
    if (!parseOptions(args, {{"--seconds", &seconds, 1}, {"--points", &points, 2}}) ||
        points > maxSweepSteps + 1) {
        printError(QStringLiteral("usage: kestrel-bench responsiveness [--seconds S] [--points N] "
                                  "(S from 1, N from 2 to %1)")
                       .arg(maxSweepSteps + 1));
        return 2;
    }
    print(QStringLiteral("kestrel-bench responsiveness: a %1 ms precise timer on the GUI thread; "
                         "a stall is how much later than %1 ms it fires (%2 platform)\n")
              .arg(StallProbe::intervalMs)
              .arg(QGuiApplication::platformName()));
    print(machineLine());

    {
        QTemporaryDir home;
        ShownWindow idle(home.path());
        StallProbe probe;
        probe.start();
        spinFor(2000);
        probe.stop();
        print(QStringLiteral("\nidle window, 2 s\n"));
        print(summaryHeader(labelWidth));
        printStalls(QStringLiteral("stalls"), probe.lateness(), labelWidth);
    }

    double slowWorst = 0, growingWorst = 0, familyWorst = 0;
    if (!slowMeter(seconds, &slowWorst) || !growingSweep(points, &growingWorst) ||
        !growingSweep(familyPoints, &familyWorst, familyCurves))
        return 1;
    return slowWorst <= targetMs && growingWorst <= targetMs && familyWorst <= targetMs ? 0 : 3;
}

} // namespace kestrel::bench
