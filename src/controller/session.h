#pragma once

#include "controller/guard.h"
#include "controller/runhistory.h"
#include "controller/storedsettings.h"
#include "controller/sweepengine.h"
#include "data/run.h"
#include "link/workqueue.h"
#include "store/runrecorder.h"

#include <QObject>
#include <QSettings>

#include <functional>
#include <memory>

namespace kestrel
{

// What a sweep asks for besides the instruments.
struct SweepRequest {
    SweepPlan plan;
    int rangeIndex = 0;
    std::optional<double> limitAmps;
    int settleMs = 0;
    MeterRate meterRate = MeterRate::Medium;
    std::optional<double> complianceAmps;
    bool continueAtCompliance = false;
    std::optional<double> nplc;
    int readings = 1;
};

// The step source of a family: each of its levels is set and confirmed, the settle time
// waited, then the whole main sweep runs as a curve of its own.
struct StepRequest {
    SweepPlan plan;
    std::optional<double> complianceAmps; // none: the step profile's default limit
};

// What a family of curves is doing between its curves (the session's own state).
struct FamilyRun {
    QString id;
    SweepRequest request;
    StepRequest step;
    Endpoint source;
    ProfilePtr profile;
    QString identity;
    int index = 0;            // the curve being measured, or the level being set
    bool stepTouched = false; // a setting went to the step source
    bool stopping = false;    // Stop, a failure or the end: no more curves
    bool shuttingDown = false;
    bool curveOpen = false; // the last curve's record waits for the step source's end
    QStringList older;      // errors the step source held before
};

// Where runs are kept and who guards the source; none of it by default.
struct SessionOptions {
    QString storePath; // the run store; empty: runs are not kept
    QString program;   // what the store names as the measuring program
    bool guarded = false;
    QString guardProgram; // kestrel-guard, when guarded
};

// What the measurement window decides, without any widget: which instrument is
// identified as what, when a sweep may start and stop, what Save and Export write,
// where every run is kept as it is measured, and who switches the source off if this
// program ends during a sweep. The window and the headless sweep both work through it.
class Session : public QObject
{
    Q_OBJECT
  public:
    enum class Which { Source, Meter, Step };

    // home: the folder holding sendArbcmd.sh; link: how commands reach the
    // instruments; settings: where endpoints and sweep fields are remembered (none:
    // nothing is).
    Session(const QString& home, std::unique_ptr<InstrumentLink> link,
            std::unique_ptr<QSettings> settings, const SessionOptions& options = {},
            QObject* parent = nullptr);
    ~Session() override;

    // The measurement state under its usual names: the endpoints of the last
    // identification of each instrument, which every sweep addresses.
    const QString pat; // home folder and "/": where sendArbcmd.sh lives
    QString sip, sport, dip, dport;
    Endpoint stepSource; // the step source's, once identified or asked

    // Sends *IDN? to the endpoint; identified() tells the outcome. Refused while a
    // sweep runs.
    void identify(Which which, const Endpoint& endpoint);
    bool isIdentified(Which which) const;
    QString identity(Which which) const; // empty unless identified
    // The profile an instrument is spoken to with: the one its identity matched, or the
    // one chosen since; the default profile before an identification.
    ProfilePtr profile(Which which) const;
    // Chooses a profile by name; false, with the reason in statusShown(), when there is
    // none of that name or it cannot fill the role.
    bool chooseProfile(Which which, const QString& name);
    // Source and meter are one instrument whose profile sources and measures.
    bool meterIsSource() const;
    // The source measures too (a source-measure unit): the meter is the source's
    // endpoint, identity and profile, identified whenever the source is, and follows
    // each identification and profile choice of the source. Turned off, the meter must
    // be identified again. Refused while a sweep runs.
    bool setMeterFollowsSource(bool on);
    bool meterFollowsSource() const { return meterFollows_; }

