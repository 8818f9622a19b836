#include "app/historypanel.h"

#include "data/printabletext.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QTableWidget>
#include <QVBoxLayout>

namespace kestrel
{

namespace
{

constexpr int idRole = Qt::UserRole;

// The levels, "-1 V to 1 V"; those the record lacks read "not recorded".
QString levels(const Run& run)
{
    if (!run.recorded(RunDetail::Start) && !run.recorded(RunDetail::Stop))
        return notRecordedText();
    const auto volts = [&run](RunDetail detail, double v) {
        return run.recorded(detail) ? QString::number(v, 'g', 6) + QStringLiteral(" V")
                                    : notRecordedText();
    };
    return volts(RunDetail::Start, run.settings.plan.start) + QStringLiteral(" to ") +
           volts(RunDetail::Stop, run.settings.plan.stop);
}

QTableWidgetItem* cell(const QString& text,
                       Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable)
{
    auto* item = new QTableWidgetItem(text);
    item->setFlags(flags);
    item->setToolTip(text);
    return item;
}

} // namespace

HistoryPanel::HistoryPanel(QWidget* parent) : QWidget(parent), table_(new QTableWidget(this))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(table_);
    table_->setColumnCount(ColumnCount);
    table_->setHorizontalHeaderLabels({tr("Show"), tr("Started"), tr("Shape"), tr("Range"),
                                       tr("Points"), tr("Outcome"), tr("Note")});
    table_->horizontalHeaderItem(Shown)->setToolTip(tr("Show the run on the chart"));
    table_->horizontalHeaderItem(Note)->setToolTip(
        tr("Your note on the run: double-click to edit"));
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    table_->verticalHeader()->hide();
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 6);
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table_->horizontalHeader()->setSectionResizeMode(Note, QHeaderView::Stretch);
    table_->setToolTip(tr("Every run kept, newest first. Tick a run to show it on the chart; "
                          "the selected run is the one Save and Export write. Delete "
                          "removes the selected run."));
    table_->installEventFilter(this);

    connect(table_, &QTableWidget::itemChanged, this, &HistoryPanel::itemChanged);
    connect(table_, &QTableWidget::itemSelectionChanged, this, [this] {
        if (!filling_ && current() != 0)
            emit chosen(current());
    });
}

void HistoryPanel::setRuns(const std::vector<StoredRun>& runs, const QSet<qint64>& shown,
                           qint64 current)
{
    filling_ = true;
    table_->setRowCount(int(runs.size()));
    for (int row = 0; row < int(runs.size()); ++row) {
        const StoredRun& stored = runs[std::size_t(row)];
        const Run& run = stored.run;
        auto* tick =
            cell(QString(), Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        tick->setCheckState(shown.contains(stored.id) ? Qt::Checked : Qt::Unchecked);
        tick->setData(idRole, stored.id);
        tick->setToolTip(tr("Run %1").arg(stored.id));
        table_->setItem(row, Shown, tick);
        table_->setItem(
            row, Started,
            cell(run.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"))));
        table_->setItem(row, Shape,
                        cell(run.recorded(RunDetail::Shape) ? shapeName(run.settings.plan.shape)
                                                            : notRecordedText()));
        table_->setItem(row, Range, cell(levels(run)));
        table_->setItem(row, Points, cell(QString::number(stored.pointCount)));
        auto* outcome = cell(outcomeName(run.outcome));
        outcome->setToolTip(printableText(run.message));
        table_->setItem(row, Outcome, outcome);
        table_->setItem(row, Note,
                        cell(printableText(stored.note),
                             Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable));
    }
    filling_ = false;
    setCurrent(current);
}

int HistoryPanel::rowOf(qint64 id) const
{
    for (int row = 0; row < table_->rowCount(); ++row)
        if (table_->item(row, Shown)->data(idRole).toLongLong() == id)
            return row;
    return -1;
}

void HistoryPanel::setCurrent(qint64 id)
{
    filling_ = true;
    const int row = rowOf(id);
    if (row < 0)
        table_->clearSelection();
    else
        table_->selectRow(row);
    filling_ = false;
}

qint64 HistoryPanel::current() const
{
    const QList<QTableWidgetItem*> selected = table_->selectedItems();
    return selected.isEmpty()
               ? 0
               : table_->item(selected.first()->row(), Shown)->data(idRole).toLongLong();
}

void HistoryPanel::itemChanged(QTableWidgetItem* item)
{
    if (filling_)
        return;
    const qint64 id = table_->item(item->row(), Shown)->data(idRole).toLongLong();
    if (item->column() == Shown)
        emit shownChanged(id, item->checkState() == Qt::Checked);
    else if (item->column() == Note)
        emit noteEdited(id, item->text());
}

bool HistoryPanel::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == table_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete && current() != 0) {
        emit deleteRequested(current());
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace kestrel
