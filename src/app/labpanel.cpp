#include "app/labpanel.h"

#include "controller/runhistorymodel.h"
#include "data/printabletext.h"
#include "data/sitext.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <set>

namespace kestrel
{

void LabRunsModel::setRuns(std::vector<LabRun> runs)
{
    beginResetModel();
    runs_ = std::move(runs);
    endResetModel();
}

const LabRun* LabRunsModel::run(const QString& uuid) const
{
    for (const LabRun& run : runs_)
        if (run.stored.uuid == uuid)
            return &run;
    return nullptr;
}

QStringList LabRunsModel::benches() const
{
    std::set<QString> names;
    for (const LabRun& run : runs_)
        names.insert(run.stored.bench);
    return QStringList(names.begin(), names.end());
}

int LabRunsModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(runs_.size());
}

int LabRunsModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant LabRunsModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || std::size_t(index.row()) >= runs_.size())
        return QVariant();
    const StoredRun& stored = runs_[std::size_t(index.row())].stored;
    if (role == uuidRole)
        return stored.uuid;
    if (role == Qt::TextAlignmentRole && index.column() == Points)
        return QVariant(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return QVariant();
    const Run& run = stored.run;
    switch (index.column()) {
    case Bench:
        return printableText(stored.bench);
    case Started:
        return run.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    case Shape:
        return run.settings.step ? tr("%1, step %2 V")
                                       .arg(RunHistoryModel::shapeText(run),
                                            QString::number(run.settings.step->level, 'g', 6))
                                 : RunHistoryModel::shapeText(run);
    case Range:
        return RunHistoryModel::rangeText(run);
    case Points:
        return countText(stored.pointCount);
    case Outcome:
        return role == Qt::ToolTipRole ? printableText(run.message) : outcomeName(run.outcome);
    case Note:
        return printableText(stored.note);
    default:
        return QVariant();
    }
}

QVariant LabRunsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case Bench:
        return tr("Bench");
    case Started:
        return tr("Started");
    case Shape:
        return tr("Shape");
    case Range:
        return tr("Range");
    case Points:
        return tr("Points");
    case Outcome:
        return tr("Outcome");
    case Note:
        return tr("Note");
    default:
        return QVariant();
    }
}

void LabRunsFilter::setBench(const QString& bench)
{
    bench_ = bench;
    invalidateFilter();
}

void LabRunsFilter::setSince(const QDateTime& since)
{
    since_ = since;
    invalidateFilter();
}

void LabRunsFilter::setText(const QString& text)
{
    text_ = text.trimmed();
    invalidateFilter();
}

bool LabRunsFilter::filterAcceptsRow(int row, const QModelIndex& parent) const
{
    const auto* lab = qobject_cast<const LabRunsModel*>(sourceModel());
    if (!lab || parent.isValid() || std::size_t(row) >= lab->runs().size())
        return false;
    const StoredRun& stored = lab->runs()[std::size_t(row)].stored;
    if (!bench_.isEmpty() && stored.bench != bench_)
        return false;
    if (since_.isValid() && (!stored.run.started.isValid() || stored.run.started < since_))
        return false;
    if (text_.isEmpty())
        return true;
    for (const QString& field :
         {stored.bench, stored.note, stored.run.message, outcomeName(stored.run.outcome),
          RunHistoryModel::shapeText(stored.run), stored.uuid})
        if (field.contains(text_, Qt::CaseInsensitive))
            return true;
    return false;
}

