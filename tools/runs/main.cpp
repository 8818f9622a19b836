// kestrel-runs: the run store from the command line: list, show, export, import, delete,
// analyze; the lab store: set it up, publish to it, read it.

#include "analysis/fit.h"
#include "controller/runanalysis.h"
#include "controller/runhistory.h"
#include "controller/sweepdescription.h"
#include "data/numbertext.h"
#include "data/printabletext.h"
#include "data/runfile.h"
#include "store/labstore.h"
#include "store/rundatabase.h"
#include "store/runimport.h"

#include <QCoreApplication>
#include <QSettings>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <exception>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrel;

namespace
{

const char usage[] = R"(Usage: kestrel-runs [--store PATH] COMMAND [ARGUMENTS]

Reads and changes the run store, where Kestrel and kestrel-sweep keep every run as
it is measured, point by point.

Commands:
  list              every run, newest first: id, start, outcome, points, the
                    lowest and highest level measured, the step level of a
                    family's curve, the source and meter endpoints, shape
  show ID           one run: its instruments, settings, times, outcome and what
                    became of the source output
  export ID FILE    the run's points: Kestrel's data format when FILE ends in
                    .txt, a CSV with the run's header when it ends in .csv
  export --family ID FILE
                    every curve of the family run ID belongs to, in step
                    order, as one CSV with a step_V column first: the family
                    CSV kestrel-sweep wrote as it measured it; FILE ends in
                    .csv
  import FILE       a data file or a Kestrel CSV becomes a run with the outcome
                    "imported"; prints its id. FILE is a regular file of at
                    most 268435456 bytes (256 MiB)
  delete ID         removes the run and its points
  analyze ID --model MODEL [--from V] [--to V] [--temperature C] [--shunt]
                    fits the run's curve and keeps the fit with the run;
                    prints one "name = value ± error unit" line per result.
                    MODEL: linear (R, offset, r2), diode (Is, n, Rs; Rsh with
                    --shunt) or solar (Isc, Voc, Pmax, Vmp, Imp, FF and the
                    single-diode Iph, I0, n, Rs, Rsh). An Rs or Rsh the
                    points leave open reads "Rsh = not determined by these
                    points"; a fit whose model does not explain the points,
                    or whose main results are not determined, keeps nothing
  publish           copies every ended run the lab store lacks (or has an older
                    note or fewer fits of) to it, one transaction per run
  lab               the lab store's URI and this bench's name
  lab set URI       the lab store: a libpq connection URI,
                    postgresql://USER@HOST:PORT/DB?sslmode=verify-full; a URI
                    with a password is refused (passwords come from ~/.pgpass,
                    PGPASSFILE or PGPASSWORD). "lab set ''" forgets it
  lab bench NAME    this bench's name in the lab (default: the host name)
  lab check         connects, makes the lab's tables when there are none, and
                    says whether the lab store is ready
  --lab list [--json]
                    the lab's runs, every bench's, newest first; --json: one
                    JSON object per line (uuid, bench, started and ended in ms
                    since 1970, outcome, message, note, points, settings)
  --lab watch       prints "listening", then "published" each time a bench
                    publishes a run, until the connection is lost (exit 1) or
                    standard input, when it is a pipe, is closed (exit 0)
  --lab show UUID   one run of the lab store
  --lab export UUID FILE
                    one run of the lab store, as export writes a local one

Options:
  --lab             list, show and export read the lab store, not the local one
  --store PATH      another store (default: $XDG_DATA_HOME/kestrel/runs.sqlite,
                    that is ~/.local/share/kestrel/runs.sqlite, ~ being the
                    user database's home where $HOME is unset; here:
                    %1)
  --model MODEL     analyze: linear, diode or solar
  --from V          analyze: the lowest source level fitted (default: the run's)
  --to V            analyze: the highest source level fitted (default: the run's)
  --temperature C   analyze: the device's temperature in degrees Celsius, for
                    the thermal voltage (default 25)
  --shunt           analyze, diode: also fit a shunt resistance
  --family          export: the whole family of the curve
  --json            --lab list: one JSON object per line
  -h, --help        show this help
  -v, --version     show the version

Example:
  kestrel-runs list
  kestrel-runs export 12 iv.csv
  kestrel-runs export --family 14 family.csv
  kestrel-runs analyze 12 --model diode --from 0.3

Exit status:
  0  done
  1  the store or the file could not be read or written, the fit gave no
     result, or runs wait for the lab store; one line on standard error
     says why
  2  the command line is wrong
)";

static_assert(maxRunFileBytes == 268435456, "the help, the man page and README name the limit");

// One line on a terminal, whatever a path, a store's error or a note in it holds.
int fail(const QString& message, int status = 1)
{
    const QByteArray line =
        (QStringLiteral("kestrel-runs: ") + printableText(message) + QLatin1Char('\n')).toUtf8();
    std::fputs(line.constData(), stderr);
    return status;
}

bool print(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    return std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout) ==
               std::size_t(bytes.size()) &&
           std::fflush(stdout) == 0;
}

QString when(const QDateTime& time)
{
    return time.isValid() ? time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString();
}

QString endpointOrDash(const Run& run, RunDetail detail, const Endpoint& endpoint)
{
    if (!run.recorded(detail))
        return notRecordedText();
    return endpoint.address.isEmpty() && endpoint.port.isEmpty()
               ? QStringLiteral("-")
               : printableText(endpointText(endpoint));
}

QString listing(const std::vector<StoredRun>& runs)
{
    QString text = QStringLiteral("%1  %2  %3  %4  %5  %6  %7  %8  %9  %10\n")
                       .arg(QStringLiteral("ID"), 5)
                       .arg(QStringLiteral("STARTED"), -19)
                       .arg(QStringLiteral("OUTCOME"), -13)
                       .arg(QStringLiteral("POINTS"), 7)
                       .arg(QStringLiteral("LOWEST V"), 10)
                       .arg(QStringLiteral("HIGHEST V"), 10)
                       .arg(QStringLiteral("STEP V"), 8)
                       .arg(QStringLiteral("SOURCE"), -21)
                       .arg(QStringLiteral("METER"), -21)
                       .arg(QStringLiteral("SHAPE"));
    for (const StoredRun& stored : runs) {
        const Run& run = stored.run;
        const SweepSettings& s = run.settings;
        const auto level = [&stored](double LevelSpan::*end) {
            return stored.levels ? QString::fromStdString(formatDouble((*stored.levels).*end))
                                 : QStringLiteral("-");
        };
        // A family's curve says its step level; a run of its own leaves it empty.
        const QString step =
            s.step ? QString::fromStdString(formatDouble(s.step->level)) : QString();
        text +=
            QStringLiteral("%1  %2  %3  %4  %5  %6  %7  %8  %9  %10\n")
                .arg(stored.id, 5)
                .arg(when(run.started), -19)
                .arg(outcomeName(run.outcome), -13)
                .arg(stored.pointCount, 7)
                .arg(level(&LevelSpan::lowestVolts), 10)
                .arg(level(&LevelSpan::highestVolts), 10)
                .arg(step, 8)
                .arg(endpointOrDash(run, RunDetail::Source, s.source), -21)
                .arg(endpointOrDash(run, RunDetail::Meter, s.meter), -21)
                .arg(run.recorded(RunDetail::Shape) ? shapeName(s.plan.shape) : notRecordedText());
    }
    return text;
}

QString description(const StoredRun& stored)
{
    const CsvHeader header = describeRun(stored.program, stored.run);
    QString text;
    // The run's fields under the labels its CSV header gives them, then what only the
    // store knows.
    QList<std::pair<QString, QString>> fields{{QStringLiteral("run"), QString::number(stored.id)}};
    fields += runFields(header, when);
    fields += {{QStringLiteral("note"), stored.note},
               {QStringLiteral("points"), QString::number(stored.run.points.size())},
               {QStringLiteral("points in compliance"),
                stored.run.inCompliance.empty()
                    ? QString()
                    : QString::number(std::count(stored.run.inCompliance.begin(),
                                                 stored.run.inCompliance.end(), 1))},
               {QStringLiteral("source output"),
                stored.run.outputOff ? QStringLiteral("off") : QStringLiteral("may be on")},
               {QStringLiteral("guard"), stored.guard}};
    for (const auto& [key, value] : fields)
        if (!value.isEmpty())
            text += key + QStringLiteral(": ") + printableText(value) + QLatin1Char('\n');
    for (const RunFit& fit : stored.run.fits)
        text += fitLine(fit) + QLatin1Char('\n');
    return text;
}

int exportRun(const StoredRun& stored, const QString& path)
{
    WriteResult result;
    if (path.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive))
        result = saveRun(path, stored.run);
    else if (path.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive))
        result = exportRunCsv(stored.program, path, stored.run);
    else
        return fail(QStringLiteral("%1: the file name must end in .txt (Kestrel's data format) "
                                   "or .csv")
                        .arg(path),
                    2);
    if (!result.ok)
        return fail(result.message);
    return print(result.message + QLatin1Char('\n')) ? 0 : 1;
}

