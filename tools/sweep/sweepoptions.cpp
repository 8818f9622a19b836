#include "sweepoptions.h"
#include "controller/sweepengine.h"
#include "data/currentranges.h"
#include "data/datafile.h"
#include "data/levellist.h"
#include "data/numbertext.h"
#include "data/printabletext.h"
#include "data/sweepplan.h"
#include "link/homedirectory.h"
#include "store/rundatabase.h"

#include <QCommandLineParser>

#include <array>

namespace kestrel
{

namespace
{

const QString usageText =
    QStringLiteral(R"(Usage: kestrel-sweep --source ADDRESS:PORT --meter ADDRESS:PORT
                     (--start V --stop V --steps N | --levels FILE |
                      --hold V [--duration S]) [options]

Runs one I-V sweep without a window, exactly as the Kestrel window does: both
instruments identified, set-up, one point every 0.1 s (longer with a settle
time), each setting confirmed through the instrument's error queue, the source
output switched off at the end.
Every point goes into the run store as it is measured (see kestrel-runs), and a
guard process switches the source off should this program be killed mid-sweep.
Every command goes through ~/sendArbcmd.sh. Each meter reply is printed on
standard output; messages go to standard error. The remembered endpoints are
never touched.

Options:
  --source ADDRESS:PORT  the DC source (the port is the text after the last ':')
  --meter ADDRESS:PORT   the current meter
  --start V              first level, volts
  --stop V               last level, volts
  --steps N              steps between start and stop, 1 to 1,000,000
  --shape SHAPE          linear (default), dual (there and back) or log
  --levels FILE          the levels, in the file's order, instead of --start,
                         --stop and --steps: one number per line (volts), or
                         the levels of a Kestrel data file or CSV; at most
                         100,000. A line that is no number is named, and
                         nothing is sent
  --hold V               hold one level instead of sweeping: set and confirmed
                         once, then the meter read every tick (0.1 s, longer
                         with a settle time); the CSV gives each point's time
                         (time_s)
  --duration S           how long to hold, seconds (up to 100,000); without
                         it the hold runs until SIGINT (Ctrl-C) or SIGTERM,
                         which switch the output off as always
  --cycles K             sweep the levels K times over (1 to 1,000), each cycle
                         from the first level again: a dual sweep's loop K
                         times; the CSV tells each point's cycle
  --readings N           read the meter N times at each level (1 to 100): the
                         point is their mean, and their standard deviation is
                         kept with it (the CSV's column current_sd_A)
  --step-source ADDRESS:PORT
                         trace a family of curves: a second source (a
                         transistor's gate, say) is set to each of its levels,
                         confirmed and settled, and the whole sweep runs at
                         each; each curve is a run of its own. It is switched
                         off at the end, by Ctrl-C and at every failure, and
                         guarded as the source is
  --step-start V, --step-stop V, --step-steps N
                         the step source's levels, linear
  --step-levels FILE     the step source's levels from a file instead
  --step-profile NAME    the step source's instrument profile (default: the
                         one its *IDN? answer matches)
  --step-compliance A    the step source's current limit (default: its
                         profile's safe limit)
  --range INDEX|auto     the meter's current range: an index into its
                         profile's list, or auto where it has auto-range; for
                         the default profile: %1
                         (default: auto where the meter's profile has it,
                         else 0)
  --limit A              end the sweep when |current| exceeds A amps
  --settle-ms N          wait N milliseconds (0 to 60000, default 0) after each
                         level is confirmed before measuring; the points come
                         as often as the wait and the commands allow, on a
                         0.1 s grid
  --rate RATE            the meter's reading rate: fast (noisiest), medium
                         (default) or slow (quietest), where its profile has
                         named rates
  --nplc N               the meter's integration time in power-line cycles,
                         where its profile has one (the values it accepts are
                         in the profile; a value it does not accept is refused)
  --source-profile NAME  the source's instrument profile (default: the one
                         whose identity pattern matches its *IDN? answer, else
                         "default")
  --meter-profile NAME   the meter's instrument profile (the same way)
  --compliance A         the current limit set on the source before its output
                         goes on, and confirmed (default: its profile's safe
                         limit); a point at the limit is kept, marked, and
                         ends the sweep (exit status 3)
  --continue-at-compliance
                         go on after a point at the compliance
  --list-profiles        print each instrument profile's name, roles and
                         description, and the files that could not be read
  --out FILE             write the data in Kestrel's data format at the end,
                         also when the sweep fails (with the points it has; a
                         sweep without points writes nothing); a family writes
                         one file per curve, its step level in the name
                         (iv.txt: iv-step-1.5V.txt)
  --csv FILE             write the data as CSV with a descriptive header; a
                         family's curves go into one file, its first column
                         step_V
  --png FILE             write the chart as a picture (.png or .svg)
  --analyze MODEL        fit the sweep's points at the end and print one
                         "name = value ± error unit" line per result on
                         standard output, after the readings: linear (R,
                         offset, r2), diode (Is, n, Rs; Rsh with --shunt) or
                         solar (Isc, Voc, Pmax, Vmp, Imp, FF, Iph, I0, n, Rs,
                         Rsh); the fit is kept with the run and written in the
                         CSV header
  --temperature C        the device's temperature for --analyze, degrees
                         Celsius (default 25)
  --shunt                with --analyze diode: also fit a shunt resistance
  --store PATH           keep the run in this store instead of the usual one
                         ($XDG_DATA_HOME/kestrel/runs.sqlite, the window's;
                         here: %2)
  --no-store             keep the run in no store
                         With a lab store set (kestrel-runs lab set URI), the
                         sweep's end publishes every ended run it lacks; when
                         the server is away they wait for the next time and
                         one line on standard error says so (connecting waits
                         5 s at most, each statement 15 s, and no run is begun
                         after 10 s: kestrel-runs publish sends the rest)
  --home DIR             the folder holding sendArbcmd.sh (default: your home)
  -h, --help             show this help
  -v, --version          show the version

Example:
  kestrel-sweep --source 127.0.0.2:5555 --meter 127.0.0.3:5555 \
                --start -1 --stop 1 --steps 40 --out iv.txt

Exit status:
  0    the sweep completed
  1    the sweep ended early: an instrument that did not answer like one, a
       refused setting, a failed measurement, an overload, a standard output
       that cannot be written, or a file not written (the source output was
       switched off)
  2    bad arguments or a file that could not be written: nothing was sent
  3    the current limit or the source's compliance was reached (the source
       output was switched off)
  4    switching the source output off failed: it may still be on
  5    the sweep completed but the fit of --analyze gave no result
  130  interrupted by SIGINT (Ctrl-C), SIGTERM or SIGHUP (the source output
       was switched off)
)");

// The step source's options, into options; what is wrong with them, or empty.
QString stepOptions(const QCommandLineParser& parser,
                    const std::array<const QCommandLineOption*, 7>& step,
                    const ProfileCatalog& catalog, SweepOptions& options)
{
    const auto& [source, start, stop, steps, levels, profile, compliance] = step;
    const auto name = [](const QCommandLineOption* option) -> QString {
        return QLatin1String("--") + option->names().constFirst();
    };
    if (!parser.isSet(*source)) {
        for (const QCommandLineOption* option : step)
            if (parser.isSet(*option))
                return QStringLiteral("%1 belongs to a family: give --step-source too")
                    .arg(name(option));
        return QString();
    }
    options.stepSource = parseEndpoint(parser.value(*source));
    if (!options.stepSource)
        return QStringLiteral("--step-source must be ADDRESS:PORT, not '%1'")
            .arg(parser.value(*source));
    // Another output of the source's supply needs a profile naming that output.
    if ((*options.stepSource == options.sweep.source && !parser.isSet(*profile)) ||
        (*options.stepSource == options.sweep.meter && options.sweep.meter != options.sweep.source))
        return QStringLiteral("--step-source must be a second source, not the source or the "
                              "meter, or another output of the source's supply with "
                              "--step-profile naming it");
    if (parser.isSet(*levels)) {
        for (const QCommandLineOption* option : {start, stop, steps})
            if (parser.isSet(*option))
                return QStringLiteral("--step-levels gives every step level: leave out %1")
                    .arg(name(option));
        auto list = readLevelFile(parser.value(*levels));
        if (const QString* problem = std::get_if<QString>(&list))
            return QStringLiteral("--step-levels: ") + *problem;
        options.stepPlan = makeListPlan(std::move(std::get<std::vector<double>>(list)));
    } else {
        for (const QCommandLineOption* option : {start, stop, steps})
            if (!parser.isSet(*option))
                return QStringLiteral("%1 is required with --step-source (or --step-levels)")
                    .arg(name(option));
        const auto plan = makeSweepPlan(SweepFields{parser.value(*start), parser.value(*stop),
                                                    parser.value(*steps), SweepShape::Linear});
        if (const QString* problem = std::get_if<QString>(&plan))
            return QStringLiteral("Step levels: ") + *problem;
        options.stepPlan = std::get<SweepPlan>(plan);
    }
    if (parser.isSet(*profile)) {
        const auto found =
            profileForRole(catalog, parser.value(*profile), QStringLiteral("source"));
        if (const QString* problem = std::get_if<QString>(&found))
            return *problem;
        options.stepCommands = std::get<ProfilePtr>(found);
    }
    if (parser.isSet(*compliance)) {
        const auto amps = parseCurrentLimit(parser.value(*compliance));
        const auto* value = std::get_if<std::optional<double>>(&amps);
        if (!value || !*value)
            return QStringLiteral("--step-compliance must be a positive number of amps, not '%1'")
                .arg(parser.value(*compliance));
        options.stepComplianceAmps = *value;
    }
    return QString();
}

QString rangeList()
{
    QStringList entries;
    const auto& ranges = currentRanges();
    for (std::size_t i = 0; i < ranges.size(); ++i)
        entries << QStringLiteral("%1 = %2").arg(i).arg(ranges[i].label);
    return entries.join(QStringLiteral(", "));
}

// The problem may quote what was typed, a path or a value, as it came: shown printable.
SweepExit badArguments(const QString& problem)
{
    return SweepExit{QStringLiteral("kestrel-sweep: %1\nTry 'kestrel-sweep --help'.\n")
                         .arg(printableText(problem)),
                     2};
}

} // namespace

