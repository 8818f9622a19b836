#include "labsweeps.h"

#include "benchsupport.h"
#include "controller/sweepengine.h"
#include "simprocess/simprocess.h"
#include "store/labstore.h"
#include "store/rundatabase.h"
#include "timing.h"

#include <QDir>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>
#include <array>
#include <cmath>
#include <variant>

namespace kestrel::bench
{

namespace
{

// A setting's mean interval between points may differ from no lab store's by this.
constexpr double targetShare = 0.02;
// The lab's part of a sweep's end may pass its limit by this share: libpq's wait itself
// is exact to a few milliseconds, and the local store is read and closed around it.
constexpr double endAllowance = 0.01;

void printError(const QString& text)
{
    bench::printError("lab", text);
}

struct Setting {
    QString name;
    QString uri;       // lab/uri; empty: none set
    int endLimitMs;    // what the lab store may add to the sweep's end
    bool publishes;    // whether the run reaches the lab store
    QString limitText; // where endLimitMs comes from
};

struct Sweep {
    double meanMs = 0;    // between consecutive points, from the run store's points.ms
    double longestMs = 0; // likewise
    double endMs = 0;     // the last meter reply on standard output -> the process's exit
    QString labLine;      // kestrel-sweep's "Lab store: ..." line, if it wrote one
    QString uuid;         // the run's
};

// One kestrel-sweep of that many points, lab/uri set to uri (or to nothing) in settings
// of its own, its run in a store of its own. Standard output (one line per meter reply)
// is timestamped as it comes, which gives the time from the last point to the exit.
std::variant<Sweep, QString> sweepOnce(const SimProcess& sim, const QString& home,
                                       const QString& uri, int points)
{
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("config"));
    const QString data = dir.filePath(QStringLiteral("data"));
    if (!dir.isValid() || !QDir().mkpath(config + QStringLiteral("/Kestrel")) ||
        !QDir().mkpath(data))
        return QStringLiteral("cannot make a temporary folder for a sweep's settings");
    if (!uri.isEmpty()) {
        // QSettings' native format on Linux, where the tools look for it.
        QSettings settings(config + QStringLiteral("/Kestrel/Kestrel.conf"), QSettings::IniFormat);
        settings.setValue(QLatin1String(labUriKey), uri);
        settings.sync();
        if (settings.status() != QSettings::NoError)
            return QStringLiteral("cannot write the settings in %1").arg(config);
    }
    QProcess sweep;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    environment.insert(QStringLiteral("XDG_DATA_HOME"), data);
    sweep.setProcessEnvironment(environment);
    QByteArray replies;
    Clock::time_point lastReply{}, exited{};
    bool ended = false;
    QObject::connect(&sweep, &QProcess::readyReadStandardOutput, &sweep, [&] {
        const QByteArray bytes = sweep.readAllStandardOutput();
        // A reply is printed with its own line end: blank lines come between.
        if (!bytes.trimmed().isEmpty())
            lastReply = Clock::now();
        replies += bytes;
    });
    QObject::connect(&sweep, &QProcess::finished, &sweep, [&] {
        exited = Clock::now();
        ended = true;
    });
    sweep.start(toolPath(QStringLiteral("sweep/kestrel-sweep")),
                {QStringLiteral("--source"),
                 sim.sourceAddress() + QLatin1Char(':') + QString::number(sim.sourcePort()),
                 QStringLiteral("--meter"),
                 sim.meterAddress() + QLatin1Char(':') + QString::number(sim.meterPort()),
                 QStringLiteral("--home"), home, QStringLiteral("--range"), QStringLiteral("2"),
                 QStringLiteral("--start"), QStringLiteral("0"), QStringLiteral("--stop"),
                 QStringLiteral("1"), QStringLiteral("--steps"), QString::number(points - 1)});
    if (!sweep.waitForStarted())
        return QStringLiteral("kestrel-sweep did not start: ") + sweep.errorString();
    // The sweep, and the lab store's every limit on its end besides.
    const int limitMs = points * SweepEngine::tickIntervalMs * 3 + 60000;
    if (!waitUntil([&] { return ended; }, limitMs)) {
        sweep.kill();
        sweep.waitForFinished();
        return QStringLiteral("kestrel-sweep did not end within %1 s").arg(limitMs / 1000);
    }
    const QString errors = QString::fromUtf8(sweep.readAllStandardError()).trimmed();
    int replyLines = 0;
    for (const QByteArray& line : replies.split('\n'))
        replyLines += line.trimmed().isEmpty() ? 0 : 1;
    if (sweep.exitStatus() != QProcess::NormalExit || sweep.exitCode() != 0 || replyLines != points)
        return QStringLiteral("kestrel-sweep ended with status %1 after %2 of %3 replies: %4")
            .arg(sweep.exitCode())
            .arg(replyLines)
            .arg(points)
            .arg(errors);
    Sweep result;
    result.endMs = std::chrono::duration<double, std::milli>(exited - lastReply).count();
    for (const QString& line : errors.split(QLatin1Char('\n')))
        if (line.contains(QLatin1String("Lab store:")))
            result.labLine = line;