std::optional<qint64> runId(const QString& text)
{
    bool ok = false;
    const qint64 id = text.toLongLong(&ok);
    return ok && id > 0 ? std::optional<qint64>(id) : std::nullopt;
}

// --lab watch: a line for each run a bench publishes, until the connection is lost or
// whoever reads the lines closes the pipe to standard input.
int watch(LabStore& labStore)
{
    const QString where = labStore.uri().where;
    if (!labStore.listen(QCoreApplication::instance(),
                         [] { print(QStringLiteral("published\n")); }))
        return fail(QStringLiteral("the lab store at %1: %2").arg(where, labStore.lastError()));
    if (!print(QStringLiteral("listening\n")))
        return 1;
    int status = 0;
    // Asked every few seconds: a lost connection says nothing of itself.
    QTimer ask;
    QObject::connect(&ask, &QTimer::timeout, [&] {
        if (labStore.alive())
            return;
        status = fail(QStringLiteral("the lab store at %1: %2").arg(where, labStore.lastError()));
        QCoreApplication::exit(status);
    });
    ask.start(labWatchAskMs);
    struct stat in {
    };
    std::unique_ptr<QSocketNotifier> input;
    if (::fstat(STDIN_FILENO, &in) == 0 && S_ISFIFO(in.st_mode)) {
        input = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(input.get(), &QSocketNotifier::activated, [&input] {
            char bytes[256];
            if (::read(STDIN_FILENO, bytes, sizeof bytes) <= 0) {
                input->setEnabled(false);
                QCoreApplication::exit(0);
            }
        });
    }
    return QCoreApplication::exec();
}

