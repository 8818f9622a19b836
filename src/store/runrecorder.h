#pragma once

#include "store/rundatabase.h"

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace kestrel
{

// Keeps the runs of this program in the run store, off the GUI thread: the store has
// a thread of its own and every point is committed as it is recorded. When the store
// cannot be opened or written, failed() says so once and nothing more is tried; the
// sweeps go on.
class RunRecorder : public QObject
{
    Q_OBJECT
  public:
    // path empty: no store, nothing kept and nothing said.
    RunRecorder(QString path, QString program, QObject* parent = nullptr);
    ~RunRecorder() override; // everything asked for is written first

    const QString& path() const { return path_; }
    bool isKeeping() const { return !path_.isEmpty() && !broken_; }
    QString problem() const; // "Runs are not being kept: ...", or empty

    // A sweep begins: its row, owned by this process, state "running".
    void begin(const Run& run);
    // One point of the sweep begun last, from any thread. Returns once it is committed
    // (or after at most a second: a slow disk does not stall the sweep).
    void keepPoint(int index, double level, double amps, qint64 ms);
    void finish(const Run& run);
    // The runs found interrupted since they were last reported; done runs on this
    // object's thread.
    void recover(std::function<void(std::vector<StoredRun>)> done);

  signals:
    void failed(const QString& message);
    // The run begun last has its row in the store, under this id; on this object's
    // thread.
    void begun(qint64 id);

  private:
    void post(std::function<void()> task);
    void workerLoop();
    // On the worker: the first failure breaks the store for the rest of the run of
    // this program, and says so once.
    void check(bool ok);
    void breakWith(const QString& reason);

    const QString path_;
    const QString program_;
    std::atomic<bool> broken_ = false;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool quitting_ = false;
    QString problem_;
    // Worker only.
    std::unique_ptr<RunDatabase> database_;
    qint64 runId_ = 0;
    std::thread worker_;
};

} // namespace kestrel
