#include "store/rundatabase.h"

#include "data/levellist.h"
#include "data/numbertext.h"
#include "link/homedirectory.h"
#include "store/labsettings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QThread>
#include <QUuid>
#include <QVariant>

#include <algorithm>
#include <cmath>
#include <atomic>

namespace kestrel
{

namespace
{

std::atomic<int> connectionCount{0};

// A migration counts every point of the store once: minutes for the largest stores.
constexpr int migrationWaitMs = 600000;

// SQLite's primary result codes, as Qt's driver reports them.
constexpr int sqliteBusy = 5;
constexpr int sqliteLocked = 6;
constexpr int sqliteCorrupt = 11;
constexpr int sqliteNotADatabase = 26;

// Step N takes a store from version N to N + 1. The numbers are not typed (no column
// affinity), so SQLite keeps every double exactly as written, -0.0 included.
const std::vector<std::vector<const char*>> migrations{
    {"CREATE TABLE runs (id INTEGER PRIMARY KEY, program TEXT NOT NULL, started TEXT NOT NULL, "
     "ended TEXT, state TEXT NOT NULL, message TEXT NOT NULL DEFAULT '', "
     "source_address TEXT NOT NULL, source_port TEXT NOT NULL, source_identity TEXT NOT NULL, "
     "meter_address TEXT NOT NULL, meter_port TEXT NOT NULL, meter_identity TEXT NOT NULL, "
     "start_v NOT NULL, stop_v NOT NULL, steps INTEGER NOT NULL, shape TEXT NOT NULL, "
     "range_index INTEGER NOT NULL, limit_a, output_off INTEGER, guard TEXT NOT NULL DEFAULT '', "
     "owner_pid INTEGER NOT NULL DEFAULT 0, owner_start INTEGER NOT NULL DEFAULT 0, "
     "reported INTEGER NOT NULL DEFAULT 1)",
     "CREATE TABLE points (run INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE, "
     "idx INTEGER NOT NULL, level NOT NULL, current NOT NULL, ms INTEGER NOT NULL, "
     "PRIMARY KEY (run, idx)) WITHOUT ROWID"},
    // The runs measured before settle times and rates were kept had neither.
    {"ALTER TABLE runs ADD COLUMN settle_ms INTEGER NOT NULL DEFAULT 0",
     "ALTER TABLE runs ADD COLUMN meter_rate TEXT NOT NULL DEFAULT 'medium'",
     "ALTER TABLE runs ADD COLUMN note TEXT NOT NULL DEFAULT ''"},
    // Fits of a run's curve; a window end that is NULL is the run's own end.
    {"CREATE TABLE fits (id INTEGER PRIMARY KEY, run INTEGER NOT NULL REFERENCES runs(id) "
     "ON DELETE CASCADE, model TEXT NOT NULL, from_v, to_v, temperature_c NOT NULL, "
     "shunt INTEGER NOT NULL, created TEXT NOT NULL)",
     "CREATE INDEX fits_run ON fits (run)",
     "CREATE TABLE fit_quantities (fit INTEGER NOT NULL REFERENCES fits(id) ON DELETE CASCADE, "
     "idx INTEGER NOT NULL, name TEXT NOT NULL, value NOT NULL, error, unit TEXT NOT NULL, "
     "PRIMARY KEY (fit, idx)) WITHOUT ROWID"},
    // What a run's record lacks, as RunDetail bits; every measured run records it all.
    // A run imported before this was kept read a missing setting as its default. Only
    // where that is certain is it undone: no sweep has an empty endpoint or identity,
    // and an import with no instruments and every setting at its default is a file
    // that held points alone.
    {"ALTER TABLE runs ADD COLUMN not_recorded INTEGER NOT NULL DEFAULT 0",
     "UPDATE runs SET not_recorded = (CASE WHEN source_address = '' AND source_port = '' THEN 1 "
     "ELSE 0 END) | (CASE WHEN source_identity = '' THEN 2 ELSE 0 END) | (CASE WHEN "
     "meter_address = '' AND meter_port = '' THEN 4 ELSE 0 END) | (CASE WHEN meter_identity = '' "
     "THEN 8 ELSE 0 END) WHERE state = 'imported'",
     "UPDATE runs SET not_recorded = 4095 WHERE state = 'imported' AND not_recorded = 15 AND "
     "start_v = 0 AND stop_v = 0 AND steps = 1 AND shape = 'linear' AND range_index = 0 AND "
     "limit_a IS NULL AND settle_ms = 0 AND meter_rate = 'medium'"},
    // A run's number of points and the span of its levels, kept in its row so that a
    // listing reads no point. A run still running is counted as it is listed.
    {"ALTER TABLE runs ADD COLUMN point_count INTEGER NOT NULL DEFAULT 0",
     "ALTER TABLE runs ADD COLUMN lowest_v", "ALTER TABLE runs ADD COLUMN highest_v",
     "UPDATE runs SET (point_count, lowest_v, highest_v) = (SELECT count(*), min(level), "
     "max(level) FROM points WHERE run = runs.id)"},
    // The instruments' profiles and what was asked of them; every run before was measured
    // with the default profile's commands. A point's compliance is NULL where the source
    // did not tell.
    {"ALTER TABLE runs ADD COLUMN source_profile TEXT NOT NULL DEFAULT 'default'",
     "ALTER TABLE runs ADD COLUMN meter_profile TEXT NOT NULL DEFAULT 'default'",
     "ALTER TABLE runs ADD COLUMN compliance_a",
     "ALTER TABLE runs ADD COLUMN continue_at_compliance INTEGER NOT NULL DEFAULT 0",
     "ALTER TABLE runs ADD COLUMN nplc", "ALTER TABLE points ADD COLUMN compliance INTEGER"},
    // A list sweep's levels, one number per line; NULL for the shapes their ends and
    // steps describe, which every run before was.
    {"ALTER TABLE runs ADD COLUMN levels"},
    // How many times the levels were swept over; once for every run before.
    {"ALTER TABLE runs ADD COLUMN cycles INTEGER NOT NULL DEFAULT 1"},
    // Readings averaged into each point, and their spread; one reading, none, before.
    {"ALTER TABLE runs ADD COLUMN readings INTEGER NOT NULL DEFAULT 1",
     "ALTER TABLE points ADD COLUMN current_sd"},
    // The family a curve belongs to and the step source's level during it; NULL for a
    // curve of its own, which every run before was.
    {"ALTER TABLE runs ADD COLUMN family TEXT", "ALTER TABLE runs ADD COLUMN step_index INTEGER",
     "ALTER TABLE runs ADD COLUMN step_count INTEGER", "ALTER TABLE runs ADD COLUMN step_v",
     "ALTER TABLE runs ADD COLUMN step_address TEXT", "ALTER TABLE runs ADD COLUMN step_port TEXT",
     "ALTER TABLE runs ADD COLUMN step_identity TEXT",
     "ALTER TABLE runs ADD COLUMN step_profile TEXT",
     "ALTER TABLE runs ADD COLUMN step_compliance_a", "ALTER TABLE runs ADD COLUMN step_guard TEXT",
     "ALTER TABLE runs ADD COLUMN step_output_off INTEGER",
     "CREATE INDEX runs_family ON runs (family) WHERE family IS NOT NULL",
     // How long a hold read its level, in seconds; NULL for the other shapes, and for a
     // hold until Stop.
     "ALTER TABLE runs ADD COLUMN hold_s"},
    // A run's name across benches (a random UUID, given to older runs here), the bench
    // that measured it ('' before: the bench publishing it names it), and what the lab
    // store has of it: revision counts the changes of an ended run's row and fits, and
    // published is the revision the lab store last took.
    {"ALTER TABLE runs ADD COLUMN uuid TEXT NOT NULL DEFAULT ''",
     "UPDATE runs SET uuid = lower(hex(randomblob(4)) || '-' || hex(randomblob(2)) || '-4' || "
     "substr(hex(randomblob(2)), 2) || '-' || substr('89ab', 1 + abs(random() % 4), 1) || "
     "substr(hex(randomblob(2)), 2) || '-' || hex(randomblob(6)))",
     "CREATE UNIQUE INDEX runs_uuid ON runs (uuid)",
     "ALTER TABLE runs ADD COLUMN bench TEXT NOT NULL DEFAULT ''",
     "ALTER TABLE runs ADD COLUMN revision INTEGER NOT NULL DEFAULT 1",
     "ALTER TABLE runs ADD COLUMN published INTEGER NOT NULL DEFAULT 0",
     "CREATE TRIGGER runs_revision AFTER UPDATE OF ended, state, message, note, output_off, guard, "
     "step_guard, step_output_off ON runs BEGIN UPDATE runs SET revision = revision + 1 WHERE id = "
     "NEW.id; END",
     "CREATE TRIGGER fits_revision AFTER INSERT ON fits BEGIN UPDATE runs SET revision = "
     "revision + 1 WHERE id = NEW.run; END"},
};
static_assert(int(RunDetail::Source) == 1 && int(RunDetail::SourceIdentity) == 2 &&
                  int(RunDetail::Meter) == 4 && int(RunDetail::MeterIdentity) == 8 &&
                  everyRunDetail.toInt() == 4095,
              "the store's migration names these bits");

// A run's counts from its points, for an UPDATE of its row: once it has ended, the row
// keeps them.
const QString countsFromPoints =
    QStringLiteral("(point_count, lowest_v, highest_v) = (SELECT count(*), min(level), "
                   "max(level) FROM points WHERE run = runs.id)");

// A run's row; a listing leaves out a list sweep's levels (up to 100,000 numbers a row),
// which only a run loaded on its own needs.
const QString rowColumns = QStringLiteral(
    "id, program, started, ended, state, message, source_address, source_port, "
    "source_identity, meter_address, meter_port, meter_identity, start_v, stop_v, steps, shape, "
    "range_index, limit_a, output_off, guard, CASE WHEN state = 'running' THEN (SELECT count(*) "
    "FROM points WHERE run = runs.id) ELSE point_count END, settle_ms, meter_rate, note, "
    "not_recorded, CASE WHEN state = 'running' THEN (SELECT min(level) FROM points WHERE run = "
    "runs.id) ELSE lowest_v END, CASE WHEN state = 'running' THEN (SELECT max(level) FROM points "
    "WHERE run = runs.id) ELSE highest_v END, source_profile, meter_profile, compliance_a, "
    "continue_at_compliance, nplc, cycles, readings, hold_s, uuid, bench, revision, published, "
    "family, step_index, step_count, step_v, step_address, step_port, step_identity, "
    "step_profile, step_compliance_a, step_guard, step_output_off");
const QString runColumns = rowColumns + QStringLiteral(", levels");
const QString listedColumns = rowColumns + QStringLiteral(", NULL");

// What SQLite said, without the driver's own words around it.
QString reason(const QSqlError& error)
{
    return error.databaseText().isEmpty() ? error.text() : error.databaseText();
}

const QString damagedText = QStringLiteral(
    "SQLite finds the file malformed; nothing more is written into it, it is left as it is");

const QString orphanMessage = QStringLiteral("The program ended during the sweep.");

QString timeText(const QDateTime& time)
{
    return time.isValid() ? time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs)
                          : QString();
}

// A text for a NOT NULL column: Qt binds a null QString as NULL.
QVariant text(const QString& value)
{
    return QVariant(value.isNull() ? QStringLiteral("") : value);
}

// A list sweep's levels, one per line by the number text rule; NULL for other shapes.
QVariant levelsText(const SweepPlan& plan)
{
    if (plan.shape != SweepShape::List || !plan.levels)
        return QVariant(QMetaType::fromType<QString>());
    std::string text;
    text.reserve(plan.levels->size() * 8);
    for (double level : *plan.levels)
        (text += formatDouble(level)) += '\n';
    return QVariant(QString::fromStdString(text));
}

QVariant optionalNumber(const std::optional<double>& value)
{
    return value ? QVariant(*value) : QVariant(QMetaType::fromType<double>());
}

} // namespace