// The lab store's commands: lab [set URI | bench NAME | check], publish, and --lab list,
// show or export.
int lab(const QStringList& args, bool reading, bool json, const QString& storePath)
{
    const QString command = args.value(0);
    std::unique_ptr<QSettings> settings = sharedSettings();
    if (command == QLatin1String("lab") && args.size() == 3 && args[1] == QLatin1String("bench")) {
        const QString name = args[2].trimmed();
        if (name.isEmpty() || name != printableText(name))
            return fail(QStringLiteral("a bench name is printable text, not empty"), 2);
        settings->setValue(QLatin1String(benchKey), name);
        settings->sync();
        return settings->status() == QSettings::NoError
                   ? (print(QStringLiteral("This bench is %1 in the lab.\n").arg(name)) ? 0 : 1)
                   : fail(QStringLiteral("the settings file %1 cannot be written")
                              .arg(settings->fileName()));
    }
    if (command == QLatin1String("lab") && args.size() == 3 && args[1] == QLatin1String("set")) {
        if (!args[2].isEmpty())
            if (const auto parsed = parseLabUri(args[2]); std::holds_alternative<QString>(parsed))
                return fail(
                    QStringLiteral("the lab store was not set: ") + std::get<QString>(parsed), 2);
        settings->setValue(QLatin1String(labUriKey), args[2]);
        settings->sync();
        if (settings->status() != QSettings::NoError)
            return fail(
                QStringLiteral("the settings file %1 cannot be written").arg(settings->fileName()));
        return print(args[2].isEmpty() ? QStringLiteral("No lab store is set.\n")
                                       : QStringLiteral("The lab store is %1.\n").arg(args[2]))
                   ? 0
                   : 1;
    }
    if (command == QLatin1String("lab") && args.size() == 1)
        return print(QStringLiteral("lab store: %1\nbench: %2\n")
                         .arg(printableText(withoutPassword(
                                  settings->value(QLatin1String(labUriKey)).toString())),
                              printableText(benchName())))
                   ? 0
                   : 1;
    const bool checking =
        command == QLatin1String("lab") && args.size() == 2 && args[1] == QLatin1String("check");
    const bool publishing = command == QLatin1String("publish") && args.size() == 1;
    const qsizetype operands = command == QLatin1String("list") || command == QLatin1String("watch")
                                   ? 1
                               : command == QLatin1String("show")   ? 2
                               : command == QLatin1String("export") ? 3
                                                                    : 0;
    if (!checking && !publishing && (!reading || args.size() != operands || operands == 0))
        return fail(QStringLiteral("expected lab, lab set URI, lab bench NAME, lab check, "
                                   "publish, or --lab list, watch, show UUID or export UUID FILE "
                                   "(see kestrel-runs --help)"),
                    2);
    if (json && command != QLatin1String("list"))
        return fail(QStringLiteral("--json belongs to --lab list"), 2);
    const auto configured = configuredLabUri();
    if (const QString* problem = std::get_if<QString>(&configured))
        return fail(
            QStringLiteral("the lab store set in %1: %2").arg(settings->fileName(), *problem));
    const LabUri& uri = std::get<LabUri>(configured);
    if (uri.uri.isEmpty())
        return fail(QStringLiteral("no lab store is set (kestrel-runs lab set URI)"));
    LabStore labStore(uri);
    if (checking) {
        if (const QString problem = labStore.open(); !problem.isEmpty())
            return fail(QStringLiteral("the lab store at %1: %2").arg(uri.where, problem));
        return print(QStringLiteral("The lab store at %1 is ready (schema version %2).\n")
                         .arg(uri.where)
                         .arg(LabStore::schemaVersion))
                   ? 0
                   : 1;
    }
    if (publishing) {
        RunDatabase local(storePath);
        if (const QString problem = local.open(); !problem.isEmpty())
            return fail(problem);
        local.markOrphans();
        const PublishResult result = labStore.publish(local);
        if (!result.problem.isEmpty())
            return fail(labWaitingLine(result, uri));
        return print(QStringLiteral("Published %1 to the lab store at %2.\n")
                         .arg(result.published == 1
                                  ? QStringLiteral("1 run")
                                  : QStringLiteral("%1 runs").arg(result.published),
                              uri.where))
                   ? 0
                   : 1;
    }
    if (command == QLatin1String("watch"))
        return watch(labStore);
    if (command == QLatin1String("list")) {
        const auto runs = labStore.list();
        if (!runs)
            return fail(
                QStringLiteral("the lab store at %1: %2").arg(uri.where, labStore.lastError()));
        if (json) {
            QByteArray lines;
            for (const LabRun& run : *runs)
                lines += labRunLine(run) + '\n';
            return print(QString::fromUtf8(lines)) ? 0 : 1;
        }
        QString text = QStringLiteral("%1  %2  %3  %4  %5  %6\n")
                           .arg(QStringLiteral("UUID"), -36)
                           .arg(QStringLiteral("BENCH"), -16)
                           .arg(QStringLiteral("STARTED"), -19)
                           .arg(QStringLiteral("OUTCOME"), -13)
                           .arg(QStringLiteral("POINTS"), 7)
                           .arg(QStringLiteral("NOTE"));
        for (const LabRun& run : *runs)
            text += QStringLiteral("%1  %2  %3  %4  %5  %6\n")
                        .arg(run.stored.uuid, -36)
                        .arg(printableText(run.stored.bench), -16)
                        .arg(when(run.stored.run.started), -19)
                        .arg(outcomeName(run.stored.run.outcome), -13)
                        .arg(run.stored.pointCount, 7)
                        .arg(printableText(run.stored.note));
        return print(text) ? 0 : 1;
    }
    const std::optional<LabRun> run = labStore.load(args[1]);
    if (!run)
        return fail(QStringLiteral("the lab store at %1: %2").arg(uri.where, labStore.lastError()));
    if (command == QLatin1String("show"))
        return print(QStringLiteral("uuid: %1\nbench: %2\npublished by: %3\n")
                         .arg(run->stored.uuid, printableText(run->stored.bench),
                              printableText(run->publishedBy)) +
                     description(run->stored))
                   ? 0
                   : 1;
    return exportRun(run->stored, args[2]);
}

