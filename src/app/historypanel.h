#pragma once

#include "controller/runhistorymodel.h"

#include <QWidget>

class QTreeView;

namespace kestrel
{

// The store's runs as a table over a RunHistoryModel, newest first: when each started,
// its shape and range, its points and the levels measured, how it ended and the user's
// note (double-click to edit). The tick of a row shows the run on the chart; the
// selected row is the current run; Delete asks to delete it. A family is one row that
// opens into its curves; chosen, its last curve is the current run, and Export CSV
// writes the family. The columns are sized once,
// when the first runs come, and after that only by the user: a changed row lays out
// nothing else.
class HistoryPanel : public QWidget
{
    Q_OBJECT
  public:
    explicit HistoryPanel(QWidget* parent = nullptr);

    void setModel(RunHistoryModel* model);
    RunHistoryModel* model() const { return model_; }
    void setCurrent(qint64 id); // 0, or a run not listed: none
    qint64 current() const;
    int rowOf(qint64 id) const; // -1 when the run is not listed
    // The family whose row is selected, or empty (a run or one curve is).
    QString currentFamily() const;
    QTreeView* table() const { return table_; }

  signals:
    void chosen(qint64 id);
    void deleteRequested(qint64 id);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override; // Delete asks to delete

  private:
    void sizeColumnsOnce();

    QTreeView* table_;
    RunHistoryModel* model_ = nullptr;
    bool selecting_ = false; // while the program selects, the change is not the user's
    qint64 selected_ = 0;
    bool sized_ = false;
};

} // namespace kestrel
