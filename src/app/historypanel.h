#pragma once

#include "store/rundatabase.h"

#include <QSet>
#include <QWidget>

#include <vector>

class QTableWidget;
class QTableWidgetItem;

namespace kestrel
{

// Every run in the store, newest first, a row each: when it started, its shape and
// range, its points, how it ended and the user's note. The tick of a row shows the
// run on the chart; the selected row is the current run. The panel holds no store:
// it shows the list it is given and says what the user asked for.
class HistoryPanel : public QWidget
{
    Q_OBJECT
  public:
    enum Column { Shown, Started, Shape, Range, Points, Outcome, Note, ColumnCount };

    explicit HistoryPanel(QWidget* parent = nullptr);

    // The store's runs; those in shown are ticked, current is selected (0: none).
    void setRuns(const std::vector<StoredRun>& runs, const QSet<qint64>& shown, qint64 current);
    void setCurrent(qint64 id);
    qint64 current() const;
    int rowOf(qint64 id) const; // -1 when the run is not listed
    QTableWidget* table() const { return table_; }

  signals:
    void shownChanged(qint64 id, bool shown);
    void chosen(qint64 id);
    void noteEdited(qint64 id, const QString& note);
    void deleteRequested(qint64 id);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override; // Delete asks to delete

  private:
    void itemChanged(QTableWidgetItem* item);

    QTableWidget* table_;
    bool filling_ = false; // while the list is being put in, changes are not the user's
};

} // namespace kestrel