int runs(int argc, char* argv[])
{
    // A file size limit fails the write, which says so, instead of killing the program.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.contains(QLatin1String("-h")) || args.contains(QLatin1String("--help")))
        return print(QString::fromUtf8(usage).arg(printableText(defaultStorePath()))) ? 0 : 1;
    if (args.contains(QLatin1String("-v")) || args.contains(QLatin1String("--version")))
        return print(QStringLiteral("kestrel-runs " KESTREL_VERSION "\n")) ? 0 : 1;
    QString storePath = defaultStorePath();
    if (const qsizetype at = args.indexOf(QLatin1String("--store")); at >= 0) {
        if (at + 1 >= args.size())
            return fail(QStringLiteral("--store needs a path (see kestrel-runs --help)"), 2);
        storePath = args[at + 1];
        args.remove(at, 2);
    }
    // The fit's options, wherever they stand after the command.
    QString fitValues[4];
    const char* fitFlags[4] = {"--model", "--from", "--to", "--temperature"};
    for (int i = 0; i < 4; ++i)
        if (const qsizetype at = args.indexOf(QLatin1String(fitFlags[i])); at >= 0) {
            if (at + 1 >= args.size())
                return fail(QStringLiteral("%1 needs a value (see kestrel-runs --help)")
                                .arg(QLatin1String(fitFlags[i])),
                            2);
            fitValues[i] = args[at + 1];
            args.remove(at, 2);
        }
    const bool shunt = args.removeAll(QLatin1String("--shunt")) > 0;
    const bool family = args.removeAll(QLatin1String("--family")) > 0;
    const bool reading = args.removeAll(QLatin1String("--lab")) > 0;
    const bool json = args.removeAll(QLatin1String("--json")) > 0;
    if (reading || args.value(0) == QLatin1String("lab") ||
        args.value(0) == QLatin1String("publish")) {
        if (shunt || std::any_of(std::begin(fitValues), std::end(fitValues),
                                 [](const QString& v) { return !v.isEmpty(); }))
            return fail(QStringLiteral("--model, --from, --to, --temperature and --shunt belong "
                                       "to analyze"),
                        2);
        return lab(args, reading, json, storePath);
    }
    if (json)
        return fail(QStringLiteral("--json belongs to --lab list"), 2);
    const bool fitting = shunt || std::any_of(std::begin(fitValues), std::end(fitValues),
                                              [](const QString& v) { return !v.isEmpty(); });
    const QString command = args.value(0);
    const qsizetype operands =
        command == QLatin1String("list")     ? 1
        : command == QLatin1String("export") ? 3
        : command == QLatin1String("show") || command == QLatin1String("import") ||
                command == QLatin1String("delete") || command == QLatin1String("analyze")
            ? 2
            : 0;
    if (operands == 0 || args.size() != operands)
        return fail(QStringLiteral("expected list, show ID, export [--family] ID FILE, import "
                                   "FILE, delete ID or analyze ID --model MODEL (see "
                                   "kestrel-runs --help)"),
                    2);
    if (fitting && command != QLatin1String("analyze"))
        return fail(QStringLiteral("--model, --from, --to, --temperature and --shunt belong to "
                                   "analyze, not %1")
                        .arg(command),
                    2);
    if (family && command != QLatin1String("export"))
        return fail(QStringLiteral("--family belongs to export, not %1").arg(command), 2);
    if (command == QLatin1String("analyze") && fitValues[0].isEmpty())
        return fail(QStringLiteral("analyze needs --model linear, diode or solar"), 2);
    std::optional<FitRequest> request;
    if (fitting) {
        auto parsed =
            parseFitRequest(fitValues[0], fitValues[1], fitValues[2], fitValues[3], shunt);
        if (const QString* problem = std::get_if<QString>(&parsed))
            return fail(*problem, 2);
        request = std::get<FitRequest>(parsed);
    }
    const std::optional<qint64> id = runId(args.value(1));
    if (command != QLatin1String("list") && command != QLatin1String("import") && !id)
        return fail(QStringLiteral("a run id is a whole number from 1, not '%1'").arg(args[1]), 2);

    RunDatabase store(storePath);
    // What changes the store reads every page first: nothing goes into a malformed file.
    const bool changes = command == QLatin1String("import") || command == QLatin1String("delete") ||
                         command == QLatin1String("analyze");
    if (const QString problem =
            store.open(changes ? RunDatabase::Pages::Checked : RunDatabase::Pages::Unchecked);
        !problem.isEmpty())
        return fail(problem);
    // A run whose program has ended is not shown as running.
    store.markOrphans();

    if (command == QLatin1String("list")) {
        const std::vector<StoredRun> runs = store.list();
        if (!store.lastError().isEmpty())
            return fail(store.lastError());
        return print(listing(runs)) ? 0 : 1;
    }
    if (command == QLatin1String("import")) {
        const auto imported =
            importRunFile(store, args[1], QStringLiteral("kestrel-runs " KESTREL_VERSION));
        if (const QString* problem = std::get_if<QString>(&imported))
            return fail(*problem);
        const qint64 newId = std::get<qint64>(imported);
        return print(QStringLiteral("%1\n").arg(newId)) ? 0 : 1;
    }
    if (command == QLatin1String("delete")) {
        if (!store.remove(*id))
            return fail(store.lastError());
        return print(QStringLiteral("Deleted run %1.\n").arg(*id)) ? 0 : 1;
    }
    if (family) {
        if (!args[2].endsWith(QLatin1String(".csv"), Qt::CaseInsensitive))
            return fail(QStringLiteral("%1: a family is written as CSV: the file name must end "
                                       "in .csv")
                            .arg(args[2]),
                        2);
        const WriteResult result = exportStoredFamily(store, *id, args[2]);
        if (!result.ok)
            return fail(result.message);
        return print(result.message + QLatin1Char('\n')) ? 0 : 1;
    }
    const std::optional<StoredRun> stored = store.load(*id);
    if (!stored)
        return fail(store.lastError());
    if (command == QLatin1String("show"))
        return print(description(*stored)) ? 0 : 1;
    if (request) {
        const analysis::FitResult result = analysis::fit(stored->run.points, fitOptions(*request));
        if (!result.ok())
            return fail(
                QStringLiteral("run %1: %2").arg(*id).arg(QString::fromStdString(result.failure)));
        if (!store.addFit(*id, runFit(*request, result)))
            return fail(QStringLiteral("the fit of run %1 was not kept: %2")
                            .arg(*id)
                            .arg(store.lastError()));
        return print(QString::fromStdString(analysis::describe(result))) ? 0 : 1;
    }

    return exportRun(*stored, args[2]);
}

} // namespace

int main(int argc, char* argv[])
{
    // Nothing is meant to throw; should memory run out, the program says so and ends
    // with a status of its own. The store's transactions leave it whole.
    try {
        return runs(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kestrel-runs: ended by an internal error: %s\n", error.what());
    }
    return 70;
}