LabPanel::LabPanel(QWidget* parent)
    : QWidget(parent), model_(new LabRunsModel(this)), filter_(new LabRunsFilter(this)),
      table_(new QTreeView(this)), bench_(new QComboBox(this)), since_(new QComboBox(this)),
      search_(new QLineEdit(this)), show_(new QPushButton(tr("Show on chart"), this)),
      state_(new QLabel(this))
{
    filter_->setSourceModel(model_);
    table_->setModel(filter_);
    table_->setRootIsDecorated(false);
    table_->setUniformRowHeights(true);
    table_->setAllColumnsShowFocus(true);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setObjectName(QStringLiteral("labTable"));
    // Columns sized from the first rows, not every one of a lab's thousands.
    table_->header()->setResizeContentsPrecision(100);
    bench_->setObjectName(QStringLiteral("labBench"));
    since_->setObjectName(QStringLiteral("labSince"));
    search_->setObjectName(QStringLiteral("labSearch"));
    show_->setObjectName(QStringLiteral("labShow"));
    state_->setObjectName(QStringLiteral("labState"));
    state_->setTextFormat(Qt::PlainText);
    // One line that never widens the panel; the whole of it in the tooltip.
    state_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    bench_->addItem(tr("Every bench"), QString());
    since_->addItem(tr("Any time"), 0);
    since_->addItem(tr("Today"), 1);
    since_->addItem(tr("Last 7 days"), 7);
    since_->addItem(tr("Last 30 days"), 30);
    search_->setPlaceholderText(tr("Search bench, note, outcome, message"));
    search_->setClearButtonEnabled(true);
    show_->setEnabled(false);

    auto* filters = new QHBoxLayout;
    filters->setContentsMargins(0, 0, 0, 0);
    filters->addWidget(bench_);
    filters->addWidget(since_);
    filters->addWidget(search_, 1);
    filters->addWidget(show_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addLayout(filters);
    layout->addWidget(table_, 1);
    layout->addWidget(state_);

    connect(bench_, &QComboBox::currentIndexChanged, this,
            [this] { filter_->setBench(bench_->currentData().toString()); });
    connect(since_, &QComboBox::currentIndexChanged, this, &LabPanel::applyTime);
    connect(search_, &QLineEdit::textChanged, filter_, &LabRunsFilter::setText);
    connect(table_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this] { show_->setEnabled(!selectedUuid().isEmpty()); });
    connect(table_, &QTreeView::activated, this, [this] {
        if (const QString uuid = selectedUuid(); !uuid.isEmpty())
            emit showRequested(uuid);
    });
    connect(show_, &QPushButton::clicked, this, [this] {
        if (const QString uuid = selectedUuid(); !uuid.isEmpty())
            emit showRequested(uuid);
    });
}

void LabPanel::applyTime()
{
    const int days = since_->currentData().toInt();
    filter_->setSince(days == 0 ? QDateTime()
                                : QDateTime(QDate::currentDate().addDays(1 - days), QTime(0, 0)));
}

void LabPanel::setRuns(std::vector<LabRun> runs)
{
    const QString selected = selectedUuid();
    model_->setRuns(std::move(runs));
    // The bench choice keeps the bench chosen, with the benches the lab has now.
    const QString bench = bench_->currentData().toString();
    const QSignalBlocker quiet(bench_);
    while (bench_->count() > 1)
        bench_->removeItem(1);
    for (const QString& name : model_->benches())
        bench_->addItem(printableText(name), name);
    const int at = bench_->findData(bench);
    bench_->setCurrentIndex(at < 0 ? 0 : at);
    filter_->setBench(bench_->currentData().toString());
    applyTime();
    for (int row = 0; !selected.isEmpty() && row < filter_->rowCount(); ++row)
        if (filter_->index(row, 0).data(LabRunsModel::uuidRole).toString() == selected)
            table_->setCurrentIndex(filter_->index(row, 0));
    show_->setEnabled(!selectedUuid().isEmpty());
    if (!sized_ && model_->rowCount() > 0) {
        sized_ = true;
        for (int column = 0; column < LabRunsModel::Note; ++column)
            table_->resizeColumnToContents(column);
    }
}

void LabPanel::setState(const QString& text, bool problem)
{
    state_->setText(text);
    state_->setToolTip(text);
    state_->setStyleSheet(problem ? QStringLiteral("color: #b00020;") : QString());
}

QString LabPanel::selectedUuid() const
{
    const QModelIndex current = table_->currentIndex();
    return current.isValid() ? current.data(LabRunsModel::uuidRole).toString() : QString();
}

} // namespace kestrel
