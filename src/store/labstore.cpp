#include "store/labstore.h"

#include "data/numbertext.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <dlfcn.h>
#include <mutex>
#include <sys/socket.h>
#include <thread>

namespace kestrel
{

namespace
{

std::atomic<int> labConnections{0};

// Points go to the server this many to a statement, as arrays that unnest() turns
// into rows: a few statements for the largest run, not one per point.
constexpr std::size_t pointsPerStatement = 25000;
// Where the lab store tells its listeners that a run was published.
constexpr char labChannel[] = "kestrel_runs";

// The public schema, version 1; README ("Sharing runs across a lab") documents it.
// Every number is float8, so it comes back bit for bit. Row-level security lets a
// role insert and read, and change only the runs it published; nobody deletes but
// the owner, who deletes a run's points before the run.
const std::vector<const char*> schemaStatements{
    "CREATE TABLE kestrel_schema (version integer NOT NULL)",
    "INSERT INTO kestrel_schema VALUES (1)",
    "CREATE TABLE runs (id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, "
    "uuid uuid NOT NULL UNIQUE, bench text NOT NULL, "
    "published_by name NOT NULL DEFAULT current_user, "
    "published timestamptz NOT NULL DEFAULT now(), program text NOT NULL, "
    "started timestamptz, ended timestamptz, outcome text NOT NULL, message text NOT NULL, "
    "note text NOT NULL, source text NOT NULL, meter text NOT NULL, "
    "source_identity text NOT NULL, meter_identity text NOT NULL, settings jsonb NOT NULL, "
    "output_off boolean, guard text NOT NULL, point_count integer NOT NULL)",
    "CREATE INDEX runs_started ON runs (started)",
    "CREATE INDEX runs_bench ON runs (bench, started)",
    "CREATE TABLE points (run bigint NOT NULL, idx integer NOT NULL, "
    "level float8 NOT NULL, current float8 NOT NULL, ms bigint NOT NULL, compliance boolean, "
    "current_sd float8, PRIMARY KEY (run, idx))",
    "CREATE TABLE fits (run bigint NOT NULL REFERENCES runs (id), idx integer NOT NULL, "
    "model text NOT NULL, from_v float8, to_v float8, temperature_c float8 NOT NULL, "
    "shunt boolean NOT NULL, created timestamptz, PRIMARY KEY (run, idx))",
    "CREATE TABLE fit_quantities (run bigint NOT NULL, fit integer NOT NULL, "
    "idx integer NOT NULL, name text NOT NULL, value float8 NOT NULL, error float8, "
    "unit text NOT NULL, PRIMARY KEY (run, fit, idx), "
    "FOREIGN KEY (run, fit) REFERENCES fits (run, idx))",
    "ALTER TABLE kestrel_schema ENABLE ROW LEVEL SECURITY",
    "ALTER TABLE runs ENABLE ROW LEVEL SECURITY",
    "ALTER TABLE points ENABLE ROW LEVEL SECURITY",
    "ALTER TABLE fits ENABLE ROW LEVEL SECURITY",
    "ALTER TABLE fit_quantities ENABLE ROW LEVEL SECURITY",
    "CREATE POLICY readable ON kestrel_schema FOR SELECT USING (true)",
    "CREATE POLICY readable ON runs FOR SELECT USING (true)",
    "CREATE POLICY own_runs ON runs FOR INSERT WITH CHECK (published_by = current_user)",
    "CREATE POLICY own_changes ON runs FOR UPDATE USING (published_by = current_user)",
    "CREATE POLICY readable ON points FOR SELECT USING (true)",
    "CREATE POLICY own_runs ON points FOR INSERT WITH CHECK (true)",
    // Points are checked once a statement, all of them in one join: a foreign key or a
    // policy checks each row on its own, which would triple the time of a large run.
    "CREATE FUNCTION kestrel_points_of_own_runs() RETURNS trigger LANGUAGE plpgsql AS $$ "
    "BEGIN IF EXISTS (SELECT 1 FROM new_points n LEFT JOIN runs r ON r.id = n.run "
    "WHERE r.id IS NULL OR r.published_by <> current_user) THEN RAISE EXCEPTION "
    "'points may only be added to a run this role published' USING ERRCODE = '42501'; "
    "END IF; RETURN NULL; END $$",
    "CREATE TRIGGER own_runs AFTER INSERT ON points REFERENCING NEW TABLE AS new_points "
    "FOR EACH STATEMENT EXECUTE FUNCTION kestrel_points_of_own_runs()",
    "CREATE POLICY readable ON fits FOR SELECT USING (true)",
    "CREATE POLICY own_runs ON fits FOR INSERT WITH CHECK (EXISTS (SELECT 1 FROM runs r "
    "WHERE r.id = run AND r.published_by = current_user))",
    "CREATE POLICY readable ON fit_quantities FOR SELECT USING (true)",
    "CREATE POLICY own_runs ON fit_quantities FOR INSERT WITH CHECK (EXISTS (SELECT 1 FROM "
    "runs r WHERE r.id = run AND r.published_by = current_user))",
};

// The key of the lock under which one connection makes the schema.
constexpr qint64 schemaLockKey = 0x4b657374726c; // "Kestrl"

QString oneLine(const QString& text)
{
    return text.simplified();
}

QString isoTime(const QDateTime& time)
{
    return time.isValid() ? time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs)
                          : QString();
}

QVariant nullableText(const QString& text)
{
    return text.isEmpty() ? QVariant(QMetaType::fromType<QString>()) : QVariant(text);
}

QVariant textOrEmpty(const QString& text)
{
    return QVariant(text.isNull() ? QStringLiteral("") : text);
}

// A float8 as PostgreSQL reads it in an array's text: exact, non-finite values by name.
void appendNumber(std::string& out, double x)
{
    if (std::isnan(x))
        out += "NaN";
    else if (std::isinf(x))
        out += x < 0 ? "-Infinity" : "Infinity";
    else {
        // The shortest text that reads back to the same double, in no locale.
        char text[32];
        out.append(text, std::to_chars(std::begin(text), std::end(text), x).ptr);
    }
}

void appendWhole(std::string& out, qint64 x)
{
    char text[24];
    out.append(text, std::to_chars(std::begin(text), std::end(text), x).ptr);
}

// What PostgreSQL wrote for a float8 column, read back exactly.
double number(const QVariant& value)
{
    const QByteArray text = value.toString().toLatin1();
    if (text == "NaN")
        return std::numeric_limits<double>::quiet_NaN();
    if (text == "Infinity" || text == "-Infinity")
        return text.startsWith('-') ? -std::numeric_limits<double>::infinity()
                                    : std::numeric_limits<double>::infinity();
    return parseNumber(std::string_view(text.constData(), std::size_t(text.size())))
        .value_or(std::numeric_limits<double>::quiet_NaN());
}

std::optional<double> numberOrNone(const QVariant& value)
{
    return value.isNull() ? std::nullopt : std::optional<double>(number(value));
}

QJsonValue jsonNumber(const std::optional<double>& value)
{
    return value ? QJsonValue(*value) : QJsonValue();
}

// What of a run's settings the runs table has no column for.
QJsonObject settingsObject(const Run& run)
{
    const SweepSettings& s = run.settings;
    QJsonObject o{{QStringLiteral("source_address"), s.source.address},
                  {QStringLiteral("source_port"), s.source.port},
                  {QStringLiteral("meter_address"), s.meter.address},
                  {QStringLiteral("meter_port"), s.meter.port},
                  {QStringLiteral("start_v"), s.plan.start},
                  {QStringLiteral("stop_v"), s.plan.stop},
                  {QStringLiteral("steps"), s.plan.steps},
                  {QStringLiteral("shape"), shapeName(s.plan.shape)},
                  {QStringLiteral("cycles"), s.plan.cycles},
                  {QStringLiteral("readings"), s.readings},
                  {QStringLiteral("range_index"), s.rangeIndex},
                  {QStringLiteral("limit_a"), jsonNumber(s.limitAmps)},
                  {QStringLiteral("settle_ms"), s.settleMs},
                  {QStringLiteral("meter_rate"), rateName(s.meterRate)},
                  {QStringLiteral("source_profile"), s.sourceProfile},
                  {QStringLiteral("meter_profile"), s.meterProfile},
                  {QStringLiteral("compliance_a"), jsonNumber(s.complianceAmps)},
                  {QStringLiteral("continue_at_compliance"), s.continueAtCompliance},
                  {QStringLiteral("nplc"), jsonNumber(s.nplc)},
                  {QStringLiteral("not_recorded"), int(run.notRecorded.toInt())}};
    if (s.plan.shape == SweepShape::List && s.plan.levels) {
        QJsonArray levels;
        for (double level : *s.plan.levels)
            levels.append(level);
        o.insert(QStringLiteral("levels"), levels);
    }
    if (s.plan.shape == SweepShape::Hold)
        o.insert(QStringLiteral("hold_s"),
                 s.plan.untilStop() ? QJsonValue() : QJsonValue(s.plan.holdSeconds));
    if (const auto& step = s.step)
        o.insert(
            QStringLiteral("family"),
            QJsonObject{{QStringLiteral("id"), step->family},
                        {QStringLiteral("index"), step->index},
                        {QStringLiteral("count"), step->count},
                        {QStringLiteral("step_v"), step->level},
                        {QStringLiteral("step_address"), step->source.address},
                        {QStringLiteral("step_port"), step->source.port},
                        {QStringLiteral("step_identity"), step->identity},
                        {QStringLiteral("step_profile"), step->profile},
                        {QStringLiteral("step_compliance_a"), jsonNumber(step->complianceAmps)}});
    return o;
}

QByteArray settingsJson(const Run& run)
{
    return QJsonDocument(settingsObject(run)).toJson(QJsonDocument::Compact);
}

void readSettings(const QJsonObject& o, Run& run)
{
    SweepSettings& s = run.settings;
    const auto optional = [&o](const char* key) {
        const QJsonValue v = o.value(QLatin1String(key));
        return v.isDouble() ? std::optional<double>(v.toDouble()) : std::nullopt;
    };
    s.source = {o.value(QLatin1String("source_address")).toString(),
                o.value(QLatin1String("source_port")).toString()};
    s.meter = {o.value(QLatin1String("meter_address")).toString(),
               o.value(QLatin1String("meter_port")).toString()};
    s.plan = SweepPlan{
        o.value(QLatin1String("start_v")).toDouble(), o.value(QLatin1String("stop_v")).toDouble(),
        o.value(QLatin1String("steps")).toInt(),
        shapeFromName(o.value(QLatin1String("shape")).toString()).value_or(SweepShape::Linear)};
    if (s.plan.shape == SweepShape::List) {
        std::vector<double> levels;
        for (const auto& v : o.value(QLatin1String("levels")).toArray())
            levels.push_back(v.toDouble());
        s.plan = makeListPlan(std::move(levels));
    }
    s.plan.cycles = std::clamp(o.value(QLatin1String("cycles")).toInt(1), 1, maxCycles);
    s.plan.holdSeconds = o.value(QLatin1String("hold_s")).toDouble(0.0);
    if (const QJsonObject family = o.value(QLatin1String("family")).toObject(); !family.isEmpty()) {
        FamilyStep& step = s.step.emplace();
        step.family = family.value(QLatin1String("id")).toString();
        step.index = family.value(QLatin1String("index")).toInt();
        step.count = std::max(1, family.value(QLatin1String("count")).toInt(1));
        step.level = family.value(QLatin1String("step_v")).toDouble();
        step.source = {family.value(QLatin1String("step_address")).toString(),
                       family.value(QLatin1String("step_port")).toString()};
        step.identity = family.value(QLatin1String("step_identity")).toString();
        step.profile = family.value(QLatin1String("step_profile")).toString();
        const QJsonValue compliance = family.value(QLatin1String("step_compliance_a"));
        if (compliance.isDouble())
            step.complianceAmps = compliance.toDouble();
    }
    s.readings = std::clamp(o.value(QLatin1String("readings")).toInt(1), 1, maxReadings);
    s.rangeIndex = o.value(QLatin1String("range_index")).toInt();
    s.limitAmps = optional("limit_a");
    s.settleMs = o.value(QLatin1String("settle_ms")).toInt();
    s.meterRate =
        rateFromName(o.value(QLatin1String("meter_rate")).toString()).value_or(MeterRate::Medium);
    s.sourceProfile = o.value(QLatin1String("source_profile")).toString();
    s.meterProfile = o.value(QLatin1String("meter_profile")).toString();
    s.complianceAmps = optional("compliance_a");
    s.continueAtCompliance = o.value(QLatin1String("continue_at_compliance")).toBool();
    s.nplc = optional("nplc");
    run.notRecorded =
        RunDetails::fromInt(unsigned(o.value(QLatin1String("not_recorded")).toInt())) &
        everyRunDetail;
}

// A run's row, for load(); times in milliseconds since 1970. A listing takes only the
// settings it shows, so that thousands of rows read fast.
const QString labRunColumns = QStringLiteral(
    "id, uuid::text, bench, published_by::text, program, "
    "round(extract(epoch FROM started) * 1000)::bigint, "
    "round(extract(epoch FROM ended) * 1000)::bigint, outcome, message, note, source_identity, "
    "meter_identity, %1, output_off, guard, point_count");
const QString labLoadedColumns = labRunColumns.arg(QStringLiteral("settings::text"));
const QString labListedColumns =
    labRunColumns.arg(QStringLiteral("jsonb_build_object('shape', settings->'shape', 'start_v', "
                                     "settings->'start_v', 'stop_v', settings->'stop_v', 'steps', "
                                     "settings->'steps', 'cycles', settings->'cycles', 'hold_s', "
                                     "settings->'hold_s', 'family', settings->'family')::text"));

QDateTime timeFrom(const QVariant& ms)
{
    return ms.isNull() ? QDateTime() : QDateTime::fromMSecsSinceEpoch(ms.toLongLong());
}

LabRun labRun(const QSqlQuery& q)
{
    LabRun lab;
    StoredRun& s = lab.stored;
    s.id = q.value(0).toLongLong();
    s.uuid = q.value(1).toString();
    s.bench = q.value(2).toString();
    lab.publishedBy = q.value(3).toString();
    s.program = q.value(4).toString();
    s.run.started = timeFrom(q.value(5));
    s.run.ended = timeFrom(q.value(6));
    s.run.outcome = outcomeFromName(q.value(7).toString()).value_or(Run::Outcome::Interrupted);
    s.run.message = q.value(8).toString();
    s.note = q.value(9).toString();
    s.run.sourceIdentity = q.value(10).toString();
    s.run.meterIdentity = q.value(11).toString();
    readSettings(QJsonDocument::fromJson(q.value(12).toString().toUtf8()).object(), s.run);
    s.run.outputOff = q.value(13).toBool();
    s.guard = q.value(14).toString();
    s.pointCount = q.value(15).toInt();
    return lab;
}

} // namespace

