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

std::optional<LevelSpan> spanOf(const std::optional<LevelSpan>& a,
                                const std::optional<LevelSpan>& b)
{
    if (!a || !b)
        return a ? a : b;
    return LevelSpan{std::min(a->lowestVolts, b->lowestVolts),
                     std::max(a->highestVolts, b->highestVolts)};
}

// A family's curves in step order; two of the same step (never made so) by id.
bool beforeInFamily(const StoredRun& a, const StoredRun& b)
{
    const int i = a.run.settings.step->index, j = b.run.settings.step->index;
    return i != j ? i < j : a.id < b.id;
}

} // namespace

RunHistoryModel::RunHistoryModel(RunHistory& history, QObject* parent)
    : QAbstractItemModel(parent), history_(history)
{
    liveTimer_.setSingleShot(true);
    liveTimer_.setInterval(liveUpdateMs);
    connect(&liveTimer_, &QTimer::timeout, this, [this] {
        if (const Place at = place(live_.id); at.row >= 0) {
            applyLive(runAt(at));
            runChanged(at, Points, Measured);
        }
    });
    connect(&history_, &RunHistory::removed, this, &RunHistoryModel::removeRun);
    connect(&history_, &RunHistory::imported, this, &RunHistoryModel::fetchNewer);
}

QModelIndex RunHistoryModel::index(int row, int column, const QModelIndex& parent) const
{
    if (!hasIndex(row, column, parent))
        return QModelIndex();
    // A curve's index holds its family row's key: rows coming in above leave it true.
    return parent.isValid()
               ? createIndex(row, column, quintptr(rows_[std::size_t(parent.row())].key))
               : createIndex(row, column, quintptr(0));
}

QModelIndex RunHistoryModel::parent(const QModelIndex& child) const
{
    if (!child.isValid() || child.internalId() == 0)
        return QModelIndex();
    const int row = rowOfKey(qint64(child.internalId()));
    return row < 0 ? QModelIndex() : createIndex(row, 0, quintptr(0));
}

int RunHistoryModel::rowCount(const QModelIndex& parent) const
{
    if (!parent.isValid())
        return int(rows_.size());
    if (parent.internalId() != 0 || parent.column() != 0)
        return 0;
    const Row& row = rows_[std::size_t(parent.row())];
    return row.family() ? int(row.runs.size()) : 0;
}

int RunHistoryModel::columnCount(const QModelIndex&) const
{
    return ColumnCount;
}

const StoredRun* RunHistoryModel::stored(const QModelIndex& index) const
{
    if (!index.isValid())
        return nullptr;
    if (index.internalId() == 0)
        return &rows_[std::size_t(index.row())].runs.back();
    const int row = rowOfKey(qint64(index.internalId()));
    return row < 0 ? nullptr : &rows_[std::size_t(row)].runs[std::size_t(index.row())];
}

QVariant RunHistoryModel::familyText(const Row& row, int column) const
{
    const StoredRun& last = row.runs.back();
    switch (column) {
    case Started:
        return text(row.runs.front(), Started);
    case Shape:
        return tr("family × %1").arg(row.runs.size());
    case Range: {
        // The step levels' span: the curves' own levels are in their rows.
        double low = last.run.settings.step->level, high = low;
        for (const StoredRun& curve : row.runs) {
            low = std::min(low, curve.run.settings.step->level);
            high = std::max(high, curve.run.settings.step->level);
        }
        return low == high ? tr("step %1").arg(voltsText(low))
                           : tr("step %1 … %2").arg(QString::number(low, 'g', 6), voltsText(high));
    }
    case Points: {
        qint64 points = 0;
        for (const StoredRun& curve : row.runs)
            points += curve.pointCount;
        return countText(points);
    }
    case Measured: {
        std::optional<LevelSpan> levels;
        for (const StoredRun& curve : row.runs)
            levels = spanOf(levels, curve.levels);
        return measuredLevels(levels);
    }
    case Outcome:
        return outcomeName(last.run.outcome);
    default:
        return QString();
    }
}

Qt::CheckState RunHistoryModel::shownState(const Row& row) const
{
    const auto shown =
        std::count_if(row.runs.begin(), row.runs.end(),
                      [this](const StoredRun& run) { return shown_.contains(run.id); });
    return shown == 0                              ? Qt::Unchecked
           : std::size_t(shown) == row.runs.size() ? Qt::Checked
                                                   : Qt::PartiallyChecked;
}

QString RunHistoryModel::shapeText(const Run& run)
{
    if (!run.recorded(RunDetail::Shape))
        return notRecordedText();
    if (run.settings.plan.shape == SweepShape::Hold)
        return run.settings.plan.untilStop()
                   ? tr("hold until stopped")
                   : tr("hold %1 s").arg(QString::number(run.settings.plan.holdSeconds, 'g', 15));
    return run.settings.plan.cycles > 1
               ? tr("%1 × %2").arg(shapeName(run.settings.plan.shape)).arg(run.settings.plan.cycles)
               : shapeName(run.settings.plan.shape);
}

