#include "controller/runhistory.h"

#include "controller/sweepdescription.h"

#include "store/rundatabase.h"
#include "store/runimport.h"

namespace kestrel
{

struct RunHistory::Store {
    std::unique_ptr<RunDatabase> database; // opened by the first request that finds it closed
};

RunHistory::RunHistory(QString path, QObject* parent)
    : QObject(parent), path_(std::move(path)), store_(std::make_shared<Store>())
{
}

RunHistory::~RunHistory()
{
    // The connection belongs to the worker: it is closed there.
    queue_.post(
        [store = store_](const CancelSignal&) {
            store->database.reset();
            return std::function<void()>();
        },
        nullptr);
    queue_.waitForIdle(5000);
}

// work(database) runs on the worker with the store open; its result goes to done on
// this object's thread. A store that will not open fails the request with the reason.
template <typename Work, typename Done>
void RunHistory::onStore(Work work, Done done, std::function<void()> failedToo)
{
    using Result = decltype(work(std::declval<RunDatabase&>()));
    struct Answer {
        std::optional<Result> result;
        QString problem;
    };
    queue_.run(
        this,
        [path = path_, store = store_, work](const CancelSignal&) {
            if (path.isEmpty())
                return Answer{std::nullopt, tr("Runs are not being kept, so there is no history.")};
            if (!store->database) {
                auto database = std::make_unique<RunDatabase>(path);
                if (const QString problem = database->open(); !problem.isEmpty())
                    return Answer{std::nullopt,
                                  tr("The run store cannot be read: %1").arg(problem)};
                store->database = std::move(database);
            }
            return Answer{work(*store->database), QString()};
        },
        [this, done, failedToo = std::move(failedToo)](const Answer& answer) {
            if (answer.result) {
                done(*answer.result);
                return;
            }
            emit failed(answer.problem);
            if (failedToo)
                failedToo();
        });
}

void RunHistory::list(const RunRange& range, QObject* context,
                      std::function<void(std::optional<std::vector<StoredRun>>)> done)
{
    using Listed = std::variant<std::vector<StoredRun>, QString>;
    const QPointer<QObject> guard(context);
    const auto answer = [guard,
                         done = std::move(done)](std::optional<std::vector<StoredRun>> runs) {
        if (guard)
            done(std::move(runs));
    };
    onStore(
        [range](RunDatabase& db) -> Listed {
            std::vector<StoredRun> runs = db.list(range);
            if (!db.lastError().isEmpty())
                return db.lastError();
            return runs;
        },
        [this, answer](const Listed& runs) {
            if (const QString* problem = std::get_if<QString>(&runs)) {
                emit failed(*problem);
                answer(std::nullopt);
            } else {
                answer(std::get<std::vector<StoredRun>>(runs));
            }
        },
        [answer] { answer(std::nullopt); });
}

void RunHistory::load(qint64 id, bool forChart)
{
    onStore(
        [id, forChart](RunDatabase& db) -> std::variant<LoadedRun, QString> {
            std::optional<StoredRun> stored = db.load(id);
            if (!stored)
                return tr("Run %1 cannot be read: %2").arg(id).arg(db.lastError());
            std::shared_ptr<ChartPointList> chartPoints;
            if (forChart)
                chartPoints = std::make_shared<ChartPointList>(chartPointsOfRun(stored->run));
            return LoadedRun{id, std::make_shared<const Run>(std::move(stored->run)),
                             std::move(chartPoints)};
        },
        [this](const std::variant<LoadedRun, QString>& run) {
            if (const QString* problem = std::get_if<QString>(&run))
                emit failed(*problem);
            else
                emit loaded(std::get<LoadedRun>(run));
        });
}

void RunHistory::remove(qint64 id)
{
    onStore([id](RunDatabase& db) { return db.remove(id) ? QString() : db.lastError(); },
            [this, id](const QString& problem) {
                if (problem.isEmpty())
                    emit removed(id);
                else
                    emit failed(tr("Run %1 was not deleted: %2").arg(id).arg(problem));
            });
}

void RunHistory::setNote(qint64 id, const QString& note)
{
    onStore(
        [id, note](RunDatabase& db) { return db.setNote(id, note) ? QString() : db.lastError(); },
        [this, id](const QString& problem) {
            if (!problem.isEmpty())
                emit failed(tr("The note on run %1 was not kept: %2").arg(id).arg(problem));
            else
                emit noteKept(id);
        });
}

WriteResult exportStoredFamily(RunDatabase& store, qint64 curve, const QString& path)
{
    const std::vector<qint64> ids = store.familyOf(curve);
    if (ids.empty())
        return WriteResult{false,
                           store.lastError().isEmpty()
                               ? RunHistory::tr("Run %1 is not a curve of a family.").arg(curve)
                               : store.lastError()};
    std::vector<std::shared_ptr<const Run>> curves;
    QString program;
    for (const qint64 id : ids) {
        std::optional<StoredRun> stored = store.load(id);
        if (!stored)
            return WriteResult{
                false, RunHistory::tr("Run %1 cannot be read: %2").arg(id).arg(store.lastError())};
        program = stored->program;
        curves.push_back(std::make_shared<const Run>(std::move(stored->run)));
    }
    return exportFamilyCsv(program, path, curves, familyMessage(curves));
}

void RunHistory::exportFamily(qint64 curve, const QString& path)
{
    onStore([curve, path](RunDatabase& db) { return exportStoredFamily(db, curve, path); },
            [this](const WriteResult& result) { emit exported(result.ok, result.message); });
}

void RunHistory::addFit(qint64 id, const RunFit& fit)
{
    onStore([id, fit](RunDatabase& db) { return db.addFit(id, fit) ? QString() : db.lastError(); },
            [this, id](const QString& problem) {
                if (problem.isEmpty())
                    emit fitKept(id);
                else
                    emit failed(tr("The fit of run %1 was not kept: %2").arg(id).arg(problem));
            });
}

void RunHistory::importFile(const QString& filePath)
{
    onStore(
        [filePath](RunDatabase& db) {
            return importRunFile(db, filePath, QStringLiteral("Kestrel " KESTREL_VERSION));
        },
        [this, filePath](const std::variant<qint64, QString>& result) {
            if (const QString* problem = std::get_if<QString>(&result))
                emit failed(tr("Not opened: %1").arg(*problem));
            else
                emit imported(std::get<qint64>(result), filePath);
        });
}

} // namespace kestrel
