#include "controller/runhistorymodel.h"

#include "data/printabletext.h"
#include "data/sitext.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace kestrel
{

namespace
{

QString voltsText(double v)
{
    return QString::number(v, 'g', 6) + QStringLiteral(" V");
}

// The levels the sweep was set to, "-1 V to 1 V"; those the record lacks read "not
// recorded".
QString plannedLevels(const Run& run)
{
    if (!run.recorded(RunDetail::Start) && !run.recorded(RunDetail::Stop))
        return notRecordedText();
    const auto end = [&run](RunDetail detail, double v) {
        return run.recorded(detail) ? voltsText(v) : notRecordedText();
    };
    if (run.settings.plan.shape == SweepShape::Hold) // one level
        return end(RunDetail::Start, run.settings.plan.start);
    return end(RunDetail::Start, run.settings.plan.start) + QStringLiteral(" to ") +
           end(RunDetail::Stop, run.settings.plan.stop);
}

QString measuredLevels(const std::optional<LevelSpan>& levels)
{
    return levels ? voltsText(levels->lowestVolts) + QStringLiteral(" to ") +
                        voltsText(levels->highestVolts)
                  : QString();
}

} // namespace

RunHistoryModel::RunHistoryModel(RunHistory& history, QObject* parent)
    : QAbstractTableModel(parent), history_(history)
{
    liveTimer_.setSingleShot(true);
    liveTimer_.setInterval(liveUpdateMs);
    connect(&liveTimer_, &QTimer::timeout, this, [this] {
        if (const int row = rowOf(live_.id); row >= 0) {
            applyLive(rows_[std::size_t(row)]);
            rowChanged(row, Points, Measured);
        }
    });
    connect(&history_, &RunHistory::removed, this, &RunHistoryModel::removeRun);
    connect(&history_, &RunHistory::imported, this, &RunHistoryModel::fetchNewer);
}

int RunHistoryModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(rows_.size());
}

int RunHistoryModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant RunHistoryModel::text(const StoredRun& stored, int column) const
{
    const Run& run = stored.run;
    switch (column) {
    case Started:
        return run.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    case Shape:
        if (!run.recorded(RunDetail::Shape))
            return notRecordedText();
        if (run.settings.plan.shape == SweepShape::Hold)
            return run.settings.plan.untilStop()
                       ? tr("hold until stopped")
                       : tr("hold %1 s")
                             .arg(QString::number(run.settings.plan.holdSeconds, 'g', 15));
        return run.settings.plan.cycles > 1 ? tr("%1 × %2")
                                                  .arg(shapeName(run.settings.plan.shape))
                                                  .arg(run.settings.plan.cycles)
                                            : shapeName(run.settings.plan.shape);
    case Range:
        return plannedLevels(run);
    case Points:
        return countText(stored.pointCount);
    case Measured:
        return measuredLevels(stored.levels);
    case Outcome:
        return outcomeName(run.outcome);
    case Note:
        return printableText(stored.note);
    default:
        return QVariant();
    }
}

QVariant RunHistoryModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return QVariant();
    const StoredRun& stored = rows_[std::size_t(index.row())];
    const int column = index.column();
    switch (role) {
    case idRole:
        return stored.id;
    case Qt::CheckStateRole:
        return column == Shown ? QVariant(shown_.contains(stored.id) ? Qt::Checked : Qt::Unchecked)
                               : QVariant();
    case Qt::DisplayRole:
    case Qt::EditRole:
        return text(stored, column);
    case Qt::ToolTipRole:
        if (column == Shown)
            return tr("Run %1").arg(stored.id);
        if (column == Outcome)
            return printableText(stored.run.message);
        return text(stored, column);
    default:
        return QVariant();
    }
}

