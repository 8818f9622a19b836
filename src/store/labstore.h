#pragma once

#include "data/storedrun.h"
#include "store/labsettings.h"
#include "store/rundatabase.h"

#include <QString>

class QSqlQuery;

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace kestrel
{

// A run as the lab store keeps it, from whichever bench published it.
struct LabRun {
    StoredRun stored;       // stored.id is the lab's id; its points only when loaded
    std::vector<qint64> ms; // each point's time since the sweep started, when loaded
    QString publishedBy;    // the database role that published it
};

// What a round of publishing did.
struct PublishResult {
    int published = 0;    // runs the lab store took in this round
    int waiting = 0;      // ended runs it still lacks
    QString problem;      // why the others wait: "" when none do
    bool refused = false; // no connection was made
};

// The lab's PostgreSQL store, through Qt SQL's QPSQL driver: the runs every bench has
// published, in a documented schema (see README, "Sharing runs across a lab"). One
// object is one connection, used from the thread that made it; any thread may have its
// own. Nothing waits for the server longer than labsettings.h's limits.
class AnswerLimit;

class LabStore
{
  public:
    // The public schema's version: the lab's kestrel_schema table holds it.
    static constexpr int schemaVersion = 1;

    explicit LabStore(LabUri uri);
    ~LabStore();
    LabStore(const LabStore&) = delete;
    LabStore& operator=(const LabStore&) = delete;

    // Connects and makes the schema when the database has none: "" when ready, else why
    // not, naming the server. A schema newer than this program's is left as it is.
    QString open();
    // open() failed before any answer from the server (down, refused, authentication).
    bool wasRefused() const { return refused_; }
    const LabUri& uri() const { return uri_; }

    // Copies every ended run of the local store that the lab lacks, or has an older
    // revision of, each in one transaction; a run is marked published only once its
    // transaction has committed. Opens the store first when it is not open.
    // Once budgetMs have gone by, no other run is begun: those left wait for the next
    // round (-1: no budget).
    PublishResult publish(RunDatabase& local, qint64 budgetMs = -1);

    // Newest first, without points; bench "" lists every bench.
    std::optional<std::vector<LabRun>> list(const QString& bench = QString());
    // One run by its UUID, points and fits and all; none with lastError() set.
    std::optional<LabRun> load(const QString& uuid);
    QString lastError() const { return error_; }

    // Calls heard, on this thread's event loop, each time a bench publishes a run
    // (LISTEN kestrel_runs). False, with lastError(), when the store cannot listen.
    bool listen(QObject* context, std::function<void()> heard);
    // Asks the server for an answer: false, with lastError(), once the connection is lost.
    bool alive();

  private:
    // One exchange with the server (a statement, a transaction's start or end), with the
    // answer limit's clock started again.
    bool limited(const std::function<bool()>& exchange);
    bool exec(QSqlQuery& query);
    bool exec(QSqlQuery& query, const QString& statement);
    // One run in one transaction: "" when the lab has it now.
    QString publishRun(RunDatabase& local, const UnpublishedRun& run);
    QString prepareSchema();
    QString failure(const QString& what, const class QSqlError& error) const;

    const LabUri uri_;
    const QString connection_;
    std::unique_ptr<AnswerLimit> limit_; // cuts a connection whose server went silent
    bool open_ = false;
    bool refused_ = false;
    QString error_;
};

// A listed lab run as one line of JSON, for a program that reads the lab through
// kestrel-runs --lab list --json: its uuid, bench, times (ms since 1970), outcome, message,
// note, point count and the settings the listing has. labRunFromLine reads one back; none
// when the line is not one.
QByteArray labRunLine(const LabRun& run);
std::optional<LabRun> labRunFromLine(const QByteArray& line);

// The one line that says runs wait for the lab store, and why:
// "Lab store: 3 runs waiting — the server at HOST:PORT refused the connection: ...".
QString labWaitingLine(const PublishResult& result, const LabUri& uri);

} // namespace kestrel
