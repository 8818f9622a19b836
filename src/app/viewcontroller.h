#pragma once

#include "controller/session.h"
#include "link/homedirectory.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace kestrel
{

class AnalysisController;
class AnalysisPanel;
class BarChart;
class HistoryController;
class HistoryPanel;
class LabController;
class LabPanel;
class ProfileChoices;

// The controller of the measurement window: it reaches the window's widgets through
// weak outlets, is the target of every action, and shows what the session decides.
// Instrument traffic and file writes run off the GUI thread, so the window stays
// live while an instrument thinks.
class ViewController : public QObject
{
    Q_OBJECT
  public:
    // home: the folder holding sendArbcmd.sh; settings: where endpoints and sweep
    // fields are remembered (the application's own store when none is given); link:
    // how commands reach the instruments (the script in home when none is given).
    // options: where runs are kept and who guards the source (neither by default).
    explicit ViewController(const QString& home = homeDirectory(),
                            std::unique_ptr<QSettings> settings = {},
                            std::unique_ptr<InstrumentLink> link = {},
                            const SessionOptions& options = {}, QObject* parent = nullptr);
    ~ViewController() override;

    // Wires the connected outlets to their actions; once, after they are set.
    void connectOutlets();
    // Restores the remembered endpoints and sweep fields; once, after connectOutlets.
    void viewDidLoad();
    // The window is closing or the program was told to end: a running sweep switches
    // the source output off first. False when that failed.
    bool shutdown(const SweepEngine::EndText& why);
    // Whether the window may close: only when the last run's points are nowhere else
    // (the store is not keeping runs, nothing was saved) does it ask.
    bool mayClose();

    // Hooks the window fills with dialogs and tests with their own answers. Each is
    // given the path it proposes (the folder last used, a name from the run) and
    // returns the chosen path, or an empty text when the user cancelled.
    using PathPanel = std::function<QString(const QString& proposed)>;
    PathPanel showSavePanel;
    PathPanel showCsvPanel;
    PathPanel showChartPanel;
    PathPanel showOpenPanel;   // proposed: the folder last used
    PathPanel showLevelsPanel; // a file of levels; proposed: the folder last used
    // Asks a question with Yes and No; true for Yes.
    std::function<bool(const QString& question)> confirm;
    // Where diagnostic lines go (standard output by default).
    std::function<void(const QString&)> printLine;

    Session& session() { return *session_; }
    SweepEngine& sweep() { return session_->sweep(); }
    LabController* labController() { return lab_.get(); }

    // Outlets.
    QPointer<QLineEdit> sourceip, sourceport, drainip, drainport;
    QPointer<QLabel> sourcestatt, drainstat;
    QPointer<QPushButton> sourceIdentify, drainIdentify;
    QPointer<QLineEdit> IVstart, IVstop, IVsteps, ivLimit, ivSettle;
    QPointer<QComboBox> drainSensitivity, ivShape, meterRate;
    QPointer<QComboBox> sourceProfile, meterProfile;
    QPointer<QCheckBox> sourceMeasures, continueAtCompliance;
    QPointer<QLineEdit> ivCompliance, ivNplc, ivLevels, ivCycles, ivReadings;
    QPointer<QPushButton> ivLevelsFile;
    QPointer<QLineEdit> ivHoldLevel, ivDuration; // a hold's, in the row of Start and Stop
    QPointer<QLabel> xAxis, YAxis;
    QPointer<BarChart> chart;
    QPointer<HistoryPanel> history;
    QPointer<LabPanel> lab;      // every bench's runs, from the lab store
    QPointer<QLabel> labWaiting; // the lasting line while runs wait for the lab store
    QPointer<AnalysisPanel> analysis;
    QPointer<QPushButton> ivRun, ivStop, switchOff, savebutton, csvbutton;
    QPointer<QProgressBar> ivProgress;
    QPointer<QPlainTextEdit> sweepstatus;
    QPointer<QLabel> identityline, storeWarning;
    QPointer<QCheckBox> logCurrent, logVoltage, showLines;
    QPointer<QPushButton> clearTraces, exportChart;
    // A family's step source: its box shows only while stepFamily is ticked.
    QPointer<QCheckBox> stepFamily;
    QPointer<QGroupBox> stepBox;
    QPointer<QLineEdit> stepip, stepport, stepStart, stepStop, stepSteps, stepCompliance;
    QPointer<QPushButton> stepIdentify;
    QPointer<QComboBox> stepProfile;

  public slots:
    void sourceok();
    void drainok();
    void runIV();
    void chooseLevelsFile();
    void stopIV();
    void switchSourceOff();
    void savetofile();
    void exportCsv();
    void exportChartImage();
    // Open…: a data file or a Kestrel CSV becomes a run in the store.
    void openFile();
    void openPath(const QString& path);
    void clearEarlierTraces();
    void setLogCurrent(bool on);
    void setLogVoltage(bool on);
    // The lab store's URI or this bench's name changed in the shared settings.
    void labSettingsChanged();

  signals:
    // Every message the window shows in its status area.
    void statusShown(const QString& text, bool problem);

  private:
    void identify(Session::Which which);
    void showIdentification(Session::Which which, bool ok, const QString& text);
    void showStatus(const QString& text, bool problem = false);
    // The lasting warnings and what the run store is waiting for, beside the status.
    void showStoreWarning();
    // Asks the panel where to write the current run, or says why not (nothing to
    // write, cancelled) and gives an empty text.
    QString pathForRun(const PathPanel& panel, const QString& suffix, bool save);
    // The folder of the last file saved, exported or opened, while it exists.
    QString lastFolder() const;
    void rememberFolder(const QString& path);
    void setSweeping(bool sweeping);
    // More points or a longer time than this asks first.
    static constexpr int longSweepPoints = 10000;
    static constexpr qint64 longSweepSeconds = 15 * 60;
    QLabel* statusLabel(Session::Which which) const;
    bool confirmLongSweep(const SweepPlan& plan, int settleMs, int readings, int curves);
    // Marks the sweep fields a problem is about (none for an empty text).
    void markFields(const QString& message);
    bool isShape(SweepShape shape) const; // the one chosen in Shape
    // The sweep's text fields and what each holds of the stored sweep.
    std::vector<std::pair<QLineEdit*, QString StoredSweep::*>> sweepFields() const;
    // Start, Stop and Steps, or Levels, as the shape asks; none while sweeping.
    void enableShapeFields(bool editable);
    void updateIdentityLine();
    void sweepStarted(int totalPoints);
    void sweepProgress(int done, int total, const QDateTime& expectedEnd);
    // The latest point on the progress bar, and what the sweep waits for once a reading
    // takes longer than a tick or two.
    void showProgress();
    qint64 stalledAfterMs();
    void sweepFinished();
    // Until the user does something else, the status area says what comes next: identify
    // the instruments, then Run.
    void showReadiness();

    std::unique_ptr<Session> session_;
    std::unique_ptr<HistoryController> history_;
    std::unique_ptr<AnalysisController> analysis_;
    std::unique_ptr<LabController> lab_;
    std::unique_ptr<ProfileChoices> choices_;
    static constexpr int progressIntervalMs = 200;
    QElapsedTimer progressClock_; // since the progress was last shown
    QTimer progressLater_;        // shows a point that came too soon after the last shown
    QTimer stallClock_;           // while a sweep runs: counts the wait for a reading up
    QElapsedTimer sincePoint_;
    int lastDone_ = 0;
    int lastTotal_ = 0;
    QDateTime lastEnd_;
    bool readinessShown_ = true; // the window opens with "Identify both instruments…"

    QString storeWaiting_; // points waiting for the store, or that they are kept now
};

} // namespace kestrel