QVariant RunHistoryModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal)
        return QVariant();
    if (role == Qt::DisplayRole) {
        switch (section) {
        case Shown:
            return tr("Show");
        case Started:
            return tr("Started");
        case Shape:
            return tr("Shape");
        case Range:
            return tr("Levels"); // the sweep's span, not the meter's range
        case Points:
            return tr("Points");
        case Measured:
            return tr("Measured");
        case Outcome:
            return tr("Outcome");
        case Note:
            return tr("Note");
        }
    }
    if (role == Qt::ToolTipRole) {
        switch (section) {
        case Shown:
            return tr("Show the run on the chart");
        case Range:
            return tr("The levels the sweep was set to go through");
        case Measured:
            return tr("The lowest and the highest level measured");
        case Note:
            return tr("Your note on the run: double-click to edit");
        }
    }
    return QVariant();
}

Qt::ItemFlags RunHistoryModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    const Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    return index.column() == Shown  ? flags | Qt::ItemIsUserCheckable
           : index.column() == Note ? flags | Qt::ItemIsEditable
                                    : flags;
}

bool RunHistoryModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return false;
    StoredRun& stored = rows_[std::size_t(index.row())];
    if (index.column() == Shown && role == Qt::CheckStateRole) {
        const bool shown = value.value<Qt::CheckState>() == Qt::Checked;
        if (shown == shown_.contains(stored.id))
            return true;
        setShown(stored.id, shown);
        emit shownToggled(stored.id, shown);
        return true;
    }
    if (index.column() == Note && role == Qt::EditRole) {
        const QString note = value.toString();
        if (note == printableText(stored.note))
            return true; // an edit that changed nothing writes nothing
        // Shown at once; the row read again shows what the store kept.
        stored.note = note;
        rowChanged(index.row(), Note, Note);
        history_.setNote(stored.id, note);
        reread(stored.id);
        return true;
    }
    return false;
}

bool RunHistoryModel::canFetchMore(const QModelIndex& parent) const
{
    return !parent.isValid() && !atEnd_ && !fetching_;
}

void RunHistoryModel::fetchMore(const QModelIndex& parent)
{
    if (!canFetchMore(parent))
        return;
    fetching_ = true;
    RunRange range;
    range.limit = pageSize;
    if (!rows_.empty())
        range.before = rows_.back().id;
    history_.list(range, this, [this](auto runs) { paged(std::move(runs)); });
}

void RunHistoryModel::paged(std::optional<std::vector<StoredRun>> runs)
{
    if (!runs) { // the store said why; no more is asked of it
        fetching_ = false;
        atEnd_ = true;
        return;
    }
    atEnd_ = int(runs->size()) < pageSize;
    // Only runs older than the oldest row: one removed meanwhile changes nothing here.
    const qint64 oldest = rows_.empty() ? std::numeric_limits<qint64>::max() : rows_.back().id;
    std::erase_if(*runs, [oldest](const StoredRun& run) { return run.id >= oldest; });
    // A page read before the sweep's latest points or its end: the row shows them anyway.
    for (StoredRun& run : *runs)
        applyLive(run);
    if (!runs->empty()) {
        beginInsertRows(QModelIndex(), int(rows_.size()), int(rows_.size() + runs->size()) - 1);
        std::move(runs->begin(), runs->end(), std::back_inserter(rows_));
        endInsertRows();
    }
    // Only now: a view that asks for more while the rows go in (from rowsAboutToBeInserted)
    // would otherwise have this same page read again.
    fetching_ = false;
    if (!firstPageIn_) {
        firstPageIn_ = true;
        emit firstPageListed();
        if (newerWanted_)
            fetchNewer();
    }
}

void RunHistoryModel::fetchNewer()
{
    if (!firstPageIn_) {
        // A first page read from now on holds it; one on its way may have been read before.
        newerWanted_ = fetching_;
        if (!fetching_) {
            atEnd_ = false; // a store that failed before may answer now
            fetchMore(QModelIndex());
        }
        return;
    }
    RunRange range;
    if (!rows_.empty())
        range.after = rows_.front().id;
    history_.list(range, this, [this](auto runs) { newer(std::move(runs)); });
}

void RunHistoryModel::newer(std::optional<std::vector<StoredRun>> runs)
{
    if (!runs)
        return;
    // Two requests may have crossed: only what is newer than the newest row comes in.
    const qint64 newest = rows_.empty() ? 0 : rows_.front().id;
    std::erase_if(*runs, [newest](const StoredRun& run) { return run.id <= newest; });
    if (runs->empty())
        return;
    for (StoredRun& run : *runs)
        applyLive(run);
    beginInsertRows(QModelIndex(), 0, int(runs->size()) - 1);
    rows_.insert(rows_.begin(), std::make_move_iterator(runs->begin()),
                 std::make_move_iterator(runs->end()));
    endInsertRows();
}

