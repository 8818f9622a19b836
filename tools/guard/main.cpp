// kestrel-guard: switches the source off when the program that started it ends during a
// sweep. Started by Kestrel and kestrel-sweep at Run, never by hand:
//   kestrel-guard --home DIR --source ADDRESS:PORT --owner PID:START [--store PATH]
// It reads its owner's word on standard input, one per line: "on" (the output may be
// on from now), "off" (it is off again), "done" (end without acting). At end of file
// while armed, the owner has ended: it sends :OUTP1 OFF through DIR/sendArbcmd.sh, as
// the sweep does, records what happened in the run store, and ends.

#include "controller/scpidrivers.h"
#include "link/instrumentlink.h"
#include "store/rundatabase.h"

#include <QCoreApplication>
#include <QTime>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

using namespace kestrel;

namespace
{

struct Arguments {
    QString home, store;
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

// Reads the owner's word to the end; true when it left the output possibly on.
bool ownerLeftTheOutputOn()
{
    bool armed = false;
    std::string pending;
    char buffer[256];
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return armed;
        pending.append(buffer, std::size_t(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const std::string word = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (word == "on")
                armed = true;
            else if (word == "off")
                armed = false;
            else if (word == "done")
                return false;
        }
    }
}

} // namespace

int main(int argc, char* argv[])
{
    // A terminal closing or a Ctrl-C meant for the owner is not meant for the guard.
    std::signal(SIGHUP, SIG_IGN);
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    Arguments args;
    if (!parse(app.arguments(), args)) {
        std::fputs("kestrel-guard: started by Kestrel only, with --home DIR --source "
                   "ADDRESS:PORT --owner PID:START [--store PATH]\n",
                   stderr);
        return 2;
    }
    if (!ownerLeftTheOutputOn())
        return 0;

    ScriptLink link(args.home + QLatin1Char('/'));
    const CancelSignal cancel;
    const Step off = SourceDriver(link, args.source, cancel).switchOff();
    const QString text =
        off.ok ? QStringLiteral("The guard switched the source off at %1.")
                     .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")))
               : QStringLiteral("The guard could not switch the source off: ") + off.message;
    if (!args.store.isEmpty()) {
        RunDatabase store(args.store);
        if (store.open().isEmpty())
            store.recordGuard(args.owner, off.ok, text);
    }
    return off.ok ? 0 : 1;
}
