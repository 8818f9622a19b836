#pragma once

#include "store/labstore.h"

#include <QAbstractTableModel>
#include <QDateTime>
#include <QSortFilterProxyModel>
#include <QWidget>

#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeView;

namespace kestrel
{

// The lab store's runs as a table, newest first: the bench that measured each, when it
// started, its shape and range, its points, how it ended and its note.
class LabRunsModel : public QAbstractTableModel
{
    Q_OBJECT
  public:
    enum Column { Bench, Started, Shape, Range, Points, Outcome, Note, ColumnCount };
    static constexpr int uuidRole = Qt::UserRole;

    using QAbstractTableModel::QAbstractTableModel;
    // The runs listed now, in place of those before.
    void setRuns(std::vector<LabRun> runs);
    const LabRun* run(const QString& uuid) const;
    const std::vector<LabRun>& runs() const { return runs_; }
    QStringList benches() const; // every bench listed, in order

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

  private:
    std::vector<LabRun> runs_;
};

// Which lab runs the table shows: one bench's or every bench's, those started since a
// time, and those whose bench, note, message, outcome or shape hold a text.
class LabRunsFilter : public QSortFilterProxyModel
{
    Q_OBJECT
  public:
    using QSortFilterProxyModel::QSortFilterProxyModel;
    void setBench(const QString& bench);   // "": every bench
    void setSince(const QDateTime& since); // invalid: any time
    void setText(const QString& text);

  protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override;

  private:
    QString bench_, text_;
    QDateTime since_;
};

// The Lab view: every bench's runs as the lab store lists them, a bench, a time and a
// text to narrow them, and a line that says where the list comes from and how fresh it
// is. Double-click, Enter or Show on chart asks for a run to be drawn as the current one.
class LabPanel : public QWidget
{
    Q_OBJECT
  public:
    explicit LabPanel(QWidget* parent = nullptr);

    LabRunsModel* model() const { return model_; }
    LabRunsFilter* filter() const { return filter_; }
    QTreeView* table() const { return table_; }
    QComboBox* benchChoice() const { return bench_; }
    QComboBox* timeChoice() const { return since_; }
    QLineEdit* search() const { return search_; }
    QPushButton* showButton() const { return show_; }
    QLabel* stateLine() const { return state_; }

    // The runs listed now; the filters and the selection stay.
    void setRuns(std::vector<LabRun> runs);
    void setState(const QString& text, bool problem);
    QString selectedUuid() const;

  signals:
    void showRequested(const QString& uuid);

  private:
    void applyTime();

    LabRunsModel* model_;
    LabRunsFilter* filter_;
    QTreeView* table_;
    QComboBox* bench_;
    QComboBox* since_;
    QLineEdit* search_;
    QPushButton* show_;
    QLabel* state_;
    bool sized_ = false;
};

} // namespace kestrel