const std::vector<const char*>& schemaStep(int from)
{
    return migrations.at(std::size_t(from));
}

QString defaultStorePath()
{
    QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    // Without $HOME (cron, a service) Qt takes "/" for the home and would put the store
    // under /.local/share; the user database knows the home.
    if (qEnvironmentVariableIsEmpty("HOME") &&
        !QDir::isAbsolutePath(qEnvironmentVariable("XDG_DATA_HOME")))
        data = homeDirectory() + QStringLiteral("/.local/share");
    return data + QStringLiteral("/kestrel/runs.sqlite");
}

RunDatabase::RunDatabase(QString path, int busyTimeoutMs)
    : path_(std::move(path)),
      connection_(QStringLiteral("kestrel-store-%1").arg(connectionCount.fetch_add(1))),
      busyTimeoutMs_(busyTimeoutMs)
{
}

RunDatabase::~RunDatabase()
{
    insertPoint_.reset();
    if (QSqlDatabase::contains(connection_)) {
        QSqlDatabase::database(connection_, false).close();
        QSqlDatabase::removeDatabase(connection_);
    }
}

bool RunDatabase::fail(const QString& what, const QString& reason)
{
    busy_ = false;
    error_ = what.isEmpty() ? reason : what + QStringLiteral(": ") + reason;
    return false;
}

