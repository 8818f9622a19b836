// kestrel-guard: switches the source off when the program that started it ends during a
// sweep. Started by Kestrel and kestrel-sweep at Run, never by hand:
//   kestrel-guard --home DIR --source ADDRESS:PORT --owner PID:START [--store PATH]
//                 [--profile FILE]
// It reads its owner's word on standard input, one per line: "on" (the output may be
// on from now), "off" (it is off again), "done" (end without acting), "run ID" (a run
// measured on the source), "points ID N" (N points of run ID measured so far), "cmd
// GROUP" and "end GROUP" (a command process group of the owner started, or was reaped).
// At end of file while armed, the owner has ended: it ends the owner's commands still
// running, switches the source off through DIR/sendArbcmd.sh as the sweep does (with the
// commands of the source's profile, :OUTP1 OFF by default), confirms it,
// records what happened in the runs, and ends. Armed or not, it records in each run how
// many of its measured points the store did not get.

#include "controller/scpidrivers.h"
#include "link/instrumentlink.h"
#include "store/rundatabase.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QThread>
#include <QTime>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <unistd.h>

using namespace kestrel;

namespace
{

struct Arguments {
    QString home, store, profile;
    bool stepSource = false; // --role step: a family's step source
    Endpoint source;
    ProcessId owner;
};

bool parse(const QStringList& args, Arguments& parsed)
{
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        const QString& name = args[i];
        const QString& value = args[i + 1];
        if (name == QLatin1String("--home")) {
            parsed.home = value;
        } else if (name == QLatin1String("--store")) {
            parsed.store = value;
        } else if (name == QLatin1String("--profile")) {
            parsed.profile = value;
        } else if (name == QLatin1String("--role")) {
            if (value != QLatin1String("step") && value != QLatin1String("source"))
                return false;
            parsed.stepSource = value == QLatin1String("step");
        } else if (name == QLatin1String("--source")) {
            const qsizetype colon = value.lastIndexOf(QLatin1Char(':'));
            parsed.source = Endpoint{value.left(colon), value.mid(colon + 1)};
        } else if (name == QLatin1String("--owner")) {
            parsed.owner = ProcessId{value.section(QLatin1Char(':'), 0, 0).toLongLong(),
                                     value.section(QLatin1Char(':'), 1).toLongLong()};
        } else {
            return false;
        }
    }
    return args.size() % 2 == 1 && !parsed.home.isEmpty() && !parsed.source.address.isEmpty() &&
           parsed.owner.pid > 0;
}

// What the owner said before it ended.
struct Word {
    bool armed = false;
    QList<qint64> runs;
    std::map<qint64, int> measured; // points measured, by run
    std::set<pid_t> commands;       // process groups of its commands not yet reaped
};

// Reads the owner's word to the end; false when it said "done".
bool readOwner(Word& word)
{
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return true;
        pending.append(buffer, std::size_t(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const QByteArray line = QByteArray::fromStdString(pending.substr(0, end));
            pending.erase(0, end + 1);
            const qsizetype blank = line.indexOf(' ');
            const QByteArray verb = line.left(blank);
            const qint64 number = blank < 0 ? 0 : line.mid(blank + 1).toLongLong();
            if (line == "on")
                word.armed = true;
            else if (line == "off")
                word.armed = false;
            else if (line == "done")
                return false;
            else if (verb == "run" && number > 0)
                word.runs << number;
            else if (verb == "points" && line.count(' ') == 2)
                word.measured[line.split(' ')[1].toLongLong()] = line.split(' ')[2].toInt();
            else if (verb == "cmd" && number > 1)
                word.commands.insert(pid_t(number));
            else if (verb == "end")
                word.commands.erase(pid_t(number));
        }
    }
}

// The process groups of every process the owner's commands started that is still there:
// those the owner named, and those of processes whose environment names the owner
// (started after it, so not an earlier program with the same id), wherever they went.
std::set<pid_t> commandGroups(const Word& word, const ProcessId& owner)
{
    std::set<pid_t> groups = word.commands;
    const QByteArray tag = QByteArray(commandOwnerVariable) + '=' + QByteArray::number(owner.pid);
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool number = false;
        const pid_t pid = pid_t(entry.toLongLong(&number));
        if (!number || pid == getpid())
            continue;
        QFile environment(QStringLiteral("/proc/%1/environ").arg(pid));
        if (!environment.open(QIODevice::ReadOnly) ||
            !environment.readAll().split('\0').contains(tag))
            continue;
        if (const auto stat = processStat(pid); stat && stat->started >= owner.started)
            groups.insert(pid_t(stat->group));
    }
    groups.erase(getpgrp());
    std::erase_if(groups, [](pid_t group) { return group <= 1; });
    return groups;
}