// Ends a connection whose server has not answered a statement in labAnswerLimitMs: its
// socket is shut down from a thread of its own, so the call waiting in libpq returns
// with an error. Started again with each statement, stopped when the store goes.
class AnswerLimit
{
  public:
    AnswerLimit() : thread_([this] { watch(); }) {}
    ~AnswerLimit()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    // fd: the connection's socket, -1 when it has none.
    void start(int fd)
    {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            fd_ = fd;
            deadline_ =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(labAnswerLimitMs);
        }
        wake_.notify_all();
    }
    void stop() { start(-1); }
    bool cut() const { return cut_; }

  private:
    void watch()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!quit_) {
            if (fd_ < 0) {
                wake_.wait(lock);
            } else if (wake_.wait_until(lock, deadline_) == std::cv_status::timeout && fd_ >= 0 &&
                       std::chrono::steady_clock::now() >= deadline_) {
                ::shutdown(fd_, SHUT_RDWR);
                fd_ = -1;
                cut_ = true;
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    int fd_ = -1;
    std::chrono::steady_clock::time_point deadline_;
    bool quit_ = false;
    std::atomic<bool> cut_{false};
    std::thread thread_; // last: it starts once the rest is made
};

namespace
{

// The socket of a QPSQL connection, through libpq's PQsocket (libpq is loaded with the
// driver); -1 when there is none.
int socketOf(const QSqlDatabase& db)
{
    using SocketOf = int (*)(const void*);
    static const SocketOf pqSocket = [] {
        void* libpq = ::dlopen("libpq.so.5", RTLD_LAZY | RTLD_NOLOAD);
        return libpq ? reinterpret_cast<SocketOf>(::dlsym(libpq, "PQsocket")) : nullptr;
    }();
    const QVariant handle = db.isOpen() ? db.driver()->handle() : QVariant();
    // The driver names libpq's type as libpq declares it (struct pg_conn).
    if (!pqSocket || !handle.isValid() ||
        (qstrcmp(handle.typeName(), "PGconn*") != 0 && qstrcmp(handle.typeName(), "pg_conn*") != 0))
        return -1;
    const void* connection = *static_cast<void* const*>(handle.data());
    return connection ? pqSocket(connection) : -1;
}

} // namespace

bool LabStore::limited(const std::function<bool()>& exchange)
{
    limit_->start(socketOf(QSqlDatabase::database(connection_, false)));
    const bool ok = exchange();
    limit_->stop();
    return ok;
}

bool LabStore::exec(QSqlQuery& query)
{
    return limited([&query] { return query.exec(); });
}

bool LabStore::exec(QSqlQuery& query, const QString& statement)
{
    return limited([&query, &statement] { return query.exec(statement); });
}

LabStore::LabStore(LabUri uri)
    : uri_(std::move(uri)), connection_(QStringLiteral("kestrel-lab-%1").arg(++labConnections)),
      limit_(std::make_unique<AnswerLimit>())
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection_);
    // Every part of the URI goes to libpq as its own keyword; Qt adds nothing but these.
    db.setConnectOptions(uri_.options);
}