bool RunDatabase::fail(const QString& what, const QSqlError& error)
{
    fail(what, reason(error));
    // SQLite's result code, without the extended bits.
    const int code = error.nativeErrorCode().toInt() & 0xff;
    busy_ = code == sqliteBusy || code == sqliteLocked;
    damaged_ = damaged_ || code == sqliteCorrupt || code == sqliteNotADatabase;
    return false;
}

bool RunDatabase::execute(QSqlQuery& query, const char* what)
{
    busy_ = false;
    if (damaged_)
        return fail(QLatin1String(what), damagedText);
    if (query.exec())
        return true;
    return fail(QLatin1String(what), query.lastError());
}

QString RunDatabase::open(Pages pages)
{
    const auto failure = [this](const QString& reason) {
        error_ = path_ + QLatin1Char(' ') + reason;
        return error_;
    };
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
        return failure(QStringLiteral("cannot be opened: Qt's SQLite driver is missing (Debian "
                                      "package libqt6sql6-sqlite)"));
    const QFileInfo file(path_);
    if (!QDir().mkpath(file.absolutePath()))
        return failure(QStringLiteral("cannot be made: the folder %1 cannot be made")
                           .arg(file.absolutePath()));
    if (file.exists() && !file.isFile())
        return failure(QStringLiteral("is not a file"));

    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_);
    db.setDatabaseName(path_);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs_));
    if (!db.open())
        return failure(QStringLiteral("cannot be opened: ") + reason(db.lastError()));
    // Every page is read before anything is written: SQLite finds a damaged page only
    // when it reads it, and a write elsewhere in the file would go through.
    if (pages == Pages::Checked) {
        QSqlQuery check(db);
        check.setForwardOnly(true);
        // A file that cannot be read at all is named below, as what it is.
        if (check.exec(QStringLiteral("PRAGMA quick_check(1)")) && check.next() &&
            check.value(0).toString() != QLatin1String("ok")) {
            damaged_ = true;
            return failure(QStringLiteral("is damaged (%1); it was left as it is")
                               .arg(check.value(0).toString()));
        }
    }
    // Another program making or migrating the same file may hold it in ways SQLite does
    // not wait for (a new write-ahead log, a read that would have to become a write):
    // those tries are made again until the busy limit has passed.
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const QString problem = prepare();
        if (problem.isEmpty())
            break;
        if (!busy_ || waited.elapsed() > std::max(busyTimeoutMs_, defaultBusyTimeoutMs))
            return failure(problem);
        QThread::msleep(20);
    }
    insertPoint_ = std::make_unique<QSqlQuery>(db);
    if (!insertPoint_->prepare(QStringLiteral(
            "INSERT INTO points (run, idx, level, current, ms, compliance, current_sd) VALUES (?, ?, "
            "?, ?, ?, ?, ?)")))
        return failure(QStringLiteral("cannot be used: ") + reason(insertPoint_->lastError()));
    error_.clear();
    return QString();
}

QString RunDatabase::prepare()
{
    busy_ = false;
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    // Nothing is written before the file is known to be a store of ours. The version and
    // the tables are read together: a store another program makes meanwhile is not taken
    // for tables of someone else's.
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT (SELECT user_version FROM pragma_user_version), "
                                   "(SELECT count(*) FROM sqlite_master)")) ||
        !query.next()) {
        fail(QString(), query.lastError());
        return busy_ ? QStringLiteral("cannot be read: ") + error_
                     : QStringLiteral("is not a SQLite database (%1); it was left as it is")
                           .arg(error_);
    }
    const int version = query.value(0).toInt();
    const bool foreign = version == 0 && query.value(1).toInt() > 0;
    // Ends the read: a connection still reading the file as it was cannot take the write
    // lock once another has changed it, and would fail at once instead of waiting.
    query.finish();
    if (version > schemaVersion)
        return newerStore(version);
    if (foreign)
        return QStringLiteral("holds tables that are not a Kestrel store; it was left as it is");
    if (version < schemaVersion && !migrate(version))
        return error_;
    for (const char* pragma :
         {"PRAGMA journal_mode = WAL", "PRAGMA synchronous = NORMAL", "PRAGMA foreign_keys = ON"})
        if (!query.exec(QLatin1String(pragma))) {
            fail(QString(), query.lastError());
            return QStringLiteral("cannot be written: ") + error_;
        }
    // The journal mode is what SQLite says it is now, not what was asked for.
    return QString();
}

