#include "app/historypanel.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QTreeView>
#include <QVBoxLayout>

namespace kestrel
{

HistoryPanel::HistoryPanel(QWidget* parent) : QWidget(parent), table_(new QTreeView(this))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(table_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    table_->setWordWrap(false);
    // Every row one line high: no row is ever measured.
    table_->setUniformRowHeights(true);
    table_->setAllColumnsShowFocus(true);
    table_->header()->setSectionResizeMode(QHeaderView::Interactive);
    table_->header()->setStretchLastSection(true);
    // Sized once, from the first page: the cost of measuring stays bounded.
    table_->header()->setResizeContentsPrecision(RunHistoryModel::pageSize);
    table_->setToolTip(tr("Every run kept, newest first; a family of curves opens into its "
                          "curves. Tick a run to show it on the chart; the selected run is the "
                          "one Save and Export write (a family: Save its last curve, Export "
                          "CSV the whole family). Delete removes the selected run."));
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
    QHeaderView* header = table_->header();
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
    for (int column = 0; column < RunHistoryModel::ColumnCount; ++column)
        table_->resizeColumnToContents(column);
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
    const QModelIndex index = model_ ? model_->indexOf(id) : QModelIndex();
    if (!index.isValid()) {
        table_->clearSelection();
    } else if (current() != id) {
        table_->expand(index.parent());
        table_->setCurrentIndex(index);
    }
    selecting_ = false;
}

qint64 HistoryPanel::current() const
{
    const QModelIndexList rows =
        table_->selectionModel() ? table_->selectionModel()->selectedRows() : QModelIndexList();
    return rows.isEmpty() ? 0 : rows.first().data(RunHistoryModel::idRole).toLongLong();
}

QString HistoryPanel::currentFamily() const
{
    const QModelIndexList rows =
        table_->selectionModel() ? table_->selectionModel()->selectedRows() : QModelIndexList();
    return rows.isEmpty() ? QString() : rows.first().data(RunHistoryModel::familyRole).toString();
}

bool HistoryPanel::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == table_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete && current() != 0 &&
        currentFamily().isEmpty()) { // a family's curves are deleted one by one
        emit deleteRequested(current());
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace kestrel