    // Starts a sweep of the identified instruments; false, with the reason in
    // statusShown(), when it cannot start.
    bool start(const SweepRequest& request);
    // Asked once every field is valid and the sweep would start: true to start it. A family
    // sweeps the plan once for each of its curves.
    using StartQuestion =
        std::function<bool(const SweepPlan& plan, int settleMs, int readings, int curves)>;
    // The window's Run: the sweep fields as typed, checked, remembered, started (a family
    // when typed.family says so). ask, when given, comes last, so nobody is asked about a
    // sweep that is refused anyway.
    bool runTyped(const StoredSweep& typed, const StartQuestion& ask = {});
    // A family: for each step level the step source is set, confirmed and settled, then
    // the sweep runs; each curve is a run of its own. The step source is switched off at
    // the end, by Stop and at every failure. False, with the reason in statusShown(),
    // when it cannot start.
    bool startFamily(const SweepRequest& request, const StepRequest& step);
    bool isFamilySweeping() const { return bool(family_); }
    // The curves of the family running now, or of the last one, in order.
    const std::vector<std::shared_ptr<const Run>>& familyCurves() const { return curves_; }
    void stop();
    bool isSweeping() const { return sweep_.isRunning() || family_; }
    // Sends :OUTP1 OFF to the identified source, or to this endpoint when none is
    // identified; during a sweep, Stop does it.
    void switchSourceOff(const Endpoint& typed);

    // The run Save and Export write: the one chosen from the history, else the sweep
    // running now or the last one; null before the first.
    std::shared_ptr<const Run> currentRun() const { return chosen_ ? chosen_ : sweep_.run(); }
    // The run store's file; empty when runs are not kept.
    QString storePath() const { return options_.storePath; }
    // A run from the store becomes the current run, until the next sweep starts.
    void choose(std::shared_ptr<const Run> run)
    {
        chosen_ = std::move(run);
        emit currentRunChanged();
    }
    // A fit of run made in this session: Export writes it with the run's own.
    void addFit(const std::shared_ptr<const Run>& run, const RunFit& fit);
    // The run's fits, those it was read with and those made since, oldest first.
    std::vector<RunFit> fitsOf(const std::shared_ptr<const Run>& run) const;
    // Every run in the store, read on a thread of its own.
    RunHistory& history() { return history_; }
    // The store takes this program's runs: a new sweep's run gets an id there.
    bool isKeepingRuns() const { return recorder_.isKeeping(); }
    // Why Save or Export has nothing to write ("Nothing to save: ..."), or empty.
    QString nothingToSave() const;
    void save(const QString& path);
    void exportCsv(const QString& path);
    // The last run's points are nowhere else: the store is not keeping them and they
    // were neither saved nor exported.
    bool lastRunIsOnlyHere() const;

    // Runs that ended with this program during their sweep, found in the store (once
    // each): a sentence for each, what happened and what became of the output.
    void recover(std::function<void(const QStringList& sentences, bool outputMayBeOn)> done);
    const RunRecorder& recorder() const { return recorder_; }
    RunRecorder& recorder() { return recorder_; }
    // Warnings that hold until the program ends: the store, the guard.
    QStringList warnings() const { return warnings_; }

    // The end of the program: a running sweep switches the output off at once; files
    // being written are finished. False when the switch-off failed.
    bool shutdown(const SweepEngine::EndText& why);

    SweepEngine& sweep() { return sweep_; }
    QSettings* settings() const { return settings_.get(); }
    // Where diagnostic lines go; nowhere until set.
    std::function<void(const QString&)> printLine;