QString profileListText(const ProfileCatalog& catalog)
{
    // Columns of blanks: whatever a file says is shown printable, one line each.
    qsizetype width = 0;
    for (const ProfilePtr& profile : catalog.profiles)
        width = std::max(width, profile->name.size());
    QString text;
    for (const ProfilePtr& profile : catalog.profiles)
        text += printableText(QStringLiteral("%1  %2  %3")
                                  .arg(profile->name, -int(width))
                                  .arg(profile->roleNames().join(QLatin1Char('+')), -12)
                                  .arg(profile->description)) +
                QLatin1Char('\n');
    for (const ProfileError& error : catalog.errors)
        text += printableText(QStringLiteral("not usable: %1").arg(error.text())) +
                QLatin1Char('\n');
    return text;
}

std::optional<Endpoint> parseEndpoint(const QString& text)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0 || colon == text.size() - 1)
        return std::nullopt;
    return Endpoint{text.left(colon), text.mid(colon + 1)};
}

std::variant<SweepOptions, SweepExit> parseSweepOptions(const QStringList& arguments)
{
    QCommandLineParser parser;
    auto valued = [&](const QString& name) {
        QCommandLineOption option(name);
        option.setValueName(QStringLiteral("value"));
        parser.addOption(option);
        return option;
    };
    const auto source = valued(QStringLiteral("source"));
    const auto meter = valued(QStringLiteral("meter"));
    const auto start = valued(QStringLiteral("start"));
    const auto stop = valued(QStringLiteral("stop"));
    const auto steps = valued(QStringLiteral("steps"));
    const auto shape = valued(QStringLiteral("shape"));
    const auto levels = valued(QStringLiteral("levels"));
    const auto cycles = valued(QStringLiteral("cycles"));
    const auto hold = valued(QStringLiteral("hold"));
    const auto duration = valued(QStringLiteral("duration"));
    const auto readings = valued(QStringLiteral("readings"));
    const auto range = valued(QStringLiteral("range"));
    const auto limit = valued(QStringLiteral("limit"));
    const auto settle = valued(QStringLiteral("settle-ms"));
    const auto rate = valued(QStringLiteral("rate"));
    const auto out = valued(QStringLiteral("out"));
    const auto csv = valued(QStringLiteral("csv"));
    const auto png = valued(QStringLiteral("png"));
    const auto home = valued(QStringLiteral("home"));
    const auto store = valued(QStringLiteral("store"));
    const auto analyze = valued(QStringLiteral("analyze"));
    const auto temperature = valued(QStringLiteral("temperature"));
    const auto nplc = valued(QStringLiteral("nplc"));
    const auto sourceProfile = valued(QStringLiteral("source-profile"));
    const auto meterProfile = valued(QStringLiteral("meter-profile"));
    const auto compliance = valued(QStringLiteral("compliance"));
    const auto stepSource = valued(QStringLiteral("step-source"));
    const auto stepStart = valued(QStringLiteral("step-start"));
    const auto stepStop = valued(QStringLiteral("step-stop"));
    const auto stepSteps = valued(QStringLiteral("step-steps"));
    const auto stepLevels = valued(QStringLiteral("step-levels"));
    const auto stepProfile = valued(QStringLiteral("step-profile"));
    const auto stepCompliance = valued(QStringLiteral("step-compliance"));
    const QCommandLineOption continueAtCompliance(QStringLiteral("continue-at-compliance"));
    parser.addOption(continueAtCompliance);
    const QCommandLineOption listProfiles(QStringLiteral("list-profiles"));
    parser.addOption(listProfiles);
    const QCommandLineOption shunt(QStringLiteral("shunt"));
    parser.addOption(shunt);
    const QCommandLineOption noStore(QStringLiteral("no-store"));
    parser.addOption(noStore);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    parser.addOption(help);
    parser.addOption(version);

    if (!parser.parse(arguments))
        return badArguments(parser.errorText());
    if (parser.isSet(help))
        return SweepExit{usageText.arg(rangeList(), printableText(defaultStorePath())), 0};
    if (parser.isSet(version))
        return SweepExit{QStringLiteral("kestrel-sweep " KESTREL_VERSION "\n"), 0};
    if (!parser.positionalArguments().isEmpty())
        return badArguments(QStringLiteral("unexpected argument '%1'")
                                .arg(parser.positionalArguments().constFirst()));
    const ProfileCatalog catalog = loadProfiles();
    if (parser.isSet(listProfiles))
        return SweepExit{profileListText(catalog), catalog.errors.empty() ? 0 : 1};
    const bool listed = parser.isSet(levels);
    const bool held = parser.isSet(hold);
    for (const auto* option : {&start, &stop, &steps, &shape})
        if (listed && parser.isSet(*option))
            return badArguments(QStringLiteral("--levels gives every level: leave out --%1")
                                    .arg(option->names().constFirst()));
    for (const auto* option : {&stepSource, &start, &stop, &steps, &shape, &levels, &cycles})
        if (held && parser.isSet(*option))
            return badArguments(QStringLiteral("--hold reads one level: leave out --%1")
                                    .arg(option->names().constFirst()));
    if (parser.isSet(duration) && !held)
        return badArguments(QStringLiteral("--duration belongs to --hold"));
    for (const auto* required : {&source, &meter, &start, &stop, &steps})
        if (!parser.isSet(*required) &&
            !((listed || held) && required != &source && required != &meter))
            return badArguments(
                QStringLiteral("--%1 is required").arg(required->names().constFirst()));

    SweepOptions options;
    const auto sourceEndpoint = parseEndpoint(parser.value(source));
    if (!sourceEndpoint)
        return badArguments(
            QStringLiteral("--source must be ADDRESS:PORT, not '%1'").arg(parser.value(source)));
    const auto meterEndpoint = parseEndpoint(parser.value(meter));
    if (!meterEndpoint)
        return badArguments(
            QStringLiteral("--meter must be ADDRESS:PORT, not '%1'").arg(parser.value(meter)));
    options.sweep.source = *sourceEndpoint;
    options.sweep.meter = *meterEndpoint;

    if (held) {
        // Empty would hold until stopped, which is leaving --duration out.
        if (parser.isSet(duration) && parser.value(duration).trimmed().isEmpty())
            return badArguments(QStringLiteral("--duration needs a number of seconds; leave it "
                                               "out to hold until stopped"));
        const auto plan = makeHoldPlan(parser.value(hold), parser.value(duration));
        if (const QString* problem = std::get_if<QString>(&plan))
            return badArguments(QStringLiteral("--%1: %2")
                                    .arg(problem->startsWith(QLatin1String("Level"))
                                             ? QStringLiteral("hold")
                                             : QStringLiteral("duration"),
                                         *problem));
        options.sweep.plan = std::get<SweepPlan>(plan);
    } else if (listed) {
        auto list = readLevelFile(parser.value(levels));
        if (const QString* problem = std::get_if<QString>(&list))
            return badArguments(*problem);
        const auto plan = withCycles(makeListPlan(std::move(std::get<std::vector<double>>(list))),
                                     parser.value(cycles));
        if (const QString* problem = std::get_if<QString>(&plan))
            return badArguments(*problem);
        options.sweep.plan = std::get<SweepPlan>(plan);
    } else {
        const auto sweepShape = shapeFromName(
            parser.value(shape).isEmpty() ? QStringLiteral("linear") : parser.value(shape));
        if (!sweepShape || *sweepShape == SweepShape::List)
            return badArguments(QStringLiteral("--shape must be linear, dual or log, not '%1'")
                                    .arg(parser.value(shape)));
        const auto plan = makeSweepPlan(SweepFields{
            parser.value(start), parser.value(stop), parser.value(steps), *sweepShape, {},
            parser.value(cycles)});
        if (const QString* problem = std::get_if<QString>(&plan))
            return badArguments(*problem);
        options.sweep.plan = std::get<SweepPlan>(plan);
    }

    if (const auto family = stepOptions(parser,
                                        {&stepSource, &stepStart, &stepStop, &stepSteps,
                                         &stepLevels, &stepProfile, &stepCompliance},
                                        catalog, options);
        !family.isEmpty())
        return badArguments(family);

    const auto perPoint = parseReadings(parser.value(readings));
    if (const QString* problem = std::get_if<QString>(&perPoint))
        return badArguments(*problem);
    options.sweep.readings = std::get<int>(perPoint);

    for (const auto& [option, role, name] :
         {std::tuple{&sourceProfile, QStringLiteral("source"), &options.sweep.sourceProfile},
          std::tuple{&meterProfile, QStringLiteral("meter"), &options.sweep.meterProfile}}) {
        if (!parser.isSet(*option))
            continue;
        const auto found = profileForRole(catalog, parser.value(*option), role);
        if (const QString* problem = std::get_if<QString>(&found))
            return badArguments(*problem);
        *name = parser.value(*option);
        (role == QLatin1String("source") ? options.sweep.sourceCommands
                                         : options.sweep.meterCommands) =
            std::get<ProfilePtr>(found);
    }
    options.rangeGiven = parser.isSet(range);
    if (parser.isSet(range)) {
        bool ok = false;
        options.sweep.rangeIndex = parser.value(range).toInt(&ok);
        if (parser.value(range) == QLatin1String("auto"))
            options.sweep.rangeIndex = autoRangeIndex;
        else if (!ok || options.sweep.rangeIndex < 0)
            return badArguments(QStringLiteral("--range must be auto or an index into the meter "
                                               "profile's ranges (default profile: %1)")
                                    .arg(rangeList()));
    }
    if (parser.isSet(nplc)) {
        const QByteArray text = parser.value(nplc).toUtf8();
        const auto value =
            parseNumber(std::string_view(text.constData(), std::size_t(text.size())));
        if (!value || *value <= 0)
            return badArguments(QStringLiteral("--nplc must be a positive number, not '%1'")
                                    .arg(parser.value(nplc)));
        options.sweep.nplc = value;
    }
    if (parser.isSet(compliance)) {
        const auto amps = parseCurrentLimit(parser.value(compliance));
        if (const QString* problem = std::get_if<QString>(&amps);
            problem || !std::get<std::optional<double>>(amps))
            return badArguments(QStringLiteral("--compliance must be a positive number of amps, "
                                               "not '%1'")
                                    .arg(parser.value(compliance)));
        options.sweep.complianceAmps = std::get<std::optional<double>>(amps);
    }
    options.sweep.continueAtCompliance = parser.isSet(continueAtCompliance);
    // What the named profiles cannot do is refused before anything is sent; profiles
    // found by identification are checked when the sweep starts.
    if (options.sweep.sourceCommands && options.sweep.meterCommands)
        if (const QString problem = sweepProfileProblem(
                options.sweep, *options.sweep.sourceCommands, *options.sweep.meterCommands);
            !problem.isEmpty())
            return badArguments(problem);
    const auto limitAmps = parseCurrentLimit(parser.value(limit));
    if (const QString* problem = std::get_if<QString>(&limitAmps))
        return badArguments(*problem);
    options.sweep.limitAmps = std::get<std::optional<double>>(limitAmps);
    if (parser.isSet(settle)) {
        const auto settleMs = parseSettleMs(parser.value(settle));
        if (std::holds_alternative<QString>(settleMs))
            return badArguments(
                QStringLiteral("--settle-ms must be a whole number of milliseconds from 0 to "
                               "%1, not '%2'")
                    .arg(maxSettleMs)
                    .arg(parser.value(settle)));
        options.sweep.settleMs = std::get<int>(settleMs);
    }
    if (parser.isSet(rate)) {
        const auto meterRate = rateFromName(parser.value(rate));
        if (!meterRate)
            return badArguments(QStringLiteral("--rate must be fast, medium or slow, not '%1'")
                                    .arg(parser.value(rate)));
        options.sweep.meterRate = *meterRate;
    }

    if (parser.isSet(analyze) && held)
        return badArguments(QStringLiteral("--analyze fits an I-V curve: a --hold has one level, "
                                           "read against time"));
    if (parser.isSet(analyze)) {
        auto request = parseFitRequest(parser.value(analyze), QString(), QString(),
                                       parser.value(temperature), parser.isSet(shunt));
        if (QString* problem = std::get_if<QString>(&request))
            return badArguments(
                problem->replace(QLatin1String("--model"), QLatin1String("--analyze")));
        options.analyze = std::get<FitRequest>(request);
    } else if (parser.isSet(temperature) || parser.isSet(shunt)) {
        return badArguments(QStringLiteral("--temperature and --shunt belong to --analyze"));
    }

    if (options.stepSource && (options.analyze || parser.isSet(png)))
        return badArguments(QStringLiteral(
            "--analyze and --png take one curve: leave them out of "
            "a family: kestrel-runs analyze fits each curve, the window draws the family"));

    options.home = parser.isSet(home) ? parser.value(home) : homeDirectory();
    options.outPath = parser.value(out);
    options.csvPath = parser.value(csv);
    options.pngPath = parser.value(png);
    if (parser.isSet(store) && parser.isSet(noStore))
        return badArguments(QStringLiteral("--store and --no-store exclude each other"));
    options.storePath = parser.isSet(noStore) ? QString()
                        : parser.isSet(store) ? parser.value(store)
                                              : defaultStorePath();
    if (!options.pngPath.isEmpty() &&
        !options.pngPath.endsWith(QLatin1String(".png"), Qt::CaseInsensitive) &&
        !options.pngPath.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive))
        return badArguments(QStringLiteral("--png needs a file name ending in .png or .svg"));
    // A file that cannot be written is found now, not after the whole sweep; an empty
    // name would otherwise pass as no option at all.
    for (const auto& [option, path] :
         {std::pair{&out, options.outPath}, std::pair{&csv, options.csvPath},
          std::pair{&png, options.pngPath}}) {
        const QString name = QLatin1String("--") + option->names().constFirst();
        if (parser.isSet(*option) && path.isEmpty())
            return badArguments(name + QLatin1String(" needs a file name"));
        if (!path.isEmpty())
            if (const QString problem = checkSaveTarget(path); !problem.isEmpty())
                return badArguments(QStringLiteral("%1 %2: %3").arg(name, path, problem));
    }
    return options;
}

} // namespace kestrel
