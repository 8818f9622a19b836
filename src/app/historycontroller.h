#pragma once

#include "controller/session.h"
#include "data/datafile.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>

#include <functional>

namespace kestrel
{

class BarChart;
class HistoryPanel;
class RunHistoryModel;

// Between the history panel, the store's runs and the chart: a ticked run is loaded
// and drawn, the selected run becomes the one Save and Export write, the sweep being
// measured is drawn live under its store id, deleting asks first, and Open… brings a
// file in as a run.
class HistoryController : public QObject
{
    Q_OBJECT
  public:
    // Runs shown at start, and kept shown by default as new sweeps come.
    static constexpr int defaultShownRuns = 5;

    HistoryController(Session& session, HistoryPanel* panel, BarChart* chart,
                      QObject* parent = nullptr);

    // Hooks of the window: a question with Yes and No, and the status line.
    std::function<bool(const QString& question)> confirm;
    std::function<void(const QString& text, bool problem)> showStatus;

    void start(); // lists the store, showing the latest runs
    // The live run: drawn as its points come, under the store's id once it has one.
    void sweepStarted();
    void pointRecorded(double volt, double amps, bool inCompliance, double sd);
    void sweepFinished();
    void hideAllButCurrent();
    // A run read from the lab store: drawn and made the current run, kept nowhere here.
    // Fits of it are shown, not kept. bench: whose run it is.
    void showLabRun(std::shared_ptr<const Run> run, const QString& bench);
    // Writes the chart as PNG or SVG: the runs shown and always the current run (the one
    // Save and Export CSV write), drawn on top even when it is not ticked. The message
    // names the runs drawn.
    WriteResult exportChart(const QString& path);
    // Export CSV with a family's row chosen: every curve of it in one file, written on the
    // store's thread, the status line told how it went. False when no family's row is
    // chosen: the current run is written as ever.
    bool exportFamilyCsv(const QString& path);

    // Why the current run has nothing to write ("run 13 has no points."), or empty.
    QString whyNothingIn(const Run* run) const;
    QSet<qint64> shownRuns() const;
    qint64 currentRun() const { return current_; }
    qint64 liveRun() const { return live_; }

  private:
    void firstListed();
    void loaded(const LoadedRun& loaded);
    void setShown(qint64 id, bool shown, bool byUser);
    void choose(qint64 id, bool announce = true);
    void askToDelete(qint64 id);
    void imported(qint64 id, const QString& filePath);
    void beginLive(qint64 key);
    void rollOffOldest(); // only runs shown by default go; those the user ticked stay
    QString label(const Run& run, qint64 id) const;
    // "run 12", "runs 12, 22 and 23", "run 12 and the sweep at 16:28".
    QString namesOf(QList<qint64> keys) const;

    Session& session_;
    QPointer<HistoryPanel> panel_;
    QPointer<BarChart> chart_;
    RunHistoryModel* model_; // the runs listed and which are shown
    QSet<qint64> tickedByUser_;
    QSet<qint64> drawn_;   // loaded onto the chart
    QSet<qint64> loading_; // asked for, for the chart
    qint64 current_ = 0;
    qint64 chosenPending_ = 0; // selected, its points still being read
    // The run last made the session's current one, and its id: the session's current
    // run is this one until a sweep starts or another is chosen.
    std::shared_ptr<const Run> chosenRun_;
    qint64 chosenKey_ = 0;
    QHash<qint64, QDateTime> localStarts_; // when the runs not kept in the store started
    QHash<qint64, QString> labBenches_;    // runs of the lab store: whose
    bool announceChosen_ = false;
    bool chosenFamily_ = false; // chosen as its family's row
    qint64 live_ = 0;      // the store id of the sweep being measured, or a local key
    qint64 localKeys_ = 0; // keys of runs not kept in the store count down from -1
    bool liveBegun_ = false;
    bool waitingForId_ = false;
};

} // namespace kestrel