QString RunDatabase::newerStore(int version)
{
    return QStringLiteral("was written by a newer Kestrel (store version %1; this one knows up to "
                          "%2); it was left as it is")
        .arg(version)
        .arg(schemaVersion);
}

bool RunDatabase::migrate(int from)
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery query(db);
    const QString notReady = QStringLiteral("cannot be made ready");
    // Another connection (the window's recorder and its history, another program) may
    // find the same old store, or make the same new one: the write lock comes first and
    // the version is read again under it, so one of them makes or migrates it and the
    // others wait for it, however long the counting of the points takes.
    if (!query.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(migrationWaitMs)) ||
        !query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        fail(notReady, query.lastError());
        query.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(busyTimeoutMs_));
        return false;
    }
    const auto abandon = [&](const QString& why = QString()) {
        if (why.isEmpty())
            fail(notReady, query.lastError());
        else
            fail(QString(), why);
        query.exec(QStringLiteral("ROLLBACK"));
        query.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(busyTimeoutMs_));
        return false;
    };
    if (!query.exec(QStringLiteral("SELECT (SELECT user_version FROM pragma_user_version), "
                                   "(SELECT count(*) FROM sqlite_master)")) ||
        !query.next())
        return abandon();
    const int now = query.value(0).toInt();
    const bool foreign = now == 0 && query.value(1).toInt() > 0;
    query.finish();
    if (now > schemaVersion) // a newer Kestrel migrated it meanwhile: nothing is written
        return abandon(newerStore(now));
    if (foreign) // tables made meanwhile, by something else
        return abandon(
            QStringLiteral("holds tables that are not a Kestrel store; it was left as it is"));
    from = std::max(from, now);
    for (int version = from; version < schemaVersion; ++version)
        for (const char* statement : schemaStep(version))
            if (!query.exec(QLatin1String(statement)))
                return abandon();
    if (!query.exec(QStringLiteral("PRAGMA user_version = %1").arg(schemaVersion)) ||
        !query.exec(QStringLiteral("COMMIT")))
        return abandon();
    if (query.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(busyTimeoutMs_)))
        return true;
    return fail(notReady, query.lastError());
}