LabStore::~LabStore()
{
    QSqlDatabase::database(connection_, false).close();
    QSqlDatabase::removeDatabase(connection_);
}

QString LabStore::failure(const QString& what, const QSqlError& error) const
{
    QString reason = oneLine(error.databaseText().isEmpty() ? error.text() : error.databaseText());
    if (limit_->cut())
        reason = QStringLiteral("the server did not answer within %1 s, so the connection was "
                                "ended: %2")
                     .arg(labAnswerLimitMs / 1000)
                     .arg(reason);
    return what.isEmpty() ? reason : what + QStringLiteral(": ") + reason;
}

QString LabStore::open()
{
    refused_ = false;
    if (open_)
        return QString();
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    if (!db.isValid())
        return error_ = QStringLiteral("Qt's PostgreSQL driver (QPSQL) is not installed; on "
                                       "Debian it is the package libqt6sql6-psql");
    if (!db.open()) {
        refused_ = true;
        return error_ = failure(QString(), db.lastError());
    }
    QSqlQuery query(db);
    for (const QString& setting :
         {QStringLiteral("SET statement_timeout = %1").arg(labStatementTimeoutMs),
          QStringLiteral("SET lock_timeout = %1").arg(labStatementTimeoutMs / 3),
          QStringLiteral("SET extra_float_digits = 3"), QStringLiteral("SET TimeZone = 'UTC'")})
        if (!exec(query, setting)) {
            error_ = failure(QString(), query.lastError());
            db.close();
            return error_;
        }
    if (error_ = prepareSchema(); !error_.isEmpty()) {
        db.close();
        return error_;
    }
    open_ = true;
    return QString();
}

