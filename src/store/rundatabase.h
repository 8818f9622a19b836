#pragma once

#include "data/run.h"
#include "data/storedrun.h"
#include "store/processid.h"

#include <QString>

#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <vector>

class QSqlDatabase;
class QSqlError;
class QSqlQuery;

namespace kestrel
{

// A point as the sweep measured it: its place in the run and when it was read, in
// milliseconds since the sweep started.
struct MeasuredPoint {
    int index = 0;
    double level = 0;
    double amps = 0;
    qint64 ms = 0;
    int inCompliance = -1; // 1 at the source's limit, 0 not, -1 the source did not tell
    double sd = std::numeric_limits<double>::quiet_NaN(); // over its readings; NaN: one
};

// The run store: one SQLite file (WAL) holding every run and its points, each point
// committed as it is recorded. Used from one thread at a time (the thread that opened
// it); several processes may use the same file. An existing file is only ever written
// when it is a Kestrel store of this schema version or an older one, which is migrated.
// An ended run the lab store lacks, or has an older revision of.
struct UnpublishedRun {
    qint64 id = 0;
    int revision = 0;
};

class RunDatabase
{
  public:
    static constexpr int schemaVersion = 11;
    static constexpr int defaultBusyTimeoutMs = 5000;

    // busyTimeoutMs: how long a write waits for another connection holding the store
    // before it fails as busy.
    explicit RunDatabase(QString path, int busyTimeoutMs = defaultBusyTimeoutMs);
    ~RunDatabase();
    RunDatabase(const RunDatabase&) = delete;
    RunDatabase& operator=(const RunDatabase&) = delete;

    // Whether open() reads every page first: a writer that keeps runs for long does, so
    // that it never writes into a file SQLite finds malformed.
    enum class Pages { Unchecked, Checked };
    // Opens the store, making it (and its folder) when there is none: why not, or "".
    QString open(Pages pages = Pages::Unchecked);
    const QString& path() const { return path_; }
    QString lastError() const { return error_; }
    // The last failure was another connection holding the store: the same write may go
    // through later.
    bool wasBusy() const { return busy_; }
    // SQLite found the file malformed: nothing more is written into it.
    bool isDamaged() const { return damaged_; }

    // A new run, state "running", owned by that process: its id, or 0.
    qint64 beginRun(const Run& run, const QString& program, const ProcessId& owner,
                    const QString& note = QString());
    bool addPoint(qint64 run, int index, double level, double amps, qint64 ms,
                  int inCompliance = -1, double sd = std::numeric_limits<double>::quiet_NaN());
    // Several points in one transaction: all of them, or none.
    bool addPoints(qint64 run, std::span<const MeasuredPoint> points);
    // How the run ended: its end time, outcome, message and whether the output is off.
    bool finishRun(qint64 run, const Run& finished);
    // The guard's word on the runs its owner measured on its source: what it did and
    // whether the output is off now. Those runs are the ones named, and the owner's run
    // on that source still marked running.
    // A family's step source's guard (stepSource) records its word apart, in those runs only.
    bool recordGuard(const ProcessId& owner, const Endpoint& source, const QList<qint64>& runs,
                     bool outputOff, const QString& text, bool stepSource = false);
    // The sweep measured that many points of the run: those the store lacks are named
    // as lost in its message and its guard's word, and the run is reported again. True
    // when nothing was lost or that was written.
    bool recordUnkept(qint64 run, int measured);
    // The end of a run its program could not write when it ended, from the word it left
    // beside the store: the outcome, whether the output was confirmed off, and why.
    bool recordLostEnd(qint64 run, Run::Outcome outcome, bool outputOff, const QString& message);
    // Copies the write-ahead log into the store and starts it again: true when done.
    bool checkpoint();
    // A whole run from a file, points and all, in one transaction: its id, or 0. The
    // note says where it came from, such as the file's name.
    qint64 importRun(const Run& run, const QString& program, const QString& note = QString());
    // A fit of the run, with its quantities, in one transaction: its id, or 0.
    qint64 addFit(qint64 run, const RunFit& fit);
    // Replaces the run's note.
    bool setNote(qint64 run, const QString& note);
    // Refused while the run is still being recorded by a live program.
    bool remove(qint64 run);

    // Newest first, without their points; a run's counts come from its row, those of a
    // run still running from its points.
    std::vector<StoredRun> list(const RunRange& range = {});
    enum class Points { Read, Left };
    // With its fits, and its points unless they are left for measuredPoints().
    std::optional<StoredRun> load(qint64 run, Points points = Points::Read);
    // The curves of the family that run belongs to, in step order; none when it is a run
    // of its own or cannot be read (lastError() says which).
    std::vector<qint64> familyOf(qint64 run);

    // Runs whose program ended while they ran become "interrupted"; those not reported
    // before come back (newest first) and count as reported from now on.
    std::vector<StoredRun> recoverInterrupted();
    // The same marking without reporting, for tools that only look.
    bool markOrphans();

    // Ended runs whose latest revision the lab store lacks, oldest first.
    std::vector<UnpublishedRun> unpublished();
    // The lab store holds that revision of the run.
    bool markPublished(qint64 run, int revision);
    // The run's points as measured, times and all, in order.
    std::vector<MeasuredPoint> measuredPoints(qint64 run);

  private:
    bool execute(QSqlQuery& query, const char* what);
    bool fail(const QString& what, const QString& reason);
    bool fail(const QString& what, const QSqlError& error);
    // Creating, checking and migrating the file: one try, which another connection busy
    // with the same file may make fail; "" when the store is ready.
    QString prepare();
    bool migrate(int from);                 // on failure lastError() is the whole reason
    static QString newerStore(int version); // why a store of that version is left alone
    StoredRun storedRun(const QSqlQuery& query) const;
    bool loadFits(qint64 run, std::vector<RunFit>& fits);

    const QString path_;
    const QString connection_;
    const int busyTimeoutMs_;
    QString error_;
    bool busy_ = false;
    bool damaged_ = false;
    std::unique_ptr<QSqlQuery> insertPoint_;
};

// The statements that take a store from version `from` to the next, 0 <= from <
// RunDatabase::schemaVersion.
const std::vector<const char*>& schemaStep(int from);

// $XDG_DATA_HOME/kestrel/runs.sqlite (~/.local/share/kestrel/runs.sqlite); ~ is the
// user database's home where $HOME is unset.
QString defaultStorePath();

} // namespace kestrel