qint64 RunDatabase::beginRun(const Run& run, const QString& program, const ProcessId& owner,
                             const QString& note)
{
    const SweepSettings& s = run.settings;
    QSqlQuery query(QSqlDatabase::database(connection_, false));
    query.prepare(QStringLiteral(
        "INSERT INTO runs (program, started, ended, state, message, source_address, source_port, "
        "source_identity, meter_address, meter_port, meter_identity, start_v, stop_v, steps, "
        "shape, range_index, limit_a, output_off, owner_pid, owner_start, reported, settle_ms, "
        "meter_rate, note, not_recorded, source_profile, meter_profile, compliance_a, "
        "continue_at_compliance, nplc, levels, cycles, readings, hold_s, uuid, bench, family, "
        "step_index, step_count, step_v, step_address, step_port, step_identity, step_profile, "
        "step_compliance_a) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
        "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    const bool running = run.outcome == Run::Outcome::Running;
    for (const QVariant& value :
         {text(program),
          text(timeText(run.started)),
          running ? QVariant(QMetaType::fromType<QString>()) : QVariant(timeText(run.ended)),
          text(outcomeName(run.outcome)),
          text(run.message),
          text(s.source.address),
          text(s.source.port),
          text(run.sourceIdentity),
          text(s.meter.address),
          text(s.meter.port),
          text(run.meterIdentity),
          QVariant(s.plan.start),
          QVariant(s.plan.stop),
          QVariant(s.plan.steps),
          text(shapeName(s.plan.shape)),
          QVariant(s.rangeIndex),
          optionalNumber(s.limitAmps),
          running ? QVariant(QMetaType::fromType<int>()) : QVariant(int(run.outputOff)),
          QVariant(owner.pid),
          QVariant(owner.started),
          QVariant(running ? 0 : 1),
          QVariant(s.settleMs),
          text(rateName(s.meterRate)),
          text(note),
          QVariant(run.notRecorded.toInt()),
          text(s.sourceProfile),
          text(s.meterProfile),
          optionalNumber(s.complianceAmps),
          QVariant(int(s.continueAtCompliance)),
          optionalNumber(s.nplc),
          levelsText(s.plan),
          QVariant(s.plan.cycles),
          QVariant(s.readings),
          s.plan.shape == SweepShape::Hold && !s.plan.untilStop()
              ? QVariant(s.plan.holdSeconds)
              : QVariant(QMetaType::fromType<double>()),
          QVariant(QUuid::createUuid().toString(QUuid::WithoutBraces)),
          text(benchName())})
        query.addBindValue(value);
    const QVariant noText(QMetaType::fromType<QString>());
    const QVariant noNumber(QMetaType::fromType<double>());
    const QVariant noInt(QMetaType::fromType<int>());
    const FamilyStep* step = s.step ? &*s.step : nullptr;
    for (const QVariant& value :
         {step ? text(step->family) : noText, step ? QVariant(step->index) : noInt,
          step ? QVariant(step->count) : noInt, step ? QVariant(step->level) : noNumber,
          step ? text(step->source.address) : noText, step ? text(step->source.port) : noText,
          step ? text(step->identity) : noText, step ? text(step->profile) : noText,
          step ? optionalNumber(step->complianceAmps) : noNumber})
        query.addBindValue(value);
    return execute(query, "a new run") ? query.lastInsertId().toLongLong() : 0;
}

bool RunDatabase::addPoint(qint64 runId, int index, double level, double amps, qint64 ms,
                           int inCompliance, double sd)
{
    if (!insertPoint_)
        return fail(QString(), QStringLiteral("the store is not open"));
    for (const QVariant& value :
         {QVariant(runId), QVariant(index), QVariant(level), QVariant(amps), QVariant(ms),
          inCompliance < 0 ? QVariant(QMetaType::fromType<int>()) : QVariant(inCompliance),
          std::isnan(sd) ? QVariant(QMetaType::fromType<double>()) : QVariant(sd)})
        insertPoint_->addBindValue(value);
    return execute(*insertPoint_, "a point");
}

bool RunDatabase::addPoints(qint64 runId, std::span<const MeasuredPoint> points)
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    if (!insertPoint_)
        return fail(QString(), QStringLiteral("the store is not open"));
    if (!db.transaction())
        return fail(QString(), db.lastError());
    for (const MeasuredPoint& point : points)
        if (!addPoint(runId, point.index, point.level, point.amps, point.ms, point.inCompliance,
                      point.sd)) {
            const QSqlError error = insertPoint_->lastError();
            db.rollback();
            return fail(QStringLiteral("a point"), error);
        }
    if (db.commit())
        return true;
    fail(QStringLiteral("a point"), db.lastError());
    const bool busy = busy_;
    db.rollback();
    busy_ = busy;
    return false;
}

bool RunDatabase::finishRun(qint64 runId, const Run& finished)
{
    QSqlQuery query(QSqlDatabase::database(connection_, false));
    query.prepare(QStringLiteral("UPDATE runs SET ended = ?, state = ?, message = ?, "
                                 "output_off = ?, reported = 1, ") +
                  countsFromPoints + QStringLiteral(" WHERE id = ?"));
    for (const QVariant& value :
         {QVariant(timeText(finished.ended)), text(outcomeName(finished.outcome)),
          text(finished.message), QVariant(int(finished.outputOff)), QVariant(runId)})
        query.addBindValue(value);
    return execute(query, "the end of a run");
}

bool RunDatabase::recordGuard(const ProcessId& owner, const Endpoint& source,
                              const QList<qint64>& runs, bool outputOff, const QString& text,
                              bool stepSource)
{
    QSqlQuery query(QSqlDatabase::database(connection_, false));
    QStringList marks;
    for (qsizetype i = 0; i < runs.size(); ++i)
        marks << QStringLiteral("?");
    if (stepSource) {
        // In the family's last curve, told when the program starts again: that curve may
        // have ended well before.
        query.prepare(QStringLiteral("UPDATE runs SET step_guard = ?, step_output_off = ?, "
                                     "reported = 0 WHERE owner_pid = ? AND owner_start = ? AND "
                                     "id = (SELECT max(id) FROM runs WHERE id IN (%1))")
                          .arg(marks.join(QStringLiteral(", "))));
        for (const QVariant& value : {kestrel::text(text), QVariant(int(outputOff)),
                                      QVariant(owner.pid), QVariant(owner.started)})
            query.addBindValue(value);
        for (const qint64 run : runs)
            query.addBindValue(run);
        return execute(query, "the step source guard's word");
    }
    query.prepare(
        QStringLiteral("UPDATE runs SET guard = ?, output_off = ?, reported = 0, "
                       "ended = coalesce(ended, ?), "
                       "message = CASE WHEN state = 'running' THEN ? ELSE message END, "
                       "state = CASE WHEN state = 'running' THEN 'interrupted' ELSE state END, "
                       "%2 WHERE owner_pid = ? AND owner_start = ? AND (id IN (%1) OR "
                       "(state = 'running' AND source_address = ? AND source_port = ?))")
            .arg(marks.join(QStringLiteral(", ")), countsFromPoints));
    for (const QVariant& value :
         {kestrel::text(text), QVariant(int(outputOff)),
          QVariant(timeText(QDateTime::currentDateTime())), QVariant(orphanMessage),
          QVariant(owner.pid), QVariant(owner.started)})
        query.addBindValue(value);
    for (const qint64 run : runs)
        query.addBindValue(run);
    query.addBindValue(kestrel::text(source.address));
    query.addBindValue(kestrel::text(source.port));
    return execute(query, "the guard's word");
}

bool RunDatabase::recordUnkept(qint64 runId, int measured)
{
    QSqlQuery query(QSqlDatabase::database(connection_, false));
    query.prepare(QStringLiteral("SELECT count(*) FROM points WHERE run = ?"));
    query.addBindValue(runId);
    if (!execute(query, "counting the points of a run") || !query.next())
        return false;
    const int lost = measured - query.value(0).toInt();
    query.finish();
    if (lost <= 0)
        return true;
    const QString sentence = lost == 1
                                 ? QStringLiteral(" 1 measured point was not kept.")
                                 : QStringLiteral(" %1 measured points were not kept.").arg(lost);
    query.prepare(QStringLiteral("UPDATE runs SET message = message || ?, guard = ltrim(guard || "
                                 "?), reported = 0 WHERE id = ?"));
    query.addBindValue(sentence);
    query.addBindValue(sentence);
    query.addBindValue(runId);
    return execute(query, "the points a run lost");
}

bool RunDatabase::recordLostEnd(qint64 runId, Run::Outcome outcome, bool outputOff,
                                const QString& message)
{
    QSqlQuery query(QSqlDatabase::database(connection_, false));
    query.prepare(QStringLiteral("UPDATE runs SET state = ?, output_off = ?, message = ?, "
                                 "ended = coalesce(ended, ?), ") +
                  countsFromPoints + QStringLiteral(" WHERE id = ?"));
    for (const QVariant& value :
         {text(outcomeName(outcome)), QVariant(int(outputOff)), text(message),
          QVariant(timeText(QDateTime::currentDateTime())), QVariant(runId)})
        query.addBindValue(value);
    return execute(query, "the end of a run");
}

bool RunDatabase::checkpoint()
{
    QSqlQuery query(QSqlDatabase::database(connection_, false));
    // The pragma answers (busy, log pages, pages copied); busy 0 means it went through.
    return query.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)")) && query.next() &&
           query.value(0).toInt() == 0;
}