QString LabStore::prepareSchema()
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery query(db);
    const auto version = [this, &query]() -> std::optional<int> {
        if (!exec(query, QStringLiteral("SELECT to_regclass('kestrel_schema') IS NOT NULL")) ||
            !query.next())
            return std::nullopt;
        if (!query.value(0).toBool())
            return 0;
        if (!exec(query, QStringLiteral("SELECT max(version) FROM kestrel_schema")) ||
            !query.next())
            return std::nullopt;
        return query.value(0).toInt();
    };
    const auto refuseNewer = [](int found) {
        return QStringLiteral("the lab store has schema version %1 and this Kestrel knows up to "
                              "%2; nothing was changed there")
            .arg(found)
            .arg(schemaVersion);
    };
    std::optional<int> found = version();
    if (!found)
        return failure(QStringLiteral("reading the schema version"), query.lastError());
    if (*found > schemaVersion)
        return refuseNewer(*found);
    if (*found == schemaVersion)
        return QString();
    // Made under a lock, the version read again: of two benches that find no schema,
    // one makes it and the other finds it made.
    if (!limited([&db] { return db.transaction(); }))
        return failure(QStringLiteral("making the schema"), db.lastError());
    const auto abandon = [this, &db](const QString& why) {
        limited([&db] { return db.rollback(); });
        return why;
    };
    if (!exec(query, QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(schemaLockKey)))
        return abandon(failure(QStringLiteral("making the schema"), query.lastError()));
    found = version();
    if (!found)
        return abandon(failure(QStringLiteral("reading the schema version"), query.lastError()));
    if (*found > schemaVersion)
        return abandon(refuseNewer(*found));
    if (*found == 0) {
        if (!exec(query, QStringLiteral("SELECT to_regclass('runs') IS NOT NULL")) ||
            !query.next() || query.value(0).toBool())
            return abandon(QStringLiteral("the database holds a table runs that is not "
                                          "Kestrel's; nothing was changed there"));
        for (const char* statement : schemaStatements)
            if (!exec(query, QLatin1String(statement)))
                return abandon(
                    failure(QStringLiteral("making the schema (this role may not: the lab's "
                                           "owner role makes it)"),
                            query.lastError()));
    }
    if (!limited([&db] { return db.commit(); }))
        return abandon(failure(QStringLiteral("making the schema"), db.lastError()));
    return QString();
}