QString RunHistoryModel::rangeText(const Run& run)
{
    return plannedLevels(run);
}

QVariant RunHistoryModel::text(const StoredRun& stored, int column) const
{
    const Run& run = stored.run;
    switch (column) {
    case Started:
        return run.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    case Shape:
        return shapeText(run);
    case Range:
        return rangeText(run);
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
    if (!checkIndex(index, CheckIndexOption::IndexIsValid))
        return QVariant();
    const int column = index.column();
    if (index.internalId() == 0 && rows_[std::size_t(index.row())].family()) {
        const Row& row = rows_[std::size_t(index.row())];
        switch (role) {
        case idRole:
            return row.runs.back().id;
        case familyRole:
            return row.runs.back().run.settings.step->family;
        case Qt::CheckStateRole:
            return column == Shown ? QVariant(shownState(row)) : QVariant();
        case Qt::DisplayRole:
        case Qt::EditRole:
            return familyText(row, column);
        case Qt::ToolTipRole:
            if (column == Shown)
                return tr("A family of runs %1 to %2: tick to show every curve")
                    .arg(row.runs.front().id)
                    .arg(row.runs.back().id);
            if (column == Outcome)
                return printableText(row.runs.back().run.message);
            return familyText(row, column);
        default:
            return QVariant();
        }
    }
    const StoredRun& stored = *this->stored(index);
    switch (role) {
    case idRole:
        return stored.id;
    case familyRole:
        return QVariant();
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
    const bool familyRow = index.internalId() == 0 && rows_[std::size_t(index.row())].family();
    return index.column() == Shown                ? flags | Qt::ItemIsUserCheckable
           : index.column() == Note && !familyRow ? flags | Qt::ItemIsEditable
                                                  : flags;
}

bool RunHistoryModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid))
        return false;
    if (index.internalId() == 0 && rows_[std::size_t(index.row())].family()) {
        if (index.column() != Shown || role != Qt::CheckStateRole)
            return false;
        // Every curve at once; the ids first, as showing one may change the rows.
        const bool shown = value.value<Qt::CheckState>() != Qt::Unchecked;
        for (const qint64 id : idsAt(index.row()))
            if (shown != shown_.contains(id)) {
                setShown(id, shown);
                emit shownToggled(id, shown);
            }
        return true;
    }
    StoredRun& stored = runAt(place(this->stored(index)->id));
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
        emit dataChanged(index.siblingAtColumn(Note), index.siblingAtColumn(Note));
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
        range.before = oldest_;
    history_.list(range, this, [this](auto runs) { paged(std::move(runs)); });
}

bool RunHistoryModel::joinFamily(StoredRun& run, std::vector<Row>& pending)
{
    if (!run.run.settings.step)
        return false;
    const QString& family = run.run.settings.step->family;
    const auto key = families_.constFind(family);
    if (key == families_.cend()) {
        const auto row = std::find_if(pending.begin(), pending.end(), [&family](const Row& row) {
            return row.runs.front().run.settings.step->family == family;
        });
        if (row == pending.end())
            return false;
        row->runs.insert(std::upper_bound(row->runs.begin(), row->runs.end(), run, beforeInFamily),
                         std::move(run));
        return true;
    }
    const int top = rowOfKey(*key);
    auto& curves = rows_[std::size_t(top)].runs;
    const int at =
        int(std::upper_bound(curves.begin(), curves.end(), run, beforeInFamily) - curves.begin());
    curves_.insert(run.id, *key);
    beginInsertRows(index(top, 0), at, at);
    curves.insert(curves.begin() + at, std::move(run));
    endInsertRows();
    // The family's count, span and outcome.
    rowChanged(top);
    return true;
}