qint64 RunDatabase::importRun(const Run& imported, const QString& program, const QString& note)
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    if (!db.transaction()) {
        fail(QString(), db.lastError());
        return 0;
    }
    const qint64 id = beginRun(imported, program, ProcessId{}, note);
    for (std::size_t i = 0; id && i < imported.points.size(); ++i)
        if (!addPoint(id, int(i), imported.points[i][0], imported.points[i][1],
                      i < imported.pointMs.size() ? imported.pointMs[i] : 0,
                      i < imported.inCompliance.size() ? imported.inCompliance[i] : -1,
                      i < imported.currentSd.size() ? imported.currentSd[i]
                                                    : std::numeric_limits<double>::quiet_NaN())) {
            db.rollback();
            return 0;
        }
    QSqlQuery counts(db);
    counts.prepare(QStringLiteral("UPDATE runs SET ") + countsFromPoints +
                   QStringLiteral(" WHERE id = ?"));
    counts.addBindValue(id);
    if (id && !execute(counts, "the counts of a run")) {
        db.rollback();
        return 0;
    }
    if (!id || !db.commit()) {
        if (id)
            fail(QString(), db.lastError());
        db.rollback();
        return 0;
    }
    return id;
}

qint64 RunDatabase::addFit(qint64 runId, const RunFit& fit)
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    if (!db.transaction()) {
        fail(QString(), db.lastError());
        return 0;
    }
    const auto abandon = [&db] {
        db.rollback();
        return qint64(0);
    };
    QSqlQuery query(db);
    query.prepare(QStringLiteral("INSERT INTO fits (run, model, from_v, to_v, temperature_c, "
                                 "shunt, created) VALUES (?, ?, ?, ?, ?, ?, ?)"));
    for (const QVariant& value :
         {QVariant(runId), QVariant(QString::fromLatin1(analysis::modelName(fit.model))),
          optionalNumber(fit.fromVolts), optionalNumber(fit.toVolts), QVariant(fit.temperatureC),
          QVariant(int(fit.shunt)), text(timeText(fit.created))})
        query.addBindValue(value);
    if (!execute(query, "a fit"))
        return abandon();
    const qint64 id = query.lastInsertId().toLongLong();
    query.prepare(QStringLiteral("INSERT INTO fit_quantities (fit, idx, name, value, error, unit) "
                                 "VALUES (?, ?, ?, ?, ?, ?)"));
    for (std::size_t i = 0; i < fit.quantities.size(); ++i) {
        const analysis::Quantity& q = fit.quantities[i];
        for (const QVariant& value :
             {QVariant(id), QVariant(int(i)), QVariant(QString::fromStdString(q.name)),
              QVariant(q.value), optionalNumber(q.error), QVariant(QString::fromStdString(q.unit))})
            query.addBindValue(value);
        if (!execute(query, "a fitted quantity"))
            return abandon();
    }
    if (!db.commit()) {
        fail(QString(), db.lastError());
        return abandon();
    }
    return id;
}

bool RunDatabase::loadFits(qint64 runId, std::vector<RunFit>& fits)
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT id, model, from_v, to_v, temperature_c, shunt, created "
                                 "FROM fits WHERE run = ? ORDER BY id"));
    query.addBindValue(runId);
    if (!execute(query, "reading the fits"))
        return false;
    std::vector<qint64> ids;
    while (query.next()) {
        const auto model = analysis::modelFromName(query.value(1).toString().toStdString());
        if (!model) // a model this program does not know: not shown as one it does
            continue;
        RunFit fit;
        fit.model = *model;
        if (!query.value(2).isNull())
            fit.fromVolts = query.value(2).toDouble();
        if (!query.value(3).isNull())
            fit.toVolts = query.value(3).toDouble();
        fit.temperatureC = query.value(4).toDouble();
        fit.shunt = query.value(5).toInt() != 0;
        fit.created = QDateTime::fromString(query.value(6).toString(), Qt::ISODateWithMs);
        ids.push_back(query.value(0).toLongLong());
        fits.push_back(std::move(fit));
    }
    QSqlQuery quantities(db);
    quantities.setForwardOnly(true);
    quantities.prepare(QStringLiteral(
        "SELECT name, value, error, unit FROM fit_quantities WHERE fit = ? ORDER BY idx"));
    for (std::size_t i = 0; i < ids.size(); ++i) {
        quantities.addBindValue(ids[i]);
        if (!execute(quantities, "reading a fit's quantities"))
            return false;
        while (quantities.next()) {
            analysis::Quantity q;
            q.name = quantities.value(0).toString().toStdString();
            q.value = quantities.value(1).toDouble();
            if (!quantities.value(2).isNull())
                q.error = quantities.value(2).toDouble();
            q.unit = quantities.value(3).toString().toStdString();
            fits[i].quantities.push_back(std::move(q));
        }
    }
    return true;
}

bool RunDatabase::setNote(qint64 runId, const QString& note)
{
    QSqlQuery query(QSqlDatabase::database(connection_, false));
    query.prepare(QStringLiteral("UPDATE runs SET note = ? WHERE id = ?"));
    query.addBindValue(text(note));
    query.addBindValue(runId);
    if (!execute(query, "the note of a run"))
        return false;
    return query.numRowsAffected() == 1 ||
           fail(QString(), QStringLiteral("there is no run %1").arg(runId));
}