PublishResult LabStore::publish(RunDatabase& local, qint64 budgetMs)
{
    QElapsedTimer clock;
    clock.start();
    PublishResult result;
    const std::vector<UnpublishedRun> runs = local.unpublished();
    if (!local.lastError().isEmpty()) {
        result.problem = local.lastError();
        return result;
    }
    result.waiting = int(runs.size());
    if (runs.empty())
        return result;
    if (const QString problem = open(); !problem.isEmpty()) {
        result.problem = problem;
        result.refused = refused_;
        return result;
    }
    for (const UnpublishedRun& run : runs) {
        if (budgetMs >= 0 && clock.elapsed() > budgetMs)
            break;
        if (const QString problem = publishRun(local, run); !problem.isEmpty()) {
            result.problem = problem;
            // The connection may be gone: the next round makes a new one.
            QSqlDatabase::database(connection_, false).close();
            open_ = false;
            break;
        }
        ++result.published;
        --result.waiting;
    }
    return result;
}

QString LabStore::publishRun(RunDatabase& local, const UnpublishedRun& waiting)
{
    const std::optional<StoredRun> stored = local.load(waiting.id, RunDatabase::Points::Left);
    if (!stored)
        return QStringLiteral("reading run %1 of the local store: %2")
            .arg(waiting.id)
            .arg(local.lastError());
    const std::vector<MeasuredPoint> points = local.measuredPoints(waiting.id);
    if (!local.lastError().isEmpty())
        return QStringLiteral("reading run %1 of the local store: %2")
            .arg(waiting.id)
            .arg(local.lastError());
    const Run& run = stored->run;
    const QString what = QStringLiteral("publishing run %1").arg(stored->uuid);

    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    if (!limited([&db] { return db.transaction(); }))
        return failure(what, db.lastError());
    QSqlQuery query(db);
    const auto abandon = [&](const QString& why) {
        limited([&db] { return db.rollback(); });
        return why;
    };
    const auto bind = [&query](std::initializer_list<QVariant> values) {
        for (const QVariant& value : values)
            query.addBindValue(value);
    };
    // A run new to the lab gets its points; one it has gets what may have changed since.
    query.prepare(QStringLiteral(
        "INSERT INTO runs (uuid, bench, program, started, ended, outcome, message, note, source, "
        "meter, source_identity, meter_identity, settings, output_off, guard, point_count) "
        "VALUES (CAST(? AS uuid), ?, ?, CAST(? AS timestamptz), CAST(? AS timestamptz), ?, ?, ?, "
        "?, ?, ?, ?, CAST(? AS jsonb), ?, ?, ?) ON CONFLICT (uuid) DO NOTHING RETURNING id"));
    bind({QVariant(stored->uuid),
          textOrEmpty(stored->bench.isEmpty() ? benchName() : stored->bench),
          textOrEmpty(stored->program), nullableText(isoTime(run.started)),
          nullableText(isoTime(run.ended)), QVariant(outcomeName(run.outcome)),
          textOrEmpty(run.message), textOrEmpty(stored->note),
          QVariant(endpointText(run.settings.source)), QVariant(endpointText(run.settings.meter)),
          textOrEmpty(run.sourceIdentity), textOrEmpty(run.meterIdentity),
          QVariant(QString::fromUtf8(settingsJson(run))), QVariant(run.outputOff),
          textOrEmpty(stored->guard), QVariant(int(points.size()))});
    if (!exec(query))
        return abandon(failure(what, query.lastError()));
    qint64 labId = 0;
    if (query.next()) {
        labId = query.value(0).toLongLong();
        for (std::size_t from = 0; from < points.size(); from += pointsPerStatement) {
            const std::size_t to = std::min(points.size(), from + pointsPerStatement);
            std::string idx = "'{", level = "'{", current = "'{", ms = "'{", flag = "'{", sd = "'{";
            for (std::size_t i = from; i < to; ++i) {
                const MeasuredPoint& p = points[i];
                const char* comma = i + 1 < to ? "," : "";
                appendWhole(idx, p.index);
                idx += comma;
                appendNumber(level, p.level);
                level += comma;
                appendNumber(current, p.amps);
                current += comma;
                appendWhole(ms, p.ms);
                ms += comma;
                (flag += p.inCompliance < 0 ? "NULL" : p.inCompliance ? "t" : "f") += comma;
                if (std::isnan(p.sd))
                    sd += "NULL";
                else
                    appendNumber(sd, p.sd);
                sd += comma;
            }
            std::string statement =
                "INSERT INTO points (run, idx, level, current, ms, compliance, current_sd) SELECT ";
            appendWhole(statement, labId);
            for (const auto& [column, type] : {std::pair{&idx, ", * FROM unnest("},
                                               {&level, "}'::integer[], "},
                                               {&current, "}'::float8[], "},
                                               {&ms, "}'::float8[], "},
                                               {&flag, "}'::bigint[], "},
                                               {&sd, "}'::boolean[], "}})
                (statement += type) += *column;
            statement += "}'::float8[])";
            if (!exec(query, QString::fromStdString(statement)))
                return abandon(failure(what, query.lastError()));
        }
    } else {
        query.prepare(QStringLiteral(
            "UPDATE runs SET ended = CAST(? AS timestamptz), outcome = ?, message = ?, note = ?, "
            "output_off = ?, guard = ? WHERE uuid = CAST(? AS uuid) RETURNING id"));
        bind({nullableText(isoTime(run.ended)), QVariant(outcomeName(run.outcome)),
              textOrEmpty(run.message), textOrEmpty(stored->note), QVariant(run.outputOff),
              textOrEmpty(stored->guard), QVariant(stored->uuid)});
        if (!exec(query))
            return abandon(failure(what, query.lastError()));
        if (!query.next())
            return abandon(what + QStringLiteral(": the lab store has it from another role, which "
                                                 "alone may change it; it was left as it is"));
        labId = query.value(0).toLongLong();
    }
    // Fits are only ever added to a run: each goes in once, by its place.
    for (std::size_t f = 0; f < run.fits.size(); ++f) {
        const RunFit& fit = run.fits[f];
        query.prepare(QStringLiteral(
            "INSERT INTO fits (run, idx, model, from_v, to_v, temperature_c, shunt, created) "
            "VALUES (?, ?, ?, CAST(? AS float8), CAST(? AS float8), CAST(? AS float8), ?, "
            "CAST(? AS timestamptz)) ON CONFLICT (run, idx) DO NOTHING RETURNING idx"));
        const auto numberText = [](const std::optional<double>& x) {
            if (!x)
                return QVariant(QMetaType::fromType<QString>());
            std::string text;
            appendNumber(text, *x);
            return QVariant(QString::fromStdString(text));
        };
        bind({QVariant(labId), QVariant(int(f)),
              QVariant(QString::fromLatin1(analysis::modelName(fit.model))),
              numberText(fit.fromVolts), numberText(fit.toVolts), numberText(fit.temperatureC),
              QVariant(fit.shunt), nullableText(isoTime(fit.created))});
        if (!exec(query))
            return abandon(failure(what, query.lastError()));
        if (!query.next())
            continue;
        query.prepare(QStringLiteral("INSERT INTO fit_quantities (run, fit, idx, name, value, "
                                     "error, unit) VALUES (?, ?, ?, ?, CAST(? AS float8), "
                                     "CAST(? AS float8), ?)"));
        for (std::size_t i = 0; i < fit.quantities.size(); ++i) {
            const analysis::Quantity& q = fit.quantities[i];
            bind({QVariant(labId), QVariant(int(f)), QVariant(int(i)),
                  QVariant(QString::fromStdString(q.name)), numberText(q.value),
                  numberText(q.error), QVariant(QString::fromStdString(q.unit))});
            if (!exec(query))
                return abandon(failure(what, query.lastError()));
        }
    }
    // Whoever listens (a window's Lab view) hears of it once it is committed.
    if (!exec(query, QStringLiteral("NOTIFY %1").arg(QLatin1String(labChannel))))
        return abandon(failure(what, query.lastError()));
    if (!limited([&db] { return db.commit(); }))
        return abandon(failure(what, db.lastError()));
    if (!local.markPublished(waiting.id, waiting.revision))
        return QStringLiteral("run %1 is in the lab store, but the local store could not say so "
                              "(%2); it will be published again, changing nothing")
            .arg(stored->uuid, local.lastError());
    return QString();
}

