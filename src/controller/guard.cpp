#include "controller/guard.h"

#include "store/processid.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace kestrel
{

QString findGuardProgram()
{
    const QString here = QCoreApplication::applicationDirPath();
    for (const QString& candidate :
         QStringList{here + QStringLiteral("/kestrel-guard"),
                     here + QStringLiteral("/../libexec/kestrel/kestrel-guard"),
                     QStringLiteral(KESTREL_GUARD_BUILD_PATH)})
        if (QFileInfo(candidate).isExecutable())
            return QFileInfo(candidate).canonicalFilePath();
    return QString();
}

std::unique_ptr<Guard> Guard::start(const GuardConfig& config, const Endpoint& source,
                                    QString* error)
{
    const ProcessId self = thisProcess();
    // Everything the child needs is made before fork: after it, only calls that are
    // safe in a child of a threaded program (setsid, fork, open, dup2, execv, _exit).
    std::vector<std::string> words{QFile::encodeName(config.program).toStdString(),
                                   "--home",
                                   QFile::encodeName(config.home).toStdString(),
                                   "--source",
                                   endpointText(source).toStdString(),
                                   "--owner",
                                   std::to_string(self.pid) + ':' + std::to_string(self.started)};
    if (!config.storePath.isEmpty())
        words.insert(words.end(), {"--store", QFile::encodeName(config.storePath).toStdString()});
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    // The word goes through a socket pair, so a guard that is gone costs a failed send,
    // never a SIGPIPE.
    int word[2], status[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, word) != 0 ||
        pipe2(status, O_CLOEXEC) != 0) {
        *error =
            QStringLiteral("cannot make a pipe: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return nullptr;
    }
    // Started twice removed, so it is nobody's child to wait for here, in a session of
    // its own; the status pipe tells whether the program could be started.
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        if (fork() != 0)
            _exit(0);
        const int null = open("/dev/null", O_RDWR);
        dup2(word[0], STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execv(argv[0], argv.data());
        const int failure = errno;
        [[maybe_unused]] const auto n = write(status[1], &failure, sizeof failure);
        _exit(127);
    }
    close(word[0]);
    close(status[1]);
    int failure = 0;
    const bool started = child > 0 && read(status[0], &failure, sizeof failure) == 0;
    close(status[0]);
    if (child > 0)
        waitpid(child, nullptr, 0);
    if (!started) {
        close(word[1]);
        *error =
            QStringLiteral("cannot start %1: %2")
                .arg(config.program, QString::fromLocal8Bit(strerror(child > 0 ? failure : errno)));
        return nullptr;
    }
    return std::unique_ptr<Guard>(new Guard(word[1], source));
}

Guard::~Guard()
{
    close(pipe_);
}

void Guard::say(const char* word)
{
    const std::string line = std::string(word) + '\n';
    [[maybe_unused]] const auto n = send(pipe_, line.data(), line.size(), MSG_NOSIGNAL);
}

void Guard::arm()
{
    say("on");
}

void Guard::standDown()
{
    say("done");
}

} // namespace kestrel