    RunDatabase store(data + QStringLiteral("/kestrel/runs.sqlite"));
    if (const QString problem = store.open(); !problem.isEmpty())
        return QStringLiteral("the sweep's run store: ") + problem;
    const std::vector<StoredRun> runs = store.list();
    const std::vector<MeasuredPoint> measured =
        runs.size() == 1 ? store.measuredPoints(runs.front().id) : std::vector<MeasuredPoint>{};
    if (int(measured.size()) != points)
        return QStringLiteral("the sweep's run store holds %1 runs, and not the %2 points")
            .arg(runs.size())
            .arg(points);
    for (std::size_t i = 1; i < measured.size(); ++i)
        result.longestMs = std::max(result.longestMs, double(measured[i].ms - measured[i - 1].ms));
    result.meanMs = double(measured.back().ms - measured.front().ms) / double(points - 1);
    result.uuid = runs.front().uuid;
    return result;
}

double median(std::vector<double> values)
{
    return summarize(std::move(values)).median;
}

} // namespace

int runLabSweeps(LabStore& reachable, const QString& reachableName, int points, int rounds)
{
    const QString reachableUri = reachable.uri().uri;
    SimProcess sim;
    QString error;
    QTemporaryDir home;
    if (!startSimulator(sim, {}, &error)) {
        printError(error);
        return 1;
    }
    if (!home.isValid() || !installScript(home.path(), toolPath(QStringLiteral("kestrel-scpi")))) {
        printError(QStringLiteral("cannot install sendArbcmd.sh into a temporary home"));
        return 1;
    }
    // The unreachable stores take the reachable one's URI, role, database and options,
    // with another port of 127.0.0.1.
    const auto elsewhere = [&reachableUri](quint16 port) {
        QUrl url(reachableUri);
        url.setHost(QStringLiteral("127.0.0.1"));
        url.setPort(port);
        return url.toString();
    };
    quint16 refusingPort = 0;
    {
        QTcpServer probe; // a free port, closed again: nothing listens there
        if (!probe.listen(QHostAddress::LocalHost)) {
            printError(QStringLiteral("no free port on 127.0.0.1"));
            return 1;
        }
        refusingPort = probe.serverPort();
    }
    // Takes every connection and never answers: libpq waits for the server's first word
    // until its connect timeout.
    QTcpServer silent;
    int silentConnections = 0;
    if (!silent.listen(QHostAddress::LocalHost)) {
        printError(QStringLiteral("no free port on 127.0.0.1"));
        return 1;
    }
    QObject::connect(&silent, &QTcpServer::newConnection, &silent, [&] {
        while (QTcpSocket* socket = silent.nextPendingConnection()) {
            socket->setParent(&silent); // held open until the bench ends
            ++silentConnections;
        }
    });
    const int connectMs = labConnectTimeoutS * 1000;
    const QString connectText = QStringLiteral("libpq's connect timeout");
    const std::array<Setting, 4> settings{
        Setting{QStringLiteral("no lab store"), QString(), 0, false, QString()},
        Setting{QStringLiteral("reachable"), reachableUri, labPublishBudgetMs, true,
                QStringLiteral("publishing budget")},
        Setting{QStringLiteral("refusing"), elsewhere(refusingPort), connectMs, false, connectText},
        Setting{QStringLiteral("never answering"), elsewhere(silent.serverPort()), connectMs, false,
                connectText}};

    print(QStringLiteral("\nkestrel-sweep, %1 points at the %2 ms tick against kestrel-sim, %3 "
                         "rounds of:\n")
              .arg(points)
              .arg(SweepEngine::tickIntervalMs)
              .arg(rounds));
    print(QStringLiteral("  1. no lab store set\n  2. reachable: %1\n  3. refusing: %2 (nothing "
                         "listens)\n  4. never answering: %3 (takes the connection, says "
                         "nothing)\n")
              .arg(reachableName, settings[2].uri, settings[3].uri));
    print(machineLine());
    std::array<std::vector<Sweep>, 4> sweeps;
    for (int round = 1; round <= rounds; ++round)
        for (std::size_t s = 0; s < settings.size(); ++s) {
            const Setting& setting = settings[s];
            auto outcome = sweepOnce(sim, home.path(), setting.uri, points);
            if (const QString* problem = std::get_if<QString>(&outcome)) {
                printError(QStringLiteral("%1: %2").arg(setting.name, *problem));
                return 1;
            }
            const Sweep& sweep = std::get<Sweep>(outcome);
            print(QStringLiteral("  round %1, %2: mean %3 ms, longest %4 ms, end %5 ms%6\n")
                      .arg(round)
                      .arg(setting.name)
                      .arg(sweep.meanMs, 0, 'f', 3)
                      .arg(sweep.longestMs, 0, 'f', 0)
                      .arg(sweep.endMs, 0, 'f', 0)
                      .arg(sweep.labLine.isEmpty() ? QString()
                                                   : QStringLiteral("; ") + sweep.labLine));
            // The run is in the reachable store, and kestrel-sweep says nothing, or it is
            // not, and kestrel-sweep says it waits when a store is set.
            const bool arrived = reachable.load(sweep.uuid).has_value();
            if (arrived != setting.publishes ||
                sweep.labLine.isEmpty() != (setting.publishes || setting.uri.isEmpty())) {
                printError(QStringLiteral("%1: the run %2 in the reachable store, and "
                                          "kestrel-sweep said \"%3\"")
                               .arg(setting.name,
                                    arrived ? QStringLiteral("is") : QStringLiteral("is not"),
                                    sweep.labLine));
                return 1;
            }
            sweeps[s].push_back(sweep);
        }
    if (silentConnections == 0) {
        printError(QStringLiteral("nobody connected to the listener that never answers"));
        return 1;
    }

    const auto meanOf = [&sweeps](std::size_t s) {
        double sum = 0;
        for (const Sweep& sweep : sweeps[s])
            sum += sweep.meanMs;
        return sum / double(sweeps[s].size());
    };
    const double baseMs = meanOf(0);
    bool met = true;
    print(QStringLiteral("  %1 %2 %3 %4 %5 %6\n")
              .arg(QStringLiteral("lab store"), -16)
              .arg(QStringLiteral("mean"), 10)
              .arg(QStringLiteral("longest"), 8)
              .arg(QStringLiteral("mean/none"), 16)
              .arg(QStringLiteral("end: median, max"), 18)
              .arg(QStringLiteral("the lab's part of the end, max (limit)")));
    for (std::size_t s = 0; s < settings.size(); ++s) {
        std::vector<double> ends, added;
        double longest = 0;
        for (std::size_t r = 0; r < sweeps[s].size(); ++r) {
            ends.push_back(sweeps[s][r].endMs);
            added.push_back(sweeps[s][r].endMs - sweeps[0][r].endMs); // the same round's
            longest = std::max(longest, sweeps[s][r].longestMs);
        }
        const double ratio = meanOf(s) / baseMs;
        const double addedMs = *std::max_element(added.begin(), added.end());
        const bool paceMet = std::abs(ratio - 1) <= targetShare;
        const bool endMet = s == 0 || addedMs <= settings[s].endLimitMs * (1 + endAllowance);
        met = met && paceMet && endMet;
        print(QStringLiteral("  %1 %2 %3 %4 %5 %6\n")
                  .arg(settings[s].name, -16)
                  .arg(QStringLiteral("%1 ms").arg(meanOf(s), 0, 'f', 3), 10)
                  .arg(QStringLiteral("%1 ms").arg(longest, 0, 'f', 0), 8)
                  .arg(QStringLiteral("%1%2")
                           .arg(ratio, 0, 'f', 4)
                           .arg(paceMet ? QString() : QStringLiteral(" MISSED")),
                       16)
                  .arg(QStringLiteral("%1, %2 ms")
                           .arg(median(ends), 0, 'f', 0)
                           .arg(*std::max_element(ends.begin(), ends.end()), 0, 'f', 0),
                       18)
                  .arg(s == 0
                           ? QStringLiteral("-")
                           : QStringLiteral("%1 ms (%2 %3 ms: %4)")
                                 .arg(addedMs, 0, 'f', 0)
                                 .arg(settings[s].limitText)
                                 .arg(settings[s].endLimitMs)
                                 .arg(endMet ? QStringLiteral("met") : QStringLiteral("MISSED"))));
    }
    print(QStringLiteral("  targets: each mean within %1 % of no lab store's; the lab's part of "
                         "the end (the end less no lab store's in the same round) within its "
                         "limit and %2 %\n")
              .arg(targetShare * 100, 0, 'f', 0)
              .arg(endAllowance * 100, 0, 'f', 0));
    if (sim.stop() != 0)
        return 1;
    return met ? 0 : 3;
}

} // namespace kestrel::bench
