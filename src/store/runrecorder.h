#pragma once

#include "store/rundatabase.h"

#include <QDateTime>
#include <QObject>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <thread>
#include <variant>

namespace kestrel
{

// Keeps the runs of this program in the run store, off the GUI thread: the store has
// a thread of its own and every point is committed as soon as the store takes it. The
// sweep never waits for the store: while another program holds it, points wait in
// memory (at most maxWaitingPoints) and are committed in order once it frees. When the
// store cannot be opened or written, failed() says so once and nothing more is tried;
// the sweeps go on.
class RunRecorder : public QObject
{
    Q_OBJECT
  public:
    // A whole sweep: no sweep measures more points.
    static constexpr int maxWaitingPoints = 1'000'001;
    // How long one write waits for the store before the recorder says the points wait.
    static constexpr int busyTimeoutMs = 500;
    // The end of the program waits this long for a busy store to take what waits.
    static constexpr int quitWaitMs = 10000;
    // Half the shortest tick: a point shown is in the store as a rule, and a store that
    // turns busy costs the sweep this once, not a tick.
    static constexpr int commitWaitMs = 50;

    // path empty: no store, nothing kept and nothing said.
    RunRecorder(QString path, QString program, QObject* parent = nullptr);
    ~RunRecorder() override; // what waits is written first, if the store takes it soon

    const QString& path() const { return path_; }
    bool isKeeping() const { return !path_.isEmpty() && !broken_; }
    QString problem() const; // "Runs are not being kept: ...", or empty
    // Points measured and not yet in the store.
    int waitingPoints() const { return waitingPoints_; }

    // A sweep begins: its row, owned by this process, state "running".
    void begin(const Run& run);
    // One point of the sweep begun last, from any thread. While nothing waits for the
    // store it returns once the point is committed, or after commitWaitMs at most;
    // while points wait, at once.
    void keepPoint(int index, double level, double amps, qint64 ms, int inCompliance = -1,
                   double sd = std::numeric_limits<double>::quiet_NaN());
    void finish(const Run& run);
    // The runs found interrupted since they were last reported; done runs on this
    // object's thread.
    void recover(std::function<void(std::vector<StoredRun>)> done);
    // Waits until everything asked for is written, at most timeoutMs: true when it is.
    bool waitUntilWritten(int timeoutMs);
    // For tests: the next `count` writes of a run's end fail as on a full disk.
    void failEnds(int count) { failingEnds_ = count; }
    // The word left beside the store for a run whose end could not be written, an
    // empty file named for it ("runs.sqlite-end-12-completed-off"): it takes no room
    // on a full disk. The next start reads it back.
    static QString lostEndPath(const QString& store, qint64 run, Run::Outcome outcome,
                               bool outputOff);

  signals:
    void failed(const QString& message);
    // The run begun last has its row in the store, under this id; on this object's
    // thread.
    void begun(qint64 id);
    // The store is busy: that many points wait for it, since then.
    void waiting(int points, const QDateTime& since);
    // Every point that waited is in the store now: that many waited since then.
    void caughtUp(int points, const QDateTime& since);
    // The end of the run is in the store.
    void ended(qint64 id);

  private:
    enum class Step { Done, Busy };
    using Job = std::variant<std::function<Step()>, MeasuredPoint>;
    void post(Job job);
    void workerLoop();
    Step keepPoints(const std::vector<MeasuredPoint>& points);
    Step writeEnd(const Run& ending);
    // On the worker: the ends left beside the store, recorded now where the store takes
    // them; the runs they belong to are told as such.
    void readLostEnds(std::vector<StoredRun>& runs);
    // On the worker: the store held by another connection.
    void noteBusy();
    void noteWritten(int points);
    // On the worker: the first failure breaks the store for the rest of the run of
    // this program, and says so once.
    void check(bool ok);
    void breakWith(const QString& reason);

    const QString path_;
    const QString program_;
    std::atomic<bool> broken_ = false;
    std::atomic<int> waitingPoints_ = 0;
    std::atomic<int> failingEnds_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable written_;
    std::deque<Job> jobs_;
    qint64 pointsPosted_ = 0;  // under mutex_
    qint64 pointsWritten_ = 0; // under mutex_, dropped ones included
    bool quitting_ = false;
    bool working_ = false; // a job is being written
    QString problem_;
    // Worker only.
    std::unique_ptr<RunDatabase> database_;
    qint64 runId_ = 0;
    QDateTime busySince_; // invalid while the store takes what it is given
    qint64 busyReported_ = 0;
    int keptSinceBusy_ = 0;
    std::thread worker_;
};

} // namespace kestrel