bool RunDatabase::remove(qint64 runId)
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery query(db);
    // The owner is looked at and the run deleted under one write lock: a sweep cannot
    // begin recording into it in between.
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return fail(QStringLiteral("removing a run"), query.lastError());
    const auto abandon = [&] {
        const bool busy = busy_;
        query.exec(QStringLiteral("ROLLBACK"));
        busy_ = busy;
        return false;
    };
    query.prepare(QStringLiteral("SELECT state, owner_pid, owner_start FROM runs WHERE id = ?"));
    query.addBindValue(runId);
    if (!execute(query, "removing a run"))
        return abandon();
    if (!query.next()) {
        fail(QString(), QStringLiteral("there is no run %1").arg(runId));
        return abandon();
    }
    const ProcessId owner{query.value(1).toLongLong(), query.value(2).toLongLong()};
    if (query.value(0).toString() == outcomeName(Run::Outcome::Running) && isAlive(owner)) {
        fail(QString(), QStringLiteral("run %1 is still being recorded by process %2; it can be "
                                       "deleted once its sweep has ended")
                            .arg(runId)
                            .arg(owner.pid));
        return abandon();
    }
    query.finish();
    query.prepare(QStringLiteral("DELETE FROM runs WHERE id = ?"));
    query.addBindValue(runId);
    if (!execute(query, "removing a run"))
        return abandon();
    if (query.exec(QStringLiteral("COMMIT")))
        return true;
    fail(QStringLiteral("removing a run"), query.lastError());
    return abandon();
}

StoredRun RunDatabase::storedRun(const QSqlQuery& q) const
{
    StoredRun stored;
    Run& r = stored.run;
    stored.id = q.value(0).toLongLong();
    stored.program = q.value(1).toString();
    r.started = QDateTime::fromString(q.value(2).toString(), Qt::ISODateWithMs);
    r.ended = QDateTime::fromString(q.value(3).toString(), Qt::ISODateWithMs);
    r.outcome = outcomeFromName(q.value(4).toString()).value_or(Run::Outcome::Interrupted);
    r.message = q.value(5).toString();
    r.settings.source = Endpoint{q.value(6).toString(), q.value(7).toString()};
    r.sourceIdentity = q.value(8).toString();
    r.settings.meter = Endpoint{q.value(9).toString(), q.value(10).toString()};
    r.meterIdentity = q.value(11).toString();
    r.settings.plan = SweepPlan{q.value(12).toDouble(), q.value(13).toDouble(), q.value(14).toInt(),
                                shapeFromName(q.value(15).toString()).value_or(SweepShape::Linear)};
    r.settings.rangeIndex = q.value(16).toInt();
    if (!q.value(17).isNull())
        r.settings.limitAmps = q.value(17).toDouble();
    r.outputOff = q.value(18).toInt() == 1;
    stored.guard = q.value(19).toString();
    stored.pointCount = q.value(20).toInt();
    r.settings.settleMs = q.value(21).toInt();
    r.settings.meterRate = rateFromName(q.value(22).toString()).value_or(MeterRate::Medium);
    stored.note = q.value(23).toString();
    r.notRecorded = RunDetails::fromInt(q.value(24).toUInt()) & everyRunDetail;
    if (!q.value(25).isNull() && !q.value(26).isNull())
        stored.levels = LevelSpan{q.value(25).toDouble(), q.value(26).toDouble()};
    r.settings.sourceProfile = q.value(27).toString();
    r.settings.meterProfile = q.value(28).toString();
    if (!q.value(29).isNull())
        r.settings.complianceAmps = q.value(29).toDouble();
    r.settings.continueAtCompliance = q.value(30).toInt() != 0;
    if (!q.value(31).isNull())
        r.settings.nplc = q.value(31).toDouble();
    r.settings.readings = std::clamp(q.value(33).toInt(), 1, maxReadings);
    r.settings.plan.holdSeconds = q.value(34).isNull() ? 0.0 : q.value(34).toDouble();
    stored.uuid = q.value(35).toString();
    stored.bench = q.value(36).toString();
    stored.revision = q.value(37).toInt();
    stored.publishedRevision = q.value(38).toInt();
    if (!q.value(39).isNull()) {
        FamilyStep step;
        step.family = q.value(39).toString();
        step.index = q.value(40).toInt();
        step.count = std::max(1, q.value(41).toInt());
        step.level = q.value(42).toDouble();
        step.source = Endpoint{q.value(43).toString(), q.value(44).toString()};
        step.identity = q.value(45).toString();
        step.profile = q.value(46).toString();
        if (!q.value(47).isNull())
            step.complianceAmps = q.value(47).toDouble();
        r.settings.step = step;
        stored.stepGuard = q.value(48).toString();
        stored.stepOutputOff =
            q.value(49).isNull() ? std::nullopt : std::optional<bool>(q.value(49).toInt() == 1);
    }
    if (r.settings.plan.shape == SweepShape::List && !q.value(50).isNull()) {
        auto levels = parseLevelLines(q.value(50).toString().toUtf8(), QStringLiteral("levels"));
        if (auto* list = std::get_if<std::vector<double>>(&levels))
            r.settings.plan = makeListPlan(std::move(*list));
    }
    r.settings.plan.cycles = std::clamp(q.value(32).toInt(), 1, maxCycles);
    return stored;
}

std::vector<StoredRun> RunDatabase::list(const RunRange& range)
{
    error_.clear();
    std::vector<StoredRun> runs;
    QSqlQuery query(QSqlDatabase::database(connection_, false));
    query.setForwardOnly(true);
    query.prepare(
        QStringLiteral("SELECT %1 FROM runs WHERE id < ? AND id > ? ORDER BY id DESC LIMIT ?")
            .arg(listedColumns));
    for (const QVariant& value :
         {QVariant(range.before), QVariant(range.after), QVariant(range.limit)})
        query.addBindValue(value);
    if (!query.exec()) {
        fail(QStringLiteral("listing the runs"), query.lastError());
        return runs;
    }
    while (query.next())
        runs.push_back(storedRun(query));
    return runs;
}

std::vector<qint64> RunDatabase::familyOf(qint64 runId)
{
    error_.clear();
    std::vector<qint64> ids;
    QSqlQuery query(QSqlDatabase::database(connection_, false));
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT id FROM runs WHERE family = (SELECT family FROM runs "
                                 "WHERE id = ?) ORDER BY step_index, id"));
    query.addBindValue(runId);
    if (!execute(query, "reading a family's curves"))
        return ids;
    while (query.next())
        ids.push_back(query.value(0).toLongLong());
    return ids;
}

