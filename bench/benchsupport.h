#pragma once

#include "data/run.h"
#include "timing.h"

#include <QApplication>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <climits>
#include <functional>
#include <initializer_list>
#include <optional>
#include <thread>
#include <vector>

namespace kestrel
{
class SimProcess;
}

namespace kestrel::bench
{

// How a sweep or a family ended, and when, as the signal it listens to tells it:
// SweepEngine::finished or Session::ended.
struct SweepEnd {
    std::optional<Run::Outcome> outcome;
    QString message;
    Clock::time_point at;

    template <typename Sender, typename Signal> void listen(Sender* sender, Signal signal)
    {
        QObject::connect(sender, signal, sender, [this](Run::Outcome how, const QString& text) {
            at = Clock::now();
            outcome = how;
            message = text;
        });
    }
};

// Standard output, flushed at once so a long run shows its progress.
void print(const QString& text);
// "kestrel-bench NAME: TEXT" on standard error.
void printError(const char* benchmark, const QString& text);

// "machine: 2 cores, load average 0.12 0.30 0.41 (1, 5, 15 min)" and the cpuLine():
// the conditions a run's figures were taken in (other work on the machine shows in its
// figures, and some CPUs run the same code differently).
QString machineLine();
// "cpu: AMD EPYC; vector features: sse4.2 avx avx2 fma avx512f"
QString cpuLine();

// Whether the upper halves of the vector registers were in use once the application
// object was made (nullopt: the CPU cannot tell), as main() found them.
void setApplicationUpperState(std::optional<bool> inUse);
std::optional<bool> applicationUpperState();

// A tool built next to kestrel-bench (build/<preset>/tools/NAME).
QString toolPath(const QString& name);

// Installs sendArbcmd.sh into home with scripts/install-sendarbcmd.sh, calling scpi.
bool installScript(const QString& home, const QString& scpi);

// Starts the build's kestrel-sim with its source on 127.0.0.2 and its meter on
// 127.0.0.3 (free ports), a 1 kOhm resistor without noise, and extra arguments.
bool startSimulator(SimProcess& sim, const QStringList& extra, QString* error);

// Reads options "--name N" or "--name=N" from args into their values. Returns false
// on an unknown argument or a value that is not a whole number of at least minimum.
struct IntOption {
    const char* name;
    int* value;
    int minimum;
};
bool parseOptions(const QStringList& args, std::initializer_list<IntOption> options);

// The resident set of this process in bytes (/proc/self/statm).
std::size_t residentBytes();

// Runs the event loop until done() holds or timeoutMs have passed; returns done().
// Sleeps while no event comes.
bool waitUntil(const std::function<bool()>& done, int timeoutMs);
// Runs the event loop for ms milliseconds, sleeping while no event comes.
void spinFor(int ms);

// Watches the event loop of the thread it lives on: a precise timer every 10 ms
// records how late each firing is (actual interval - 10 ms). A late firing is a
// stall: the loop was busy with something else that long.
class StallProbe : public QObject
{
    Q_OBJECT
  public:
    static constexpr int intervalMs = 10;

    struct Sample {
        double lateMs; // actual interval - 10 ms
        int tag;       // what tag() returned at the firing (e.g. the number of points)
        qint64 atNs;   // when it fired (nowNs())
    };

    explicit StallProbe(std::function<int()> tag = {}, QObject* parent = nullptr);

    void start();
    void stop();
    const std::vector<Sample>& samples() const { return samples_; }
    void clear() { samples_.clear(); }

    // Lateness of the firings whose tag lies in [from, to] (all of them by default).
    std::vector<double> lateness(int from = INT_MIN, int to = INT_MAX) const;
    // The worst firing in [from, to]; tag -1 when there is none.
    Sample worst(int from = INT_MIN, int to = INT_MAX) const;

  private:
    void fired();

    std::function<int()> tag_;
    QTimer timer_;
    qint64 lastNs_ = 0;
    std::vector<Sample> samples_;
};

// Every event the application delivers on the GUI thread that takes at least
// thresholdMs, outermost deliveries only, while a log is active: what ran during a
// stall. Needs the program's QApplication to be a BenchApplication.
class EventLog
{
  public:
    struct Entry {
        qint64 startNs; // nowNs()
        double ms;
        QString receiver; // class name, and object name when it has one
        int type;         // QEvent::Type
        int tag;          // what tag() returned when it ended
    };
    // Every delivery, however short, summed by receiver class and event type.
    struct Total {
        const char* receiverClass;
        int type;
        qint64 count = 0;
        double ms = 0;
    };

    explicit EventLog(std::function<int()> tag = {}, double thresholdMs = 0.5);
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    const std::vector<Entry>& entries() const { return entries_; }
    // Those that began in [fromNs, toNs), longest first.
    std::vector<Entry> between(qint64 fromNs, qint64 toNs) const;
    // The longest delivery whose tag lies in [from, to]; tag -1 when there is none.
    Entry longest(int from = INT_MIN, int to = INT_MAX) const;
    // Totals, the largest first.
    std::vector<Total> totals() const;
    static QString describe(const Entry& entry);
    static QString typeName(int type);

  private:
    friend class BenchApplication;
    void record(qint64 startNs, double ms, const char* receiverClass, const QString& objectName,
                int type);

    static EventLog* active_;
    std::function<int()> tag_;
    double thresholdMs_;
    std::vector<Entry> entries_;
    std::vector<Total> totals_;
};

class BenchApplication : public QApplication
{
  public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override;

  private:
    int depth_ = 0;
};

// Load of its own for a run's figures: threads that keep a core busy each until the
// object goes, as other work on the machine would (--load N). None for 0.
class BusyLoad
{
  public:
    explicit BusyLoad(int threads);
    ~BusyLoad();
    BusyLoad(const BusyLoad&) = delete;
    BusyLoad& operator=(const BusyLoad&) = delete;
    // "made load: 2 busy threads for the run's length", or empty for none.
    QString describe() const;

  private:
    std::atomic<bool> stop_ = false;
    std::vector<std::thread> threads_;
};

// The live chart wherever it is timed: its size on the window, and the targets for one
// new point and for a full redraw (p95), at any number of points.
constexpr int chartWidth = 800;
constexpr int chartHeight = 500;
constexpr double newPointTargetMs = 1;
constexpr double fullRedrawTargetMs = 16;

// "  LABEL      median   p95   p99   max" rows for a table of millisecond figures.
QString summaryHeader(int labelWidth);
QString summaryRow(const QString& label, const Summary& s, int labelWidth);

} // namespace kestrel::bench