// True while a process of one of those groups still runs: a zombie sends nothing more,
// and who reaps it (the owner is gone) is not up to the guard.
bool anyStillRunning(const std::set<pid_t>& groups)
{
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number)
            continue;
        if (const auto stat = processStat(pid);
            stat && stat->state != 'Z' && groups.count(pid_t(stat->group)))
            return true;
    }
    return false;
}

// Ends those groups, so that no command of the owner reaches an instrument after the
// switch-off; waits up to a second for them to die.
void endCommands(const std::set<pid_t>& groups)
{
    for (const pid_t group : groups)
        killpg(group, SIGKILL);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!groups.empty() && anyStillRunning(groups) && std::chrono::steady_clock::now() < until)
        QThread::msleep(5);
}

} // namespace

int main(int argc, char* argv[])
{
    // A terminal closing or a Ctrl-C meant for the owner is not meant for the guard; a
    // full disk or a file size limit is a failed write, not the end.
    std::signal(SIGHUP, SIG_IGN);
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    Arguments args;
    if (!parse(app.arguments(), args)) {
        std::fputs("kestrel-guard: started by Kestrel only, with --home DIR --source "
                   "ADDRESS:PORT --owner PID:START [--store PATH] [--profile FILE] [--role step]\n",
                   stderr);
        return 2;
    }
    // The source's profile is read before anything else: a guard that could not switch
    // the source off its own way ends at once, and its owner knows.
    ProfilePtr profile;
    if (!args.profile.isEmpty()) {
        auto read = readProfile(args.profile);
        if (const auto* error = std::get_if<ProfileError>(&read)) {
            std::fprintf(stderr, "kestrel-guard: %s\n", qPrintable(error->text()));
            return 2;
        }
        profile = std::make_shared<const InstrumentProfile>(std::get<InstrumentProfile>(read));
    }
    Word word;
    if (!readOwner(word))
        return 0;
    // The owner is gone: another program holding the store meanwhile is waited for long.
    constexpr int storeWaitMs = 60000;
    const auto recordUnkept = [&](RunDatabase& store) {
        bool kept = true;
        for (const auto& [run, points] : word.measured)
            kept = store.recordUnkept(run, points) && kept;
        return kept;
    };
    if (!word.armed) {
        if (!word.measured.empty() && !args.store.isEmpty()) {
            RunDatabase store(args.store, storeWaitMs);
            if (!store.open().isEmpty() || !recordUnkept(store))
                std::fprintf(stderr, "kestrel-guard: %s\n", qPrintable(store.lastError()));
        }
        return 0;
    }

    endCommands(commandGroups(word, args.owner));
    ScriptLink link(args.home + QLatin1Char('/'));
    const CancelSignal cancel;
    // A switch-off that is not confirmed is tried again: a command of the owner already
    // on its way may have switched the output on behind the first.
    constexpr int attempts = 3;
    SwitchOff off;
    for (int attempt = 0; attempt < attempts && !off.off(); ++attempt) {
        if (attempt > 0)
            QThread::msleep(200);
        off = SourceDriver(link, args.source, profile, cancel).switchOff();
    }
    const QString which =
        args.stepSource ? QStringLiteral("the step source") : QStringLiteral("the source");
    const QString text =
        off.off() ? QStringLiteral("The guard switched %1 off at %2.")
                        .arg(which, QTime::currentTime().toString(QStringLiteral("HH:mm:ss")))
                  : QStringLiteral("The guard could not switch %1 off: %2").arg(which, off.message);
    if (!args.store.isEmpty()) {
        RunDatabase store(args.store, storeWaitMs);
        bool kept = store.open().isEmpty() && store.recordGuard(args.owner, args.source, word.runs,
                                                                off.off(), text, args.stepSource);
        // A write-ahead log that cannot grow (a full disk, a file size limit) may take
        // the record once its pages are back in the store and it starts again.
        if (!kept && store.checkpoint())
            kept = store.recordGuard(args.owner, args.source, word.runs, off.off(), text,
                                     args.stepSource);
        kept = kept && recordUnkept(store);
        if (!kept)
            std::fprintf(stderr, "kestrel-guard: %s\n", qPrintable(store.lastError()));
    }
    return off.off() ? 0 : 1;
}