std::optional<StoredRun> RunDatabase::load(qint64 runId, Points points)
{
    QSqlQuery query(QSqlDatabase::database(connection_, false));
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1 FROM runs WHERE id = ?").arg(runColumns));
    query.addBindValue(runId);
    if (!execute(query, "reading a run"))
        return std::nullopt;
    if (!query.next()) {
        fail(QString(), QStringLiteral("there is no run %1").arg(runId));
        return std::nullopt;
    }
    StoredRun stored = storedRun(query);
    if (points == Points::Left)
        return loadFits(runId, stored.run.fits) ? std::optional(stored) : std::nullopt;
    query.prepare(
        QStringLiteral("SELECT level, current, compliance, current_sd, ms FROM points WHERE "
                       "run = ? ORDER BY idx"));
    query.addBindValue(runId);
    if (!execute(query, "reading the points"))
        return std::nullopt;
    Run& run = stored.run;
    run.points.reserve(std::size_t(stored.pointCount));
    run.pointMs.reserve(std::size_t(stored.pointCount));
    // The flags are kept from the first point the source told of, the spreads from the
    // first point that has one (an imported file may have them without saying how many
    // readings each point was).
    constexpr double none = std::numeric_limits<double>::quiet_NaN();
    bool flagged = false, spread = false;
    while (query.next()) {
        run.points.push_back(IVPoint{query.value(0).toDouble(), query.value(1).toDouble()});
        run.pointMs.push_back(query.value(4).toLongLong());
        if (!query.value(2).isNull() && !flagged) {
            run.inCompliance.assign(run.points.size() - 1, 0);
            flagged = true;
        }
        if (flagged)
            run.inCompliance.push_back(query.value(2).toInt() == 1 ? 1 : 0);
        if (!query.value(3).isNull() && !spread) {
            run.currentSd.assign(run.points.size() - 1, none);
            spread = true;
        }
        if (spread)
            run.currentSd.push_back(query.value(3).isNull() ? none : query.value(3).toDouble());
    }
    if (!loadFits(runId, stored.run.fits))
        return std::nullopt;
    return stored;
}

bool RunDatabase::markOrphans()
{
    error_.clear();
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery running(db);
    if (!running.exec(
            QStringLiteral("SELECT id, owner_pid, owner_start FROM runs WHERE state = 'running'")))
        return fail(QStringLiteral("looking for unfinished runs"), running.lastError());
    QList<qint64> orphans;
    while (running.next())
        if (!isAlive(ProcessId{running.value(1).toLongLong(), running.value(2).toLongLong()}))
            orphans << running.value(0).toLongLong();
    QSqlQuery mark(db);
    mark.prepare(QStringLiteral("UPDATE runs SET state = 'interrupted', message = ?, "
                                "ended = coalesce(ended, ?), ") +
                 countsFromPoints + QStringLiteral(" WHERE id = ? AND state = 'running'"));
    for (const qint64 id : orphans) {
        for (const QVariant& value :
             {QVariant(orphanMessage), QVariant(timeText(QDateTime::currentDateTime())),
              QVariant(id)})
            mark.addBindValue(value);
        if (!execute(mark, "marking an unfinished run"))
            return false;
    }
    return true;
}

std::vector<StoredRun> RunDatabase::recoverInterrupted()
{
    std::vector<StoredRun> runs;
    if (!markOrphans())
        return runs;
    QSqlQuery query(QSqlDatabase::database(connection_, false));
    if (!query.exec(QStringLiteral("SELECT %1 FROM runs WHERE reported = 0 AND state != "
                                   "'running' ORDER BY id DESC")
                        .arg(listedColumns))) {
        fail(QStringLiteral("looking for unfinished runs"), query.lastError());
        return runs;
    }
    while (query.next())
        runs.push_back(storedRun(query));
    QSqlQuery reported(QSqlDatabase::database(connection_, false));
    reported.prepare(QStringLiteral("UPDATE runs SET reported = 1 WHERE id = ?"));
    for (const StoredRun& stored : runs) {
        reported.addBindValue(stored.id);
        execute(reported, "reporting a run");
    }
    return runs;
}

std::vector<UnpublishedRun> RunDatabase::unpublished()
{
    error_.clear();
    std::vector<UnpublishedRun> runs;
    QSqlQuery query(QSqlDatabase::database(connection_, false));
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT id, revision FROM runs WHERE state != 'running' AND "
                                   "published < revision ORDER BY id"))) {
        fail(QStringLiteral("looking for runs the lab store lacks"), query.lastError());
        return runs;
    }
    while (query.next())
        runs.push_back({query.value(0).toLongLong(), query.value(1).toInt()});
    return runs;
}

bool RunDatabase::markPublished(qint64 runId, int revision)
{
    QSqlQuery query(QSqlDatabase::database(connection_, false));
    query.prepare(QStringLiteral("UPDATE runs SET published = max(published, ?) WHERE id = ?"));
    query.addBindValue(revision);
    query.addBindValue(runId);
    return execute(query, "marking a run published");
}

std::vector<MeasuredPoint> RunDatabase::measuredPoints(qint64 runId)
{
    error_.clear();
    std::vector<MeasuredPoint> points;
    QSqlQuery query(QSqlDatabase::database(connection_, false));
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT idx, level, current, ms, compliance, current_sd FROM "
                                 "points WHERE run = ? ORDER BY idx"));
    query.addBindValue(runId);
    if (!execute(query, "reading the points"))
        return points;
    while (query.next())
        points.push_back({query.value(0).toInt(), query.value(1).toDouble(),
                          query.value(2).toDouble(), query.value(3).toLongLong(),
                          query.value(4).isNull() ? -1 : query.value(4).toInt(),
                          query.value(5).isNull() ? std::numeric_limits<double>::quiet_NaN()
                                                  : query.value(5).toDouble()});
    return points;
}

} // namespace kestrel
