#pragma once

#include "controller/sweepplan.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

namespace kestrel
{

class WorkQueue;

struct Endpoint {
    QString address;
    QString port;
};

struct SweepSettings {
    Endpoint source;
    Endpoint meter;
    SweepPlan plan;
    int rangeIndex = 0;
    std::optional<double> limitAmps;
};

// One I-V sweep: set-up, one tick per 0.1 s (set the level, measure, record
// [level, current]), and the output switched off at the end, whatever ends it.
// Every command goes through the work queue, so nothing here ever blocks the
// thread it lives on, and no widget is needed: the window and the headless
// sweep both drive this class.
class SweepEngine : public QObject
{
    Q_OBJECT
  public:
    enum class Outcome { Completed, Stopped, Failed, LimitReached, Overload };
    Q_ENUM(Outcome)

    static constexpr int tickIntervalMs = 100;

    SweepEngine(WorkQueue& queue, const QString& pat, QObject* parent = nullptr);
    ~SweepEngine() override;

    // Soak tests and benchmarks run the same sweep faster than real instruments allow.
    void setTickInterval(int ms) { timerCH2.setInterval(ms); }

    // Starts a sweep; a running one is abandoned first (its late replies are ignored).
    void start(const SweepSettings& settings);
    // Ends a running sweep after the command in flight and switches the output off.
    void stop();
    // For the end of the program: drops queued commands, ends the one in flight and
    // switches the output off at once, waiting at most the runner's limit. Returns
    // what went wrong, or an empty text.
    QString switchOffNow();

    bool isRunning() const { return state_ != State::Idle; }
    const SweepSettings& settings() const { return settings_; }
    int pointsDone() const { return tick_; }

    // The measurement state under its usual names.
    QString command;          // the command most recently prepared
    double appliedVolt = 0.0; // the level of the current tick
    double IVinterval = 0.0;  // the step between two levels
    qint64 xyflag = 0;        // 1: the next point starts a new data set
    QTimer timerCH2;          // the sweep tick timer

  signals:
    void started(int totalPoints);
    void measurementReply(const QString& reply);
    void pointRecorded(int index, double volt, double amps);
    void progress(int done, int total, const QDateTime& expectedEnd);
    void finished(kestrel::SweepEngine::Outcome outcome, const QString& message);

  private:
    enum class State { Idle, SettingUp, Running, SwitchingOff };
    enum class Instrument { Source, Meter };
    using Then = std::function<void(const QString& reply)>;

    void timerc2();
    void send(Instrument to, const QString& text, Then then);
    void sendSetting(Instrument to, const QString& text, Then then);
    void setUpStep(int step);
    void measured(double level, const QString& reply);
    void endTick();
    void finish(Outcome outcome, const QString& message);
    void finishStopped();
    QString levelCommand(double level) const;
    QDateTime expectedEnd() const;

    WorkQueue& queue_;
    const QString pat_;
    SweepSettings settings_;
    State state_ = State::Idle;
    quint64 generation_ = 0; // replies carry the generation they were sent in
    int tick_ = 0;           // points done
    bool tickBusy_ = false;
    bool stopRequested_ = false;
    QElapsedTimer sweepClock_;
};

} // namespace kestrel