std::optional<std::vector<LabRun>> LabStore::list(const QString& bench)
{
    if (!open().isEmpty())
        return std::nullopt;
    QSqlQuery query(QSqlDatabase::database(connection_, false));
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1 FROM runs WHERE ? = '' OR bench = ? ORDER BY "
                                 "started DESC NULLS LAST, id DESC")
                      .arg(labListedColumns));
    query.addBindValue(textOrEmpty(bench));
    query.addBindValue(textOrEmpty(bench));
    if (!exec(query)) {
        error_ = failure(QStringLiteral("listing the lab's runs"), query.lastError());
        return std::nullopt;
    }
    std::vector<LabRun> runs;
    while (query.next())
        runs.push_back(labRun(query));
    return runs;
}

std::optional<LabRun> LabStore::load(const QString& uuid)
{
    if (!open().isEmpty())
        return std::nullopt;
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(
        QStringLiteral("SELECT %1 FROM runs WHERE uuid::text = lower(?)").arg(labLoadedColumns));
    query.addBindValue(uuid);
    if (!exec(query)) {
        error_ = failure(QStringLiteral("reading a lab run"), query.lastError());
        return std::nullopt;
    }
    if (!query.next()) {
        error_ = QStringLiteral("the lab store has no run %1").arg(uuid);
        return std::nullopt;
    }
    LabRun lab = labRun(query);
    Run& run = lab.stored.run;
    const QString id = QString::number(lab.stored.id);
    // Numbers as the server's text, read exactly here.
    if (!exec(query, QStringLiteral("SELECT level::text, current::text, ms, compliance, "
                                    "current_sd::text FROM points WHERE run = %1 ORDER BY idx")
                         .arg(id))) {
        error_ = failure(QStringLiteral("reading a lab run's points"), query.lastError());
        return std::nullopt;
    }
    bool flagged = false, spread = false;
    while (query.next()) {
        run.points.push_back(IVPoint{number(query.value(0)), number(query.value(1))});
        lab.ms.push_back(query.value(2).toLongLong());
        if (!query.value(3).isNull() && !flagged) {
            run.inCompliance.assign(run.points.size() - 1, 0);
            flagged = true;
        }
        if (flagged)
            run.inCompliance.push_back(query.value(3).toBool() ? 1 : 0);
        if (!query.value(4).isNull() && !spread) {
            run.currentSd.assign(run.points.size() - 1, std::numeric_limits<double>::quiet_NaN());
            spread = true;
        }
        if (spread)
            run.currentSd.push_back(query.value(4).isNull()
                                        ? std::numeric_limits<double>::quiet_NaN()
                                        : number(query.value(4)));
    }
    if (!exec(query, QStringLiteral("SELECT f.idx, f.model, f.from_v::text, f.to_v::text, "
                                    "f.temperature_c::text, f.shunt, to_json(f.created) #>> '{}', "
                                    "q.name, q.value::text, q.error::text, q.unit FROM fits f "
                                    "LEFT JOIN fit_quantities q ON q.run = f.run AND q.fit = f.idx "
                                    "WHERE f.run = %1 ORDER BY f.idx, q.idx")
                         .arg(id))) {
        error_ = failure(QStringLiteral("reading a lab run's fits"), query.lastError());
        return std::nullopt;
    }
    int last = -1;
    while (query.next()) {
        if (query.value(0).toInt() != last) {
            const auto model = analysis::modelFromName(query.value(1).toString().toStdString());
            last = query.value(0).toInt();
            if (!model)
                continue;
            RunFit fit;
            fit.model = *model;
            fit.fromVolts = numberOrNone(query.value(2));
            fit.toVolts = numberOrNone(query.value(3));
            fit.temperatureC = number(query.value(4));
            fit.shunt = query.value(5).toBool();
            fit.created = QDateTime::fromString(query.value(6).toString(), Qt::ISODateWithMs);
            run.fits.push_back(std::move(fit));
        }
        if (query.value(7).isNull() || run.fits.empty())
            continue;
        analysis::Quantity q;
        q.name = query.value(7).toString().toStdString();
        q.value = number(query.value(8));
        q.error = numberOrNone(query.value(9));
        q.unit = query.value(10).toString().toStdString();
        run.fits.back().quantities.push_back(std::move(q));
    }
    lab.stored.pointCount = int(run.points.size());
    return lab;
}

