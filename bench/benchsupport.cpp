#include "benchsupport.h"

#include "data/vectorstate.h"
#include "simprocess/simprocess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QMetaEnum>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <unistd.h>

namespace kestrel::bench
{

void print(const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

void printError(const char* benchmark, const QString& text)
{
    const QString line =
        QStringLiteral("kestrel-bench %1: %2\n").arg(QLatin1String(benchmark), text);
    std::fputs(line.toLocal8Bit().constData(), stderr);
}

QString machineLine()
{
    QFile loadavg(QStringLiteral("/proc/loadavg"));
    QString load = QStringLiteral("unknown");
    if (loadavg.open(QIODevice::ReadOnly))
        load = QString::fromLatin1(loadavg.readAll()).section(QLatin1Char(' '), 0, 2);
    return QStringLiteral("machine: %1 cores, load average %2 (1, 5, 15 min)\n%3")
        .arg(QThread::idealThreadCount())
        .arg(load, cpuLine());
}

QString cpuLine()
{
    // The system's name for the CPU first: a virtual machine's cpuid may name it
    // otherwise.
    const CpuFeatures& cpu = cpuFeatures();
    QString model;
    QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
    if (cpuinfo.open(QIODevice::ReadOnly))
        for (const QByteArray& line : cpuinfo.readAll().split('\n'))
            if (line.startsWith("model name")) {
                model = QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
                break;
            }
    const QString cpuid = QString::fromStdString(cpu.model);
    if (model.isEmpty())
        model = cpuid.isEmpty() ? QStringLiteral("unknown") : cpuid;
    else if (!cpuid.isEmpty() && cpuid != model)
        model += QStringLiteral(" (cpuid: %1)").arg(cpuid);
    return QStringLiteral("cpu: %1; vector features: %2\n")
        .arg(model, QString::fromStdString(cpu.vectorText()));
}

namespace
{
std::optional<bool> upperStateAtStart;
}

void setApplicationUpperState(std::optional<bool> inUse)
{
    upperStateAtStart = inUse;
}

std::optional<bool> applicationUpperState()
{
    return upperStateAtStart;
}

QString toolPath(const QString& name)
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/") + name;
}

bool installScript(const QString& home, const QString& scpi)
{
    QProcess installer;
    installer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    installer.start(QStringLiteral("bash"),
                    {QStringLiteral(KESTREL_BENCH_SOURCE_DIR "/scripts/install-sendarbcmd.sh"),
                     QStringLiteral("--home"), home, QStringLiteral("--scpi"), scpi});
    // Its "installed ..." line is of no interest here.
    installer.setStandardOutputFile(QProcess::nullDevice());
    return installer.waitForFinished(10000) && installer.exitStatus() == QProcess::NormalExit &&
           installer.exitCode() == 0;
}

bool startSimulator(SimProcess& sim, const QStringList& extra, QString* error)
{
    QStringList args{QStringLiteral("--source"), QStringLiteral("127.0.0.2:0"),
                     QStringLiteral("--meter"),  QStringLiteral("127.0.0.3:0"),
                     QStringLiteral("--device"), QStringLiteral("resistor:1000"),
                     QStringLiteral("--noise"),  QStringLiteral("0")};
    args += extra;
    return sim.start(toolPath(QStringLiteral("kestrel-sim")), args, 5000, error);
}

bool parseOptions(const QStringList& args, std::initializer_list<IntOption> options)
{
    for (qsizetype i = 0; i < args.size(); ++i) {
        const IntOption* match = nullptr;
        QString text;
        for (const IntOption& option : options) {
            const QString name = QLatin1String(option.name);
            if (args[i] == name && i + 1 < args.size()) {
                match = &option;
                text = args[++i];
                break;
            }
            if (args[i].startsWith(name + QLatin1Char('='))) {
                match = &option;
                text = args[i].sliced(name.size() + 1);
                break;
            }
        }
        if (!match)
            return false;
        bool ok = false;
        const int value = text.toInt(&ok);
        if (!ok || value < match->minimum)
            return false;
        *match->value = value;
    }
    return true;
}

std::size_t residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    if (fields.size() < 2)
        return 0;
    return std::size_t(fields[1].toULongLong()) * std::size_t(sysconf(_SC_PAGESIZE));
}

// Both sleep between events: processEvents() with a time limit ignores
// WaitForMoreEvents and polls, which would take a core from the work being timed.
bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QTimer wake; // looks at done() at least every 5 ms, whatever sets it
    wake.start(5);
    const QDeadlineTimer deadline(timeoutMs);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return done();
}

void spinFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

StallProbe::StallProbe(std::function<int()> tag, QObject* parent)
    : QObject(parent), tag_(std::move(tag))
{
    timer_.setObjectName(QStringLiteral("stall probe"));
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(intervalMs);
    connect(&timer_, &QTimer::timeout, this, &StallProbe::fired);
}

void StallProbe::start()
{
    lastNs_ = nowNs();
    timer_.start();
}

void StallProbe::stop()
{
    timer_.stop();
}

void StallProbe::fired()
{
    const qint64 now = nowNs();
    const double late = double(now - lastNs_) / 1e6 - intervalMs;
    lastNs_ = now;
    samples_.push_back(Sample{late, tag_ ? tag_() : 0, now});
}

std::vector<double> StallProbe::lateness(int from, int to) const
{
    std::vector<double> ms;
    for (const Sample& sample : samples_)
        if (sample.tag >= from && sample.tag <= to)
            ms.push_back(sample.lateMs);
    return ms;
}