void RunHistoryModel::reread(qint64 id)
{
    RunRange range;
    range.before = id + 1;
    range.after = id - 1;
    history_.list(range, this, [this, id](auto runs) { replace(id, std::move(runs)); });
}

void RunHistoryModel::replace(qint64 id, std::optional<std::vector<StoredRun>> runs)
{
    if (!runs)
        return;
    if (runs->empty()) {
        removeRun(id);
        return;
    }
    const int row = rowOf(id);
    if (row < 0)
        return;
    rows_[std::size_t(row)] = std::move(runs->front());
    applyLive(rows_[std::size_t(row)]);
    rowChanged(row);
}

void RunHistoryModel::removeRun(qint64 id)
{
    shown_.remove(id);
    const int row = rowOf(id);
    if (row < 0)
        return;
    beginRemoveRows(QModelIndex(), row, row);
    rows_.erase(rows_.begin() + row);
    endRemoveRows();
}

void RunHistoryModel::rowChanged(int row, Column from, Column to)
{
    emit dataChanged(index(row, from), index(row, to));
}

void RunHistoryModel::applyLive(StoredRun& stored) const
{
    if (stored.id != live_.id)
        return;
    // The store's row may have been read before the latest points or the end were kept.
    stored.pointCount = std::max(stored.pointCount, live_.points);
    if (live_.levels)
        stored.levels =
            stored.levels
                ? LevelSpan{std::min(stored.levels->lowestVolts, live_.levels->lowestVolts),
                            std::max(stored.levels->highestVolts, live_.levels->highestVolts)}
                : live_.levels;
    if (live_.outcome) {
        stored.run.outcome = *live_.outcome;
        stored.run.message = live_.message;
    }
}

void RunHistoryModel::beginLive(qint64 id)
{
    liveTimer_.stop();
    live_ = Live{id, 0, std::nullopt, std::nullopt, QString()};
    fetchNewer();
}

void RunHistoryModel::livePoint(double levelVolts)
{
    if (live_.id == 0)
        return;
    ++live_.points;
    if (!live_.levels)
        live_.levels = LevelSpan{levelVolts, levelVolts};
    live_.levels->lowestVolts = std::min(live_.levels->lowestVolts, levelVolts);
    live_.levels->highestVolts = std::max(live_.levels->highestVolts, levelVolts);
    if (!liveTimer_.isActive())
        liveTimer_.start();
}

void RunHistoryModel::finishLive(const Run& finished)
{
    if (live_.id == 0)
        return;
    liveTimer_.stop();
    live_.points = int(finished.points.size());
    live_.outcome = finished.outcome;
    live_.message = finished.message;
    if (const int row = rowOf(live_.id); row >= 0) {
        applyLive(rows_[std::size_t(row)]);
        rowChanged(row);
    }
}

void RunHistoryModel::setShown(qint64 id, bool shown)
{
    if (shown == shown_.contains(id))
        return;
    if (shown)
        shown_.insert(id);
    else
        shown_.remove(id);
    if (const int row = rowOf(id); row >= 0)
        rowChanged(row, Shown, Shown);
}

qint64 RunHistoryModel::idAt(int row) const
{
    return row >= 0 && row < int(rows_.size()) ? rows_[std::size_t(row)].id : 0;
}

int RunHistoryModel::rowOf(qint64 id) const
{
    const auto at = std::lower_bound(rows_.begin(), rows_.end(), id,
                                     [](const StoredRun& run, qint64 id) { return run.id > id; });
    return at != rows_.end() && at->id == id ? int(at - rows_.begin()) : -1;
}

const StoredRun* RunHistoryModel::run(qint64 id) const
{
    const int row = rowOf(id);
    return row < 0 ? nullptr : &rows_[std::size_t(row)];
}

} // namespace kestrel