bool LabStore::listen(QObject* context, std::function<void()> heard)
{
    if (!open().isEmpty())
        return false;
    QSqlDriver* driver = QSqlDatabase::database(connection_, false).driver();
    if (!driver->subscribeToNotification(QLatin1String(labChannel))) {
        error_ = failure(QStringLiteral("listening for published runs"), driver->lastError());
        return false;
    }
    QObject::connect(driver, &QSqlDriver::notification, context,
                     [heard = std::move(heard)](const QString& name) {
                         if (name == QLatin1String(labChannel))
                             heard();
                     });
    return true;
}

bool LabStore::alive()
{
    if (!open().isEmpty())
        return false;
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery query(db);
    if (db.isOpen() && exec(query, QStringLiteral("SELECT 1")) && query.next())
        return true;
    // A connection the server ended is closed by the driver, saying nothing.
    error_ = db.isOpen() ? failure(QStringLiteral("asking the server"), query.lastError())
                         : QStringLiteral("the connection to the server was lost");
    return false;
}

namespace
{

// The settings a listing holds (those of labListedColumns), under the lab's own keys.
QJsonObject listedSettings(const Run& run)
{
    const QJsonObject all = settingsObject(run);
    QJsonObject listed;
    for (const char* key : {"shape", "start_v", "stop_v", "steps", "cycles", "hold_s", "family"})
        if (const QJsonValue value = all.value(QLatin1String(key)); !value.isUndefined())
            listed.insert(QLatin1String(key), value);
    return listed;
}

} // namespace