  signals:
    void identifying(kestrel::Session::Which which, const QString& text);
    void identified(kestrel::Session::Which which, bool ok, const QString& text);
    // The instrument is spoken to with another profile, matched or chosen.
    void profileChanged(kestrel::Session::Which which, const QString& name);
    void sweepingChanged(bool sweeping);
    void statusShown(const QString& text, bool problem);
    void warned(const QString& text); // a lasting warning, see warnings()
    // Points wait in memory for a busy run store (waiting), or all of them are kept now.
    void storeWaiting(const QString& text, bool waiting);
    // The sweep started last has its row in the run store, under this id.
    void runKept(qint64 id);
    // currentRun() is another run: a sweep started or a run was chosen.
    void currentRunChanged();
    // A sweep or a whole family has ended, every output switched off or said not to be:
    // the outcome and message of its last run (or of the step source's set-up), and
    // whether every output is confirmed off.
    void ended(kestrel::Run::Outcome outcome, const QString& message, bool outputsOff);

  private:
    struct Instrument {
        bool identified = false;
        QString identity;
        quint64 asked = 0; // the identification whose answer counts
        ProfilePtr profile;
    };
    Instrument& instrument(Which which)
    {
        return which == Which::Source ? source_ : which == Which::Meter ? meter_ : step_;
    }
    const Instrument& instrument(Which which) const
    {
        return which == Which::Source ? source_ : which == Which::Meter ? meter_ : step_;
    }
    // The engine's sweep ended: the next curve, or the family's end.
    void curveEnded(Run::Outcome outcome, const QString& message);
    void setStepLevel(bool first);
    void stepLevelSet(const Step& result, bool touched, const QStringList& older);
    void startCurve();
    // Switches the step source off, then ends the family with what the last curve said.
    void endFamily(Run::Outcome outcome, const QString& message);
    void familyEnded(Run::Outcome outcome, QString message, const SwitchOff& off);
    // For the end of the program: the step source switched off here and now.
    bool switchStepOffNow(const SweepEngine::EndText& why);
    void print(const QString& text);
    SweepSettings settingsFor(const SweepRequest& request) const;
    void warn(const QString& text);
    // With the meter following the source: the meter becomes what the source is now.
    void followSource();
    void sweepStarted();
    // The run's end goes to the store; the source's guard stands down once it is off.
    void sweepFinished(bool sourceOff);
    Guard* guardOf(const Endpoint& source, bool stepSource = false) const;
    // A guard for the source that switches it off by that profile, kept with the others;
    // null with the reason in *problem.
    Guard* startGuard(const Endpoint& source, const QString& profileFile, QString* problem,
                      bool stepSource = false);
    // A guard has gone: another takes its place, or the sweep on its source ends.
    void guardEnded(Guard* gone);
    void standDownGuard(const Endpoint& source, bool stepSource = false);
    // The end of the run is in the store: a guard kept for it stands down.
    void runEnded(qint64 id);

    const SessionOptions options_;
    std::unique_ptr<InstrumentLink> link_;
    std::unique_ptr<QSettings> settings_;
    RunRecorder recorder_; // before the queues: their jobs keep points in it
    std::vector<std::unique_ptr<Guard>> guards_;
    static constexpr int maxGuardRestarts = 3; // in one sweep
    int guardRestarts_ = 0;
    qint64 keptRunId_ = 0; // the store's id of the sweep running now, once it has one
    // The source whose guard stands down once the store has the end of that run.
    std::optional<std::pair<qint64, Endpoint>> standDownAfter_;
    QStringList warnings_;
    std::weak_ptr<const Run> savedRun_; // the run last saved or exported
    // The source profile of each run found with its output maybe on, by its source:
    // Switch source off uses it there.
    std::vector<std::pair<Endpoint, QString>> recoveredProfiles_;
    std::shared_ptr<const Run> chosen_;
    std::vector<std::pair<std::weak_ptr<const Run>, RunFit>> addedFits_;
    RunHistory history_;
    WorkQueue instrumentQueue_;
    WorkQueue fileQueue_; // so cancelling instrument work never drops a save
    SweepEngine sweep_;
    Instrument source_, meter_, step_;
    std::optional<FamilyRun> family_;
    std::vector<std::shared_ptr<const Run>> curves_;
    bool meterFollows_ = false;
};

} // namespace kestrel
