#pragma once

#include "controller/runhistory.h"

#include <QAbstractTableModel>
#include <QSet>
#include <QTimer>

#include <optional>
#include <vector>

namespace kestrel
{

// Every run in the store as a table, newest first, for any view of the runs. Rows come
// a page at a time as a view reaches them (canFetchMore, fetchMore), read on the
// history's own thread; a change to one run reads that run alone and changes its row
// alone, so nothing costs more with more runs. The tick of the first column says
// whether the run is shown; the note is the one text to edit. The sweep being measured
// counts its points in its row as they come and takes its end from the sweep itself.
class RunHistoryModel : public QAbstractTableModel
{
    Q_OBJECT
  public:
    enum Column { Shown, Started, Shape, Range, Points, Measured, Outcome, Note, ColumnCount };
    static constexpr int idRole = Qt::UserRole; // the run's id, in every column
    static constexpr int pageSize = 100;
    // How often the sweep being measured shows its count, at most.
    static constexpr int liveUpdateMs = 100;

    explicit RunHistoryModel(RunHistory& history, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // The tick (check state) and the note (edit role); a note goes to the store, and
    // the row shows what the store kept.
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

    // Runs newer than the newest row (a sweep began, a file was opened, another program
    // measured) come in at the top.
    void fetchNewer();
    // Reads the run again: its row changes, or goes when the run has.
    void reread(qint64 id);

    // The run the sweep being measured records into.
    void beginLive(qint64 id);
    void livePoint(double levelVolts);
    void finishLive(const Run& finished);

    // Shown runs may include runs that are not listed (the window's runs kept nowhere).
    void setShown(qint64 id, bool shown);
    bool isShown(qint64 id) const { return shown_.contains(id); }
    const QSet<qint64>& shownRuns() const { return shown_; }

    qint64 idAt(int row) const;
    int rowOf(qint64 id) const; // -1 when the run is not listed
    const StoredRun* run(qint64 id) const;

  signals:
    // The user ticked or unticked a run (through setData).
    void shownToggled(qint64 id, bool shown);
    // The first page is in: the newest runs are listed.
    void firstPageListed();

  private:
    // What the sweep being measured knows of its run, put over what its row last read.
    struct Live {
        qint64 id = 0;
        int points = 0;
        std::optional<LevelSpan> levels;
        std::optional<Run::Outcome> outcome; // once it has ended
        QString message;
    };
    QVariant text(const StoredRun& stored, int column) const;
    void paged(std::optional<std::vector<StoredRun>> runs);
    void newer(std::optional<std::vector<StoredRun>> runs);
    void replace(qint64 id, std::optional<std::vector<StoredRun>> runs);
    void removeRun(qint64 id);
    void rowChanged(int row, Column from = Shown, Column to = Note);
    void applyLive(StoredRun& stored) const;

    RunHistory& history_;
    std::vector<StoredRun> rows_; // ids strictly descending
    QSet<qint64> shown_;
    Live live_;
    QTimer liveTimer_;
    bool fetching_ = false;
    bool atEnd_ = false;
    bool firstPageIn_ = false;
    bool newerWanted_ = false; // asked for before the first page was in
};

} // namespace kestrel
