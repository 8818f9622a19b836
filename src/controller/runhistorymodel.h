#pragma once

#include "controller/runhistory.h"

#include <QAbstractItemModel>
#include <QHash>
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
// A family's curves are one row, in the place of the curve of it listed first, with the
// curves under it in step order: they join it as they are listed, from any page or live.
class RunHistoryModel : public QAbstractItemModel
{
    Q_OBJECT
  public:
    enum Column { Shown, Started, Shape, Range, Points, Measured, Outcome, Note, ColumnCount };
    // The run's id, in every column; a family's row gives its last curve's.
    static constexpr int idRole = Qt::UserRole;
    static constexpr int familyRole = Qt::UserRole + 1; // the family's id, on its row only
    static constexpr int pageSize = 100;
    // The Shape and Range columns' words for a run: "dual × 3", "hold 5 s";
    // "-1 V to 1 V".
    static QString shapeText(const Run& run);
    static QString rangeText(const Run& run);
    // How often the sweep being measured shows its count, at most.
    static constexpr int liveUpdateMs = 100;

    explicit RunHistoryModel(RunHistory& history, QObject* parent = nullptr);

    QModelIndex index(int row, int column,
                      const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
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

    // Of the rows at the top: the run's id, or its family's last curve's.
    qint64 idAt(int row) const;
    std::vector<qint64> idsAt(int row) const; // the run, or every curve of the family
    int rowOf(qint64 id) const; // the run's or its family's row at the top; -1: not listed
    QModelIndex indexOf(qint64 id) const; // the run's own row, a curve's under its family
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
    // A row at the top: one run, or a family's curves in step order.
    struct Row {
        qint64 key = 0; // the run's id; a family's, that of its curve listed first
        std::vector<StoredRun> runs;
        bool family() const { return runs.front().run.settings.step.has_value(); }
    };
    // Where a run is listed: its row at the top, and its place under it (-1: the row).
    struct Place {
        int row = -1;
        int child = -1;
    };
    QVariant text(const StoredRun& stored, int column) const;
    QVariant familyText(const Row& row, int column) const;
    Qt::CheckState shownState(const Row& row) const;
    const StoredRun* stored(const QModelIndex& index) const;
    Place place(qint64 id) const;
    StoredRun& runAt(const Place& at); // at.row listed
    int rowOfKey(qint64 key) const;
    // The run goes under its family's row when that is listed: true. The new rows
    // (pending) are searched too; a run of neither starts a row of its own.
    bool joinFamily(StoredRun& run, std::vector<Row>& pending);
    void paged(std::optional<std::vector<StoredRun>> runs);
    void newer(std::optional<std::vector<StoredRun>> runs);
    void replace(qint64 id, std::optional<std::vector<StoredRun>> runs);
    void removeRun(qint64 id);
    void rowChanged(int row, Column from = Shown, Column to = Note);
    void runChanged(const Place& at, Column from = Shown, Column to = Note);
    void applyLive(StoredRun& stored) const;

    RunHistory& history_;
    std::vector<Row> rows_;           // keys strictly descending
    QHash<QString, qint64> families_; // a family's id: its row's key
    QHash<qint64, qint64> curves_;    // a family's curve: its row's key
    qint64 newest_ = 0;               // the newest and the oldest run listed
    qint64 oldest_ = 0;
    QSet<qint64> shown_;
    Live live_;
    QTimer liveTimer_;
    bool fetching_ = false;
    bool atEnd_ = false;
    bool firstPageIn_ = false;
    bool newerWanted_ = false; // asked for before the first page was in
};

} // namespace kestrel
