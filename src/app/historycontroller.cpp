#include "app/historycontroller.h"

#include "app/historypanel.h"
#include "chart/barchart.h"
#include "controller/runhistorymodel.h"
#include "controller/sweepdescription.h"
#include "data/numbertext.h"
#include "data/printabletext.h"
#include "data/sitext.h"

#include <QLocale>

#include <algorithm>

namespace kestrel
{

namespace
{

// Where a dual sweep turns back, in each of its cycles: its return legs are drawn apart.
SweepLegs legsOf(const Run& run)
{
    const SweepPlan& plan = run.settings.plan;
    SweepLegs legs(plan.shape == SweepShape::Dual ? plan.steps + 1 : -1,
                   plan.cycles > 1 ? plan.cycleCount() : 0);
    legs.overTime = plan.shape == SweepShape::Hold;
    return legs;
}

// "a", "a and b", "a, b and c".
QString joinedInWords(const QStringList& items)
{
    if (items.size() < 2)
        return items.value(0);
    return QStringList(items.mid(0, items.size() - 1)).join(QStringLiteral(", ")) +
           HistoryController::tr(" and ") + items.last();
}

} // namespace

HistoryController::HistoryController(Session& session, HistoryPanel* panel, BarChart* chart,
                                     QObject* parent)
    : QObject(parent), session_(session), panel_(panel), chart_(chart),
      model_(new RunHistoryModel(session.history(), this))
{
    RunHistory& history = session_.history();
    connect(model_, &RunHistoryModel::firstPageListed, this, &HistoryController::firstListed);
    connect(model_, &RunHistoryModel::shownToggled, this,
            [this](qint64 id, bool shown) { setShown(id, shown, true); });
    // A row that comes in may be the current run's: the sweep's own, or a file opened.
    connect(model_, &QAbstractItemModel::rowsInserted, this, [this] {
        if (panel_ && current_ != 0 && panel_->current() != current_)
            panel_->setCurrent(current_);
    });
    connect(&history, &RunHistory::loaded, this, &HistoryController::loaded);
    connect(&history, &RunHistory::imported, this, &HistoryController::imported);
    connect(&history, &RunHistory::removed, this, [this](qint64 id) {
        setShown(id, false, false);
        if (current_ == id)
            choose(0);
        if (showStatus)
            showStatus(tr("Run %1 was deleted.").arg(id), false);
    });
    connect(&history, &RunHistory::exported, this, [this](bool ok, const QString& message) {
        if (showStatus)
            showStatus(message, !ok);
    });
    connect(&history, &RunHistory::failed, this, [this](const QString& problem) {
        if (showStatus)
            showStatus(problem, true);
    });
    connect(&session_, &Session::runKept, this, [this](qint64 id) {
        if (waitingForId_ && !liveBegun_)
            beginLive(id);
    });
    if (panel_) {
        panel_->setModel(model_);
        connect(panel_, &HistoryPanel::chosen, this, [this](qint64 id) { choose(id); });
        connect(panel_, &HistoryPanel::deleteRequested, this, &HistoryController::askToDelete);
    }
}

void HistoryController::start()
{
    model_->fetchMore(QModelIndex());
}

QSet<qint64> HistoryController::shownRuns() const
{
    return model_->shownRuns();
}

QString HistoryController::label(const Run& run, qint64 id) const
{
    const QString when = run.started.toLocalTime().toString(QStringLiteral("HH:mm"));
    if (const auto bench = labBenches_.constFind(id); bench != labBenches_.cend())
        return run.settings.step
                   ? tr("%1: step %2 V, %3 (lab)")
                         .arg(printableText(*bench),
                              QString::fromStdString(formatDouble(run.settings.step->level)), when)
                   : tr("%1: run at %2 (lab)").arg(printableText(*bench), when);
    // A family's curve is named by its step level, its run after.
    if (const auto& step = run.settings.step)
        return id > 0 ? tr("step %1 V, run %2")
                            .arg(QString::fromStdString(formatDouble(step->level)))
                            .arg(id)
                      : tr("step %1 V").arg(QString::fromStdString(formatDouble(step->level)));
    return id > 0 ? tr("Run %1, %2").arg(id).arg(when) : tr("Sweep at %1").arg(when);
}

void HistoryController::firstListed()
{
    // A family is one row: all its curves or none.
    for (int row = 0; row < std::min(model_->rowCount(), defaultShownRuns); ++row)
        for (const qint64 id : model_->idsAt(row))
            setShown(id, true, false);
    if (panel_)
        panel_->setCurrent(current_ ? current_ : live_);
}

void HistoryController::setShown(qint64 id, bool shown, bool byUser)
{
    if (byUser) {
        if (shown)
            tickedByUser_.insert(id);
        else
            tickedByUser_.remove(id);
    }
    model_->setShown(id, shown);
    if (!shown) {
        loading_.remove(id);
        drawn_.remove(id);
        if (chart_)
            chart_->hideRun(id);
        return;
    }
    if (id == live_ || drawn_.contains(id) || loading_.contains(id))
        return;
    loading_.insert(id);
    session_.history().load(id, true);
}

void HistoryController::loaded(const LoadedRun& loaded)
{
    const Run& run = *loaded.run;
    if (chosenPending_ == loaded.id) {
        chosenPending_ = 0;
        chosenRun_ = loaded.run;
        chosenKey_ = loaded.id;
        session_.choose(chosenRun_);
        if (showStatus && announceChosen_ && chosenFamily_)
            showStatus(tr("The family's last curve, %1, is the current run: Save writes its %2 "
                          "points, Export CSV every curve of the family.")
                           .arg(label(run, loaded.id), countText(qint64(run.points.size()))),
                       false);
        else if (showStatus && announceChosen_)
            showStatus(tr("%1 is the current run: Save and Export write its %2 points.")
                           .arg(label(run, loaded.id), countText(qint64(run.points.size()))),
                       false);
    }
    // A run read only to be chosen has no chart records: a read for the chart may still
    // be on its way.
    if (!loaded.chartPoints || !loading_.remove(loaded.id) || !model_->isShown(loaded.id) ||
        !chart_)
        return;
    drawn_.insert(loaded.id);
    chart_->showRun(loaded.id, std::move(*loaded.chartPoints), label(run, loaded.id), legsOf(run),
                    run.inCompliance, run.currentSd);
    if (const auto& step = run.settings.step)
        chart_->setRunStyle(loaded.id, familyStyle(step->index, step->count));
    // A run shown later does not take the place of the current one on top; with none
    // chosen yet, the newest run shown is on top.
    const qint64 top = current_ ? current_
                       : live_  ? live_
                                : *std::max_element(drawn_.begin(), drawn_.end());
    chart_->setCurrentRun(top);
}

void HistoryController::choose(qint64 id, bool announce)
{
    current_ = id;
    announceChosen_ = announce;
    chosenFamily_ = panel_ && !panel_->currentFamily().isEmpty() && panel_->current() == id;
    if (chart_ && id != 0)
        chart_->setCurrentRun(id);
    if (id == 0 || id == live_) {
        chosenPending_ = 0;
        session_.choose(nullptr); // the sweep's own run
        return;
    }
    chosenPending_ = id;
    session_.history().load(id, false);
}

void HistoryController::askToDelete(qint64 id)
{
    if (id == live_ && session_.isSweeping()) {
        if (showStatus)
            showStatus(tr("The sweep being measured cannot be deleted; stop it first."), true);
        return;
    }
    const StoredRun* run = model_->run(id);
    if (!run)
        return;
    const QString question =
        tr("Delete run %1, started %2, with its %3 points? This cannot be undone.")
            .arg(id)
            .arg(QLocale().toString(run->run.started.toLocalTime(), QLocale::ShortFormat),
                 countText(run->pointCount));
    if (confirm && confirm(question))
        session_.history().remove(id);
}

void HistoryController::imported(qint64 id, const QString& filePath)
{
    if (showStatus)
        showStatus(tr("Opened %1 as run %2.").arg(filePath).arg(id), false);
    tickedByUser_.insert(id);
    setShown(id, true, true);
    choose(id, false);
}

void HistoryController::showLabRun(std::shared_ptr<const Run> run, const QString& bench)
{
    const qint64 key = --localKeys_;
    labBenches_.insert(key, bench);
    localStarts_.insert(key, run->started);
    tickedByUser_.insert(key);
    model_->setShown(key, true);
    drawn_.insert(key);
    current_ = key;
    chosenPending_ = 0;
    chosenRun_ = run;
    chosenKey_ = key;
    if (chart_) {
        chart_->showRun(key, chartPointsOfRun(*run), label(*run, key), legsOf(*run),
                        run->inCompliance, run->currentSd);
        if (const auto& step = run->settings.step)
            chart_->setRunStyle(key, familyStyle(step->index, step->count));
        chart_->setCurrentRun(key);
    }
    if (panel_)
        panel_->setCurrent(0);
    session_.choose(run);
    if (showStatus)
        showStatus(
            tr("%1 is the current run: Save and Export write its %2 points. It is the lab's, "
               "read-only here: a fit of it is shown, not kept.")
                .arg(label(*run, key), countText(qint64(run->points.size()))),
            false);
}

void HistoryController::sweepStarted()
{
    liveBegun_ = false;
    live_ = 0;
    // Kept in the store: the run is drawn under its id, which comes before its first point.
    waitingForId_ = session_.isKeepingRuns();
    if (!waitingForId_)
        beginLive(--localKeys_);
}

void HistoryController::beginLive(qint64 key)
{
    liveBegun_ = true;
    waitingForId_ = false;
    live_ = key;
    current_ = key;
    if (key < 0)
        localStarts_.insert(key, session_.sweep().run()->started);
    rollOffOldest();
    model_->setShown(key, true);
    drawn_.insert(key);
    if (chart_) {
        const Run& run = *session_.sweep().run();
        chart_->beginLiveRun(
            key, label(run, key), legsOf(run),
            std::size_t(run.settings.plan.untilStop() ? 0 : run.settings.plan.count()));
        if (const auto& step = run.settings.step)
            chart_->setRunStyle(key, familyStyle(step->index, step->count));
        chart_->setCurrentRun(key);
    }
    if (key > 0)
        model_->beginLive(key);
}

void HistoryController::pointRecorded(double volt, double amps, bool inCompliance, double sd)
{
    if (!liveBegun_) // the store gave no id: the run is not kept there
        beginLive(--localKeys_);
    if (live_ > 0)
        model_->livePoint(volt);
    // A hold is drawn against the time its point was read.
    const Run& run = *session_.sweep().run();
    const bool overTime = run.settings.plan.shape == SweepShape::Hold && !run.pointMs.empty();
    if (chart_)
        chart_->addPoint(overTime ? double(run.pointMs.back()) / 1000 : volt, amps, inCompliance,
                         sd);
}

void HistoryController::sweepFinished()
{
    waitingForId_ = false;
    // The sweep's row ends as the sweep did; the store is written behind it.
    if (live_ > 0)
        model_->finishLive(*session_.sweep().run());
}

void HistoryController::hideAllButCurrent()
{
    // The sweep being measured stays while it runs: its points are still coming. Once it
    // has ended it is an earlier run like any other when another run is the current one.
    const qint64 measuring = session_.isSweeping() ? live_ : 0;
    for (const qint64 id : QSet<qint64>(model_->shownRuns()))
        if (id != current_ && id != measuring)
            setShown(id, false, true);
}

void HistoryController::rollOffOldest()
{
    QList<qint64> automatic;
    for (const qint64 id : model_->shownRuns())
        if (!tickedByUser_.contains(id))
            automatic << id;
    std::sort(automatic.begin(), automatic.end(), [](qint64 a, qint64 b) {
        return (a < 0 ? -a : a) < (b < 0 ? -b : b); // local keys are as new as their number
    });
    while (automatic.size() >= defaultShownRuns)
        setShown(automatic.takeFirst(), false, false);
}

WriteResult HistoryController::exportChart(const QString& path)
{
    const auto run = session_.currentRun();
    if (!chart_ || !run || run->points.empty())
        return WriteResult{false, tr("Nothing to export: ") + whyNothingIn(run.get())};
    const qint64 key = run == chosenRun_ ? chosenKey_ : live_;
    QList<qint64> drawn = chart_->shownRuns();
    WriteResult result;
    if (drawn.contains(key)) {
        result = chart_->exportImage(path);
    } else {
        drawn << key;
        result = chart_->exportImage(path, ChartRun{key, chartPointsOfRun(*run), label(*run, key),
                                                    legsOf(*run), run->inCompliance});
    }
    if (result.ok)
        result.message = tr("Chart of %1 written to %2").arg(namesOf(drawn), printableText(path));
    return result;
}

bool HistoryController::exportFamilyCsv(const QString& path)
{
    if (!panel_ || panel_->currentFamily().isEmpty() || panel_->current() != current_ ||
        current_ <= 0)
        return false;
    session_.history().exportFamily(current_, path);
    return true;
}

QString HistoryController::whyNothingIn(const Run* run) const
{
    // A run chosen from the history is named: "the last sweep" would be another run.
    if (run && run == chosenRun_.get() && chosenKey_ > 0 && run->points.empty())
        return tr("run %1 has no points.").arg(chosenKey_);
    return nothingToSave(run);
}

QString HistoryController::namesOf(QList<qint64> keys) const
{
    // Oldest first, as the legend lists them; local keys are as new as their number.
    std::sort(keys.begin(), keys.end(),
              [](qint64 a, qint64 b) { return (a < 0 ? -a : a) < (b < 0 ? -b : b); });
    QStringList ids, sweeps;
    for (const qint64 key : std::as_const(keys)) {
        if (key > 0)
            ids << QString::number(key);
        else
            sweeps << localStarts_.value(key).toLocalTime().toString(QStringLiteral("HH:mm"));
    }
    QStringList parts;
    if (!ids.isEmpty())
        parts << (ids.size() == 1 ? tr("run %1") : tr("runs %1")).arg(joinedInWords(ids));
    if (!sweeps.isEmpty())
        parts << (sweeps.size() == 1 ? tr("the sweep at %1") : tr("the sweeps at %1"))
                     .arg(joinedInWords(sweeps));
    return parts.join(tr(" and "));
}

} // namespace kestrel