StallProbe::Sample StallProbe::worst(int from, int to) const
{
    Sample worst{0.0, -1, 0};
    for (const Sample& sample : samples_)
        if (sample.tag >= from && sample.tag <= to &&
            (worst.tag < 0 || sample.lateMs > worst.lateMs))
            worst = sample;
    return worst;
}

EventLog* EventLog::active_ = nullptr;

EventLog::EventLog(std::function<int()> tag, double thresholdMs)
    : tag_(std::move(tag)), thresholdMs_(thresholdMs)
{
    entries_.reserve(100000);
    active_ = this;
}

EventLog::~EventLog()
{
    if (active_ == this)
        active_ = nullptr;
}

void EventLog::record(qint64 startNs, double ms, const char* receiverClass,
                      const QString& objectName, int type)
{
    // A handful of kinds: a linear search beats hashing here.
    auto total = std::find_if(totals_.begin(), totals_.end(), [&](const Total& t) {
        return t.receiverClass == receiverClass && t.type == type;
    });
    if (total == totals_.end())
        total = totals_.insert(totals_.end(), Total{receiverClass, type});
    ++total->count;
    total->ms += ms;
    if (ms < thresholdMs_)
        return;
    QString name = QLatin1String(receiverClass);
    if (!objectName.isEmpty())
        name += QLatin1Char(' ') + objectName;
    entries_.push_back(Entry{startNs, ms, name, type, tag_ ? tag_() : 0});
}

std::vector<EventLog::Entry> EventLog::between(qint64 fromNs, qint64 toNs) const
{
    std::vector<Entry> found;
    for (const Entry& entry : entries_)
        if (entry.startNs >= fromNs && entry.startNs < toNs)
            found.push_back(entry);
    std::sort(found.begin(), found.end(),
              [](const Entry& a, const Entry& b) { return a.ms > b.ms; });
    return found;
}

EventLog::Entry EventLog::longest(int from, int to) const
{
    Entry longest{0, 0.0, QString(), 0, -1};
    for (const Entry& entry : entries_)
        if (entry.tag >= from && entry.tag <= to && (longest.tag < 0 || entry.ms > longest.ms))
            longest = entry;
    return longest;
}

std::vector<EventLog::Total> EventLog::totals() const
{
    std::vector<Total> sorted = totals_;
    std::sort(sorted.begin(), sorted.end(),
              [](const Total& a, const Total& b) { return a.ms > b.ms; });
    return sorted;
}

QString EventLog::typeName(int type)
{
    static const QMetaEnum types = QMetaEnum::fromType<QEvent::Type>();
    const char* name = types.valueToKey(type);
    return name ? QLatin1String(name) : QString::number(type);
}

QString EventLog::describe(const Entry& entry)
{
    return QStringLiteral("%1 to %2 %3 ms")
        .arg(typeName(entry.type), entry.receiver)
        .arg(entry.ms, 0, 'f', 2);
}

bool BenchApplication::notify(QObject* receiver, QEvent* event)
{
    EventLog* log = EventLog::active_;
    if (!log || depth_ > 0 || QThread::currentThread() != thread())
        return QApplication::notify(receiver, event);
    ++depth_;
    const qint64 start = nowNs();
    // The receiver or the event may be gone afterwards.
    const int type = event->type();
    const char* className = receiver->metaObject()->className();
    const QString objectName = receiver->objectName();
    const bool result = QApplication::notify(receiver, event);
    --depth_;
    log->record(start, double(nowNs() - start) / 1e6, className, objectName, type);
    return result;
}

BusyLoad::BusyLoad(int threads)
{
    for (int i = 0; i < threads; ++i)
        threads_.emplace_back([this] {
            // Arithmetic alone: a busy core, not a busy memory bus.
            double x = 1.0;
            while (!stop_.load(std::memory_order_relaxed))
                for (int k = 0; k < 100000; ++k)
                    x = x * 1.0000001 + 1e-9;
            volatile double keep = x;
            (void)keep;
        });
}

BusyLoad::~BusyLoad()
{
    stop_ = true;
    for (std::thread& thread : threads_)
        thread.join();
}

QString BusyLoad::describe() const
{
    if (threads_.empty())
        return QString();
    return QStringLiteral("made load: %1 busy %2 for the run's length\n")
        .arg(threads_.size())
        .arg(threads_.size() == 1 ? QStringLiteral("thread") : QStringLiteral("threads"));
}

QString summaryHeader(int labelWidth)
{
    return QStringLiteral("  %1 %2 %3 %4 %5 %6\n")
        .arg(QString(), -labelWidth)
        .arg(QStringLiteral("median"), 11)
        .arg(QStringLiteral("p95"), 11)
        .arg(QStringLiteral("p99"), 11)
        .arg(QStringLiteral("max"), 11)
        .arg(QStringLiteral("samples"), 8);
}

QString summaryRow(const QString& label, const Summary& s, int labelWidth)
{
    return QStringLiteral("  %1 %2 %3 %4 %5 %6\n")
        .arg(label, -labelWidth)
        .arg(QStringLiteral("%1 ms").arg(s.median, 0, 'f', 3), 11)
        .arg(QStringLiteral("%1 ms").arg(s.p95, 0, 'f', 3), 11)
        .arg(QStringLiteral("%1 ms").arg(s.p99, 0, 'f', 3), 11)
        .arg(QStringLiteral("%1 ms").arg(s.max, 0, 'f', 3), 11)
        .arg(qulonglong(s.count), 8);
}

} // namespace kestrel::bench
