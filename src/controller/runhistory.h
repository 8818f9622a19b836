#pragma once

#include "data/datafile.h"
#include "data/ivpoints.h"
#include "data/storedrun.h"
#include "link/workqueue.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace kestrel
{

class RunDatabase;

// The family of that curve as one CSV, its curves read from the store: the bytes of the
// family CSV its program wrote as it measured it.
WriteResult exportStoredFamily(RunDatabase& store, qint64 curve, const QString& path);

// A run read from the store with its points as the chart draws them, both made on the
// store's thread: copying a million points would hold the GUI thread for tens of
// milliseconds.
struct LoadedRun {
    qint64 id = 0;
    std::shared_ptr<const Run> run;
    // For the one receiver that draws it to take (std::move) rather than copy; null
    // unless asked for.
    std::shared_ptr<ChartPointList> chartPoints;
};

// Every run in the store, for the window's history: listing, loading, deleting and
// importing all run on a thread of their own with a connection of their own, so the
// window never waits for the disk. Requests are served in the order made; each answer
// comes back as a signal or to the caller's function, and a store that cannot be read
// gives failed() with the reason.
class RunHistory : public QObject
{
    Q_OBJECT
  public:
    // path empty: there is no store, and every request fails.
    explicit RunHistory(QString path, QObject* parent = nullptr);
    ~RunHistory() override;

    const QString& path() const { return path_; }

    // The runs in range, newest first, to done on context's thread (nothing when context
    // has gone); when they cannot be read, failed() and done(std::nullopt).
    void list(const RunRange& range, QObject* context,
              std::function<void(std::optional<std::vector<kestrel::StoredRun>>)> done);
    // With forChart, the run comes with its chart records too (LoadedRun::chartPoints).
    void load(qint64 id, bool forChart);
    void remove(qint64 id);
    // A data file or a Kestrel CSV becomes a run ("imported", the file's name as its
    // note); imported() gives its id.
    void importFile(const QString& filePath);
    void setNote(qint64 id, const QString& note);
    // The family of that curve as one CSV (exportStoredFamily): exported() says how it went.
    void exportFamily(qint64 curve, const QString& path);
    void addFit(qint64 id, const RunFit& fit);

  signals:
    void loaded(const kestrel::LoadedRun& run);
    void removed(qint64 id);
    void fitKept(qint64 id);
    void noteKept(qint64 id);
    void imported(qint64 id, const QString& filePath);
    void exported(bool ok, const QString& message);
    void failed(const QString& message);

  private:
    // On the worker: the open store, or why not.
    struct Store;
    // failedToo: also called, with no result, when the store will not open.
    template <typename Work, typename Done>
    void onStore(Work work, Done done, std::function<void()> failedToo = {});

    const QString path_;
    std::shared_ptr<Store> store_; // touched only on the worker
    WorkQueue queue_;
};

} // namespace kestrel
