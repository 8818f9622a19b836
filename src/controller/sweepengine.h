#pragma once

#include "data/run.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>

namespace kestrel
{

class InstrumentLink;
class WorkQueue;
struct Reading;
struct Step;
struct SwitchOff;

// Why these profiles cannot carry out those settings (a role they cannot fill, a
// range, an NPLC or a compliance they do not offer); empty when they can.
// Why a source's profile cannot set that current limit (role: "source" or "step source";
// field: where the limit was given); empty when it can.
QString limitProblem(const InstrumentProfile& source, double amps, const QString& role,
                     const QString& field);

QString sweepProfileProblem(const SweepSettings& settings, const InstrumentProfile& source,
                            const InstrumentProfile& meter);

// "12 of 200" points done, or "12" of a hold until Stop (total 0).
QString pointsDoneText(int done, int total);

// One I-V sweep at a time: set-up, one tick per 0.1 s or more (set the level, confirm
// it, wait the settle time, measure, record [level, current]), and the output
// switched off at the end,
// whatever ends it. Every command goes through the work queue, so nothing here ever
// blocks the thread it lives on, and no widget is needed: the window and the
// headless sweep both drive this class. Each sweep is a Run of its own.
class SweepEngine : public QObject
{
    Q_OBJECT
  public:
    static constexpr int tickIntervalMs = 100;

    SweepEngine(WorkQueue& queue, InstrumentLink& link, QObject* parent = nullptr);
    ~SweepEngine() override;

    // Soak tests and benchmarks run the same sweep faster than real instruments allow:
    // the shortest tick, and the grid the tick is kept on.
    void setTickInterval(int ms)
    {
        baseTickMs_ = std::max(0, ms);
        timerCH2.setInterval(baseTickMs_);
    }
    // The tick for a settle time and the time the tick's exchanges take: the smallest
    // whole multiple of the shortest tick that holds both; without a settle time, the
    // shortest tick.
    int tickFor(int settleMs, qint64 chainNs) const;
    // The tick of the sweep running now, or the last one.
    int tickMs() const { return tickMs_; }
    // Called on the work queue's thread for every point as it is read (the run store
    // commits it there), with milliseconds since the sweep started; from then on the
    // point is the run's, even when Stop cancels the tick that read it.
    // inCompliance is 1 when the source was at its current limit, 0 when not, -1 when it
    // cannot tell. With several readings per point, amps is their mean and sd their sample
    // standard deviation; NaN with one.
    using PointKeeper = std::function<void(int index, double volt, double amps, qint64 ms,
                                           int inCompliance, double sd)>;
    void setPointKeeper(PointKeeper keeper) { keeper_ = std::move(keeper); }

    // Starts a sweep; false (and nothing sent) while one is still running or
    // switching off. Settings its profiles cannot carry out end the run at once as
    // failed, with nothing sent.
    bool start(const SweepSettings& settings, const QString& sourceIdentity,
               const QString& meterIdentity);
    // Ends a running sweep at once: the command in flight is cancelled, then the
    // output is switched off.
    void stop();
    // The same for a reason from outside the sweep (the guard is gone): the run ends
    // as failed, its message beginning with why.
    void abort(const QString& why);
    // Why the program ends, given the points recorded and planned by then.
    using EndText = std::function<QString(int done, int total)>;
    // For the end of the program: cancels what is in flight and switches the output
    // off here and now, waiting at most the link's limit. The run ends as
    // interrupted, its message beginning with why. True when the output is off.
    bool switchOffNow(const EndText& why);

    // After the end: more words for the run's message, and whether another output it used
    // is off too (a family's step source).
    void amendEnd(const QString& more, bool otherOff);

    bool isRunning() const { return state_ != State::Idle; }
    // What the tick in flight is waiting for: the source (its level, its confirmation,
    // whether it is at its limit), the settle time, or the reading.
    enum class Waiting { Source, Settle, Meter };
    Waiting waitingFor() const;
    // Source and meter are one instrument (a source-measure unit): set up once, read with
    // its own measurement query.
    bool measuresWithSource() const { return combined_; }
    // The profiles of the sweep running now, or the last one; null when none was found.
    ProfilePtr sourceProfile() const { return sourceProfile_; }
    // The sweep running now, or the last one; null before the first.
    std::shared_ptr<const Run> run() const { return run_; }
    int pointsDone() const { return run_ ? int(run_->points.size()) : 0; }
    // The points the sweep running now (or the last one) is to take; 0 for a hold until
    // Stop, whose end nobody knows.
    int plannedPoints() const
    {
        return !run_ || run_->settings.plan.untilStop() ? 0 : run_->settings.plan.count();
    }

    // The measurement state under its usual names.
    QString command;          // the command most recently prepared
    double appliedVolt = 0.0; // the level of the current tick
    double IVinterval = 0.0;  // the step between two levels
    qint64 xyflag = 0;        // 1: the next point starts a new data set
    QTimer timerCH2;          // the sweep tick timer

  signals:
    void started(int totalPoints); // 0: until Stop
    void measurementReply(const QString& reply);
    void pointRecorded(int index, double volt, double amps, int inCompliance);
    // total 0 and no expected end: a hold until Stop.
    void progress(int done, int total, const QDateTime& expectedEnd);
    void finished(kestrel::Run::Outcome outcome, const QString& message);

  private:
    enum class State { Idle, SettingUp, Running, SwitchingOff };
    struct SetUp;
    struct Tick;
    struct Taken;

    void setUpDone(const SetUp& result);
    void timerc2();
    void measured(double level, const Tick& tick);
    // The points read since, in order, join the run.
    void takePoints();
    void finish(Run::Outcome outcome, const QString& message, bool switchOff = true);
    void complete(Run::Outcome outcome, QString message, const SwitchOff& off, bool switchedOff);
    QString stoppedMessage() const;
    QDateTime expectedEnd() const;

    WorkQueue& queue_;
    InstrumentLink& link_;
    std::shared_ptr<Run> run_;
    State state_ = State::Idle;
    bool tickBusy_ = false;
    bool tickMissed_ = false; // the timer fired while the tick was busy
    QStringList notes_;       // older instrument errors found before the sweep
    QStringList notesLeft_;   // the same, from a queue the set-up could not empty
    PointKeeper keeper_;
    std::shared_ptr<Taken> taken_;
    ProfilePtr sourceProfile_;
    ProfilePtr meterProfile_;
    bool combined_ = false;
    QElapsedTimer sweepClock_;
    int baseTickMs_ = tickIntervalMs;
    int tickMs_ = tickIntervalMs;
    qint64 setUpChainMs_ = 0;  // a tick's exchanges, as the set-up measured them
    qint64 firstPointMs_ = -1; // on sweepClock_, once the first point is in
};

} // namespace kestrel
