#include "chainbench.h"

#include "benchsupport.h"
#include "link/commandline.h"
#include "link/shellrunner.h"
#include "simprocess/simprocess.h"
#include "timing.h"

#include <QTemporaryDir>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kestrel::bench
{

namespace
{

constexpr char query[] = "*IDN?";

void printError(const QString& text)
{
    bench::printError("chain", text);
}

// A blocking loopback socket for the bare round trips.
class Connection
{
  public:
    Connection(const QString& address, quint16 port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        inet_pton(AF_INET, address.toLatin1().constData(), &to.sin_addr);
        const timeval limit{5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        const int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Connection()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Sends the query and reads one reply line.
    QByteArray ask(const QByteArray& command)
    {
        const QByteArray line = command + '\n';
        if (fd_ < 0 || send(fd_, line.constData(), std::size_t(line.size()), MSG_NOSIGNAL) < 0)
            return {};
        QByteArray reply;
        char chunk[512];
        while (!reply.contains('\n')) {
            const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0)
                return {};
            reply.append(chunk, n);
        }
        return reply;
    }

  private:
    int fd_ = -1;
};

// Runs a program without any shell and returns its standard output.
QByteArray spawnAndRead(const std::vector<std::string>& argv)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    QByteArray output;
    char chunk[512];
    ssize_t n;
    while (rc == 0 && (n = read(out[0], chunk, sizeof chunk)) > 0)
        output.append(chunk, n);
    close(out[0]);
    if (rc == 0)
        waitpid(pid, nullptr, 0);
    return output;
}

struct Measurement {
    const char* label;
    std::function<bool()> once; // one round trip; false when the reply is wrong
    std::vector<double> ms;
};

QString row(const char* label, const Summary& s)
{
    return QStringLiteral("  %1 %2 ms %3 ms\n")
        .arg(QLatin1String(label), -40)
        .arg(s.median, 8, 'f', 3)
        .arg(s.p95, 8, 'f', 3);
}

} // namespace

int runChainBenchmark(const QStringList& args)
{
    int runs = 200;
    for (qsizetype i = 0; i < args.size(); ++i) {
        bool ok = false;
        if (args[i] == QLatin1String("--runs") && i + 1 < args.size())
            runs = args[++i].toInt(&ok);
        else if (args[i].startsWith(QLatin1String("--runs=")))
            runs = args[i].sliced(7).toInt(&ok);
        if (!ok || runs < 1) {
            printError(QStringLiteral("usage: kestrel-bench chain [--runs N] (N from 1)"));
            return 2;
        }
    }

    // VXI-11 needs the simulator's portmapper on port 111, which only root may open.
    const bool vxi11 = geteuid() == 0;
    SimProcess sim;
    QString error;
    QStringList simArgs{QStringLiteral("--source"), QStringLiteral("127.0.0.2:0"),
                        QStringLiteral("--meter"), QStringLiteral("127.0.0.3:0"),
                        QStringLiteral("--serial")};
    if (vxi11)
        simArgs << QStringLiteral("--vxi11");
    if (!sim.start(toolPath(QStringLiteral("kestrel-sim")), simArgs, 5000, &error)) {
        printError(error);
        return 1;
    }
    QTemporaryDir home;
    const QString scpi = toolPath(QStringLiteral("kestrel-scpi"));
    if (!home.isValid() || !installScript(home.path(), scpi)) {
        printError(QStringLiteral("cannot install sendArbcmd.sh into a temporary home"));
        return 1;
    }

    const QString address = sim.sourceAddress();
    const QString port = QString::number(sim.sourcePort());
    const QString line =
        instrumentCommandLine(home.path() + QLatin1Char('/'), address, port, QLatin1String(query));
    const std::vector<std::string> direct{scpi.toStdString(), "--", address.toStdString(),
                                          port.toStdString(), query};
    const std::vector<std::string> overVxi11{scpi.toStdString(), "--", address.toStdString(),
                                             "inst0", query};
    const std::vector<std::string> overSerial{scpi.toStdString(), "--",
                                              sim.sourceSerial().toStdString(), "115200", query};
    Connection open(address, sim.sourcePort());
    const auto isIdentity = [](const QByteArray& reply) { return reply.startsWith("Kestrel,"); };

    std::vector<Measurement> measurements{
        {"chain: runShell .. kestrel-sim",
         [&] { return runShell(line).output.startsWith(QLatin1String("Kestrel,")); },
         {}},
        {"kestrel-scpi started directly", [&] { return isIdentity(spawnAndRead(direct)); }, {}},
        {"process start alone (/bin/true)",
         [&] { return spawnAndRead({"/bin/true"}).isEmpty(); },
         {}},
        {"bare TCP, new connection each time",
         [&] { return isIdentity(Connection(address, sim.sourcePort()).ask(query)); },
         {}},
        {"bare TCP, one open connection", [&] { return isIdentity(open.ask(query)); }, {}},
        {"kestrel-scpi over serial (a pty)",
         [&] { return isIdentity(spawnAndRead(overSerial)); },
         {}},
    };
    if (vxi11)
        measurements.push_back({"kestrel-scpi over VXI-11 (inst0)",
                                [&] { return isIdentity(spawnAndRead(overVxi11)); },
                                {}});

    // Interleaved, so a slow moment of the machine hits every kind alike.
    constexpr int warmUp = 5;
    for (int i = -warmUp; i < runs; ++i) {
        for (Measurement& m : measurements) {
            const auto start = Clock::now();
            const bool ok = m.once();
            const std::chrono::duration<double, std::milli> took = Clock::now() - start;
            if (!ok) {
                printError(QStringLiteral("%1: wrong or no reply").arg(QLatin1String(m.label)));
                return 1;
            }
            if (i >= 0)
                m.ms.push_back(took.count());
        }
    }

    print(QStringLiteral("kestrel-bench chain: %1 runs of %2 to kestrel-sim at %3:%4\n")
              .arg(runs)
              .arg(QLatin1String(query), address, port));
    print(machineLine());
    print(QStringLiteral("  %1 %2    %3\n")
              .arg(QString(), -40)
              .arg(QStringLiteral("median"), 8)
              .arg(QStringLiteral("95th pct"), 8));
    std::vector<Summary> summaries(measurements.size());
    for (std::size_t i = 0; i < measurements.size(); ++i) {
        summaries[i] = summarize(measurements[i].ms);
        print(row(measurements[i].label, summaries[i]));
    }
    if (!vxi11)
        print(QStringLiteral("  (kestrel-scpi over VXI-11: skipped, as port 111 for the "
                             "simulator's portmapper needs root)\n"));
    const Summary& chain = summaries[0];
    const Summary& bare = summaries[3];
    print(QStringLiteral("  %1 %2 x  %3 x\n")
              .arg(QStringLiteral("chain / bare TCP (new connection)"), -40)
              .arg(chain.median / bare.median, 8, 'f', 1)
              .arg(chain.p95 / bare.p95, 8, 'f', 1));
    return sim.stop() == 0 ? 0 : 1;
}

} // namespace kestrel::bench