QByteArray labRunLine(const LabRun& lab)
{
    const StoredRun& s = lab.stored;
    const auto ms = [](const QDateTime& time) {
        return time.isValid() ? QJsonValue(double(time.toMSecsSinceEpoch())) : QJsonValue();
    };
    const QJsonObject o{{QStringLiteral("uuid"), s.uuid},
                        {QStringLiteral("bench"), s.bench},
                        {QStringLiteral("published_by"), lab.publishedBy},
                        {QStringLiteral("program"), s.program},
                        {QStringLiteral("started"), ms(s.run.started)},
                        {QStringLiteral("ended"), ms(s.run.ended)},
                        {QStringLiteral("outcome"), outcomeName(s.run.outcome)},
                        {QStringLiteral("message"), s.run.message},
                        {QStringLiteral("note"), s.note},
                        {QStringLiteral("points"), s.pointCount},
                        {QStringLiteral("output_off"), s.run.outputOff},
                        {QStringLiteral("settings"), listedSettings(s.run)}};
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

std::optional<LabRun> labRunFromLine(const QByteArray& line)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    const QJsonObject o = document.object();
    if (error.error != QJsonParseError::NoError || !o.value(QLatin1String("uuid")).isString())
        return std::nullopt;
    const auto time = [&o](const char* key) {
        const QJsonValue v = o.value(QLatin1String(key));
        return v.isDouble() ? QDateTime::fromMSecsSinceEpoch(qint64(v.toDouble())) : QDateTime();
    };
    LabRun lab;
    StoredRun& s = lab.stored;
    s.uuid = o.value(QLatin1String("uuid")).toString();
    s.bench = o.value(QLatin1String("bench")).toString();
    lab.publishedBy = o.value(QLatin1String("published_by")).toString();
    s.program = o.value(QLatin1String("program")).toString();
    s.run.started = time("started");
    s.run.ended = time("ended");
    s.run.outcome = outcomeFromName(o.value(QLatin1String("outcome")).toString())
                        .value_or(Run::Outcome::Interrupted);
    s.run.message = o.value(QLatin1String("message")).toString();
    s.note = o.value(QLatin1String("note")).toString();
    s.pointCount = o.value(QLatin1String("points")).toInt();
    s.run.outputOff = o.value(QLatin1String("output_off")).toBool();
    readSettings(o.value(QLatin1String("settings")).toObject(), s.run);
    return lab;
}

QString labWaitingLine(const PublishResult& result, const LabUri& uri)
{
    const QString runs = result.waiting == 1
                             ? QStringLiteral("1 run waiting")
                             : QStringLiteral("%1 runs waiting").arg(result.waiting);
    return result.refused
               ? QStringLiteral("Lab store: %1 — the server at %2 refused the connection: %3")
                     .arg(runs, uri.where, result.problem)
               : QStringLiteral("Lab store: %1 — the server at %2: %3")
                     .arg(runs, uri.where, result.problem);
}

} // namespace kestrel