void RunHistoryModel::paged(std::optional<std::vector<StoredRun>> runs)
{
    if (!runs) { // the store said why; no more is asked of it
        fetching_ = false;
        atEnd_ = true;
        return;
    }
    atEnd_ = int(runs->size()) < pageSize;
    // Only runs older than the oldest listed: one removed meanwhile changes nothing here.
    const qint64 oldest = rows_.empty() ? std::numeric_limits<qint64>::max() : oldest_;
    std::erase_if(*runs, [oldest](const StoredRun& run) { return run.id >= oldest; });
    std::vector<Row> pending;
    for (StoredRun& run : *runs) {
        // A page read before the sweep's latest points or its end: the row shows them anyway.
        applyLive(run);
        oldest_ = run.id;
        newest_ = std::max(newest_, run.id);
        if (!joinFamily(run, pending))
            pending.push_back(Row{run.id, {std::move(run)}});
    }
    if (!pending.empty()) {
        beginInsertRows(QModelIndex(), int(rows_.size()), int(rows_.size() + pending.size()) - 1);
        for (Row& row : pending) {
            if (row.family()) {
                families_.insert(row.runs.front().run.settings.step->family, row.key);
                for (const StoredRun& curve : row.runs)
                    curves_.insert(curve.id, row.key);
            }
            rows_.push_back(std::move(row));
        }
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
    range.after = newest_;
    history_.list(range, this, [this](auto runs) { newer(std::move(runs)); });
}

void RunHistoryModel::newer(std::optional<std::vector<StoredRun>> runs)
{
    if (!runs)
        return;
    // Two requests may have crossed: only what is newer than the newest listed comes in.
    const qint64 newest = newest_;
    std::erase_if(*runs, [newest](const StoredRun& run) { return run.id <= newest; });
    if (runs->empty())
        return;
    // Oldest first: a family's first curve starts its row, the later ones join it.
    for (auto run = runs->rbegin(); run != runs->rend(); ++run) {
        applyLive(*run);
        newest_ = run->id;
        if (oldest_ == 0)
            oldest_ = run->id;
        std::vector<Row> none;
        if (joinFamily(*run, none))
            continue;
        beginInsertRows(QModelIndex(), 0, 0);
        if (const auto& step = run->run.settings.step) {
            families_.insert(step->family, run->id);
            curves_.insert(run->id, run->id);
        }
        rows_.insert(rows_.begin(), Row{run->id, {std::move(*run)}});
        endInsertRows();
    }
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
    const Place at = place(id);
    if (at.row < 0)
        return;
    StoredRun& stored = runAt(at);
    stored = std::move(runs->front());
    applyLive(stored);
    runChanged(at);
}

void RunHistoryModel::removeRun(qint64 id)
{
    shown_.remove(id);
    const Place at = place(id);
    if (at.row < 0)
        return;
    Row& row = rows_[std::size_t(at.row)];
    if (at.child >= 0 && row.runs.size() > 1) {
        curves_.remove(id);
        beginRemoveRows(index(at.row, 0), at.child, at.child);
        row.runs.erase(row.runs.begin() + at.child);
        endRemoveRows();
        rowChanged(at.row);
        return;
    }
    if (row.family()) {
        families_.remove(row.runs.front().run.settings.step->family);
        curves_.remove(id);
    }
    beginRemoveRows(QModelIndex(), at.row, at.row);
    rows_.erase(rows_.begin() + at.row);
    endRemoveRows();
}

void RunHistoryModel::rowChanged(int row, Column from, Column to)
{
    emit dataChanged(index(row, from), index(row, to));
}

void RunHistoryModel::runChanged(const Place& at, Column from, Column to)
{
    if (at.child >= 0) {
        const QModelIndex family = index(at.row, 0);
        emit dataChanged(index(at.child, from, family), index(at.child, to, family));
    }
    rowChanged(at.row, from, to);
}

void RunHistoryModel::applyLive(StoredRun& stored) const
{
    if (stored.id != live_.id)
        return;
    // The store's row may have been read before the latest points or the end were kept.
    stored.pointCount = std::max(stored.pointCount, live_.points);
    stored.levels = spanOf(stored.levels, live_.levels);
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
    if (const Place at = place(live_.id); at.row >= 0) {
        applyLive(runAt(at));
        runChanged(at);
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
    if (const Place at = place(id); at.row >= 0)
        runChanged(at, Shown, Shown);
}

qint64 RunHistoryModel::idAt(int row) const
{
    return row >= 0 && row < int(rows_.size()) ? rows_[std::size_t(row)].runs.back().id : 0;
}

std::vector<qint64> RunHistoryModel::idsAt(int row) const
{
    std::vector<qint64> ids;
    if (row >= 0 && row < int(rows_.size()))
        for (const StoredRun& run : rows_[std::size_t(row)].runs)
            ids.push_back(run.id);
    return ids;
}

int RunHistoryModel::rowOfKey(qint64 key) const
{
    const auto at = std::lower_bound(rows_.begin(), rows_.end(), key,
                                     [](const Row& row, qint64 key) { return row.key > key; });
    return at != rows_.end() && at->key == key ? int(at - rows_.begin()) : -1;
}

RunHistoryModel::Place RunHistoryModel::place(qint64 id) const
{
    const auto curve = curves_.constFind(id);
    const int row = rowOfKey(curve == curves_.cend() ? id : *curve);
    if (row < 0 || curve == curves_.cend())
        return Place{row, -1};
    const auto& runs = rows_[std::size_t(row)].runs;
    const auto at =
        std::find_if(runs.begin(), runs.end(), [id](const StoredRun& run) { return run.id == id; });
    return at == runs.end() ? Place{} : Place{row, int(at - runs.begin())};
}

int RunHistoryModel::rowOf(qint64 id) const
{
    return place(id).row;
}

QModelIndex RunHistoryModel::indexOf(qint64 id) const
{
    const Place at = place(id);
    if (at.row < 0)
        return QModelIndex();
    return at.child < 0 ? index(at.row, 0) : index(at.child, 0, index(at.row, 0));
}

StoredRun& RunHistoryModel::runAt(const Place& at)
{
    return rows_[std::size_t(at.row)].runs[std::size_t(std::max(at.child, 0))];
}

const StoredRun* RunHistoryModel::run(qint64 id) const
{
    const Place at = place(id);
    return at.row < 0 ? nullptr
                      : &rows_[std::size_t(at.row)].runs[std::size_t(std::max(at.child, 0))];
}

} // namespace kestrel
