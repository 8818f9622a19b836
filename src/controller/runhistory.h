#pragma once

#include "link/workqueue.h"
#include "store/rundatabase.h"

#include <QObject>

#include <memory>
#include <vector>

namespace kestrel
{

// Every run in the store, for the window's history: listing, loading, deleting and
// importing all run on a thread of their own with a connection of their own, so the
// window never waits for the disk. Each answer comes back as a signal; a store that
// cannot be read gives failed() with the reason and an empty list.
class RunHistory : public QObject
{
    Q_OBJECT
  public:
    // path empty: there is no store, and every request fails.
    explicit RunHistory(QString path, QObject* parent = nullptr);
    ~RunHistory() override;

    const QString& path() const { return path_; }

    void refresh();
    void load(qint64 id);
    void remove(qint64 id);
    // A data file or a Kestrel CSV becomes a run ("imported", the file's name as its
    // note); imported() gives its id.
    void importFile(const QString& filePath);
    void setNote(qint64 id, const QString& note);
    void addFit(qint64 id, const RunFit& fit);

  signals:
    void listed(const std::vector<kestrel::StoredRun>& runs);
    void loaded(const kestrel::StoredRun& run);
    void removed(qint64 id);
    void noteKept(qint64 id);
    void fitKept(qint64 id);
    void imported(qint64 id, const QString& filePath);
    void failed(const QString& message);

  private:
    // On the worker: the open store, or why not.
    struct Store;
    template <typename Work, typename Done> void onStore(Work work, Done done);

    const QString path_;
    std::shared_ptr<Store> store_; // touched only on the worker
    WorkQueue queue_;
};

} // namespace kestrel
