#include "app/historypanel.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QTableView>
#include <QVBoxLayout>

namespace kestrel
{

HistoryPanel::HistoryPanel(QWidget* parent) : QWidget(parent), table_(new QTableView(this))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(table_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    table_->setWordWrap(false);
    table_->verticalHeader()->hide();
    // Every row one line high: no row is ever measured.
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 6);
    table_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    table_->horizontalHeader()->setStretchLastSection(true);
    // Sized once, from the first page: the cost of measuring stays bounded.
    table_->horizontalHeader()->setResizeContentsPrecision(RunHistoryModel::pageSize);
    table_->setToolTip(tr("Every run kept, newest first. Tick a run to show it on the chart; "
                          "the selected run is the one Save and Export write. Delete "
                          "removes the selected run."));
    table_->installEventFilter(this);
}

void HistoryPanel::setModel(RunHistoryModel* model)
{
    model_ = model;
    table_->setModel(model);
    // Rows coming in above the selected one move the selection without changing the run.
    connect(table_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        const qint64 id = current();
        const bool changed = id != selected_;
        selected_ = id;
        if (!selecting_ && changed && id != 0)
            emit chosen(id);
    });
    // How many points and how it ended come before the levels, so a laptop's narrow panel
    // shows them without scrolling sideways.
    QHeaderView* header = table_->horizontalHeader();
    for (const int column : {RunHistoryModel::Points, RunHistoryModel::Outcome})
        header->moveSection(header->visualIndex(column),
                            header->visualIndex(RunHistoryModel::Range));
    connect(model, &QAbstractItemModel::rowsInserted, this, &HistoryPanel::sizeColumnsOnce);
    sizeColumnsOnce();
}

void HistoryPanel::sizeColumnsOnce()
{
    if (sized_ || !model_ || model_->rowCount() == 0)
        return;
    sized_ = true;
    table_->resizeColumnsToContents();
    // The first rows may be a sweep that says "running" and counts up: the columns hold
    // what such a row says at its end.
    const QFontMetrics metrics = table_->fontMetrics();
    const int margin = 2 * metrics.averageCharWidth();
    for (const auto& [column, longest] :
         {std::pair{RunHistoryModel::Points, QStringLiteral("1,000,001")},
          std::pair{RunHistoryModel::Outcome, QStringLiteral("limit reached")}})
        table_->setColumnWidth(column, std::max(table_->columnWidth(column),
                                                metrics.horizontalAdvance(longest) + margin));
}

int HistoryPanel::rowOf(qint64 id) const
{
    return model_ ? model_->rowOf(id) : -1;
}

void HistoryPanel::setCurrent(qint64 id)
{
    selecting_ = true;
    const int row = rowOf(id);
    if (row < 0)
        table_->clearSelection();
    else if (current() != id)
        table_->selectRow(row);
    selecting_ = false;
}

qint64 HistoryPanel::current() const
{
    const QModelIndexList rows =
        table_->selectionModel() ? table_->selectionModel()->selectedRows() : QModelIndexList();
    return rows.isEmpty() || !model_ ? 0 : model_->idAt(rows.first().row());
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
