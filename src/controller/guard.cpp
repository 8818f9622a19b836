#include "controller/guard.h"

#include "store/processid.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace kestrel
{

// How long closing a guard waits for it to take the lines it has not read yet.
constexpr int closingWaitMs = 2000;

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
    if (!config.profileFile.isEmpty())
        words.insert(words.end(),
                     {"--profile", QFile::encodeName(config.profileFile).toStdString()});
    if (config.stepSource)
        words.insert(words.end(), {"--role", "step"});
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    const auto failed = [error](const QString& what, int code) {
        *error = QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(strerror(code)));
        return nullptr;
    };
    // The word goes through a socket pair, so a guard that is gone costs a failed send,
    // never a SIGPIPE, and its end shows as a hang-up.
    int word[2], status[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, word) != 0)
        return failed(QStringLiteral("cannot make a socket"), errno);
    if (pipe2(status, O_CLOEXEC) != 0) {
        const int code = errno;
        close(word[0]);
        close(word[1]);
        return failed(QStringLiteral("cannot make a pipe"), code);
    }
    // Started twice removed, so it is nobody's child to wait for here, in a session of
    // its own. The status pipe carries the guard's process id, then an error number if
    // it could not be started; it closes without one when the program runs.
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        const pid_t guard = fork();
        if (guard > 0)
            _exit(0);
        if (guard < 0) {
            const int report[2] = {0, errno};
            [[maybe_unused]] const auto n = write(status[1], report, sizeof report);
            _exit(127);
        }
        int report[2] = {int(getpid()), 0};
        [[maybe_unused]] auto n = write(status[1], report, sizeof report);
        // Signals as for a freshly started program, whatever this one blocks or ignores.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const int sig : {SIGPIPE, SIGXFSZ, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD})
            signal(sig, SIG_DFL);
        const int null = open("/dev/null", O_RDWR);
        dup2(word[0], STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execv(argv[0], argv.data());
        report[1] = errno;
        n = write(status[1], report, sizeof report);
        _exit(127);
    }
    const int forkError = errno;
    close(word[0]);
    close(status[1]);
    int pid = 0, failure = child < 0 ? forkError : 0;
    for (int report[2]; read(status[0], report, sizeof report) == sizeof report;) {
        pid = pid ? pid : report[0];
        failure = failure ? failure : report[1];
    }
    close(status[0]);
    if (child > 0)
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
    if (failure != 0 || pid <= 0) {
        close(word[1]);
        return failed(QStringLiteral("cannot start %1").arg(config.program),
                      failure ? failure : ECHILD);
    }
    return std::unique_ptr<Guard>(
        new Guard(word[1], pid, source, config.profileFile, config.stepSource));
}

Guard::Guard(int socket, qint64 pid, Endpoint source, QString profileFile, bool stepSource)
    : socket_(socket), pid_(pid), source_(std::move(source)), profileFile_(std::move(profileFile)),
      stepSource_(stepSource)
{
    // The guard never writes: the socket turns readable only when the guard has gone.
    hangUp_ = new QSocketNotifier(socket_, QSocketNotifier::Read, this);
    connect(hangUp_, &QSocketNotifier::activated, this, &Guard::lost);
    writable_ = new QSocketNotifier(socket_, QSocketNotifier::Write, this);
    writable_->setEnabled(false);
    connect(writable_, &QSocketNotifier::activated, this, &Guard::sendRest);
    addCommandWatch(this);
}

Guard::~Guard()
{
    removeCommandWatch(this);
    {
        // A guard slow to read still gets its lines ("done" among them) before the socket
        // closes, for a while: one that never reads again would hold the program.
        std::lock_guard lock(sending_);
        for (int waitedMs = 0; !unsent_.isEmpty() && waitedMs < closingWaitMs; waitedMs += 50) {
            pollfd writable{socket_, POLLOUT, 0};
            if ((poll(&writable, 1, 50) < 0 && errno != EINTR) || !flushLocked())
                break;
        }
    }
    delete writable_;
    delete hangUp_;
    close(socket_);
}

void Guard::lost()
{
    if (ended_)
        return;
    ended_ = true;
    hangUp_->setEnabled(false);
    emit ended();
}

bool Guard::say(const QByteArray& line)
{
    std::lock_guard lock(sending_);
    const bool waiting = !unsent_.isEmpty();
    unsent_ += line;
    if (!flushLocked())
        return false;
    if (!waiting && !unsent_.isEmpty()) // the notifier belongs to this object's thread
        QMetaObject::invokeMethod(
            this, [this] { writable_->setEnabled(true); }, Qt::QueuedConnection);
    return true;
}

bool Guard::flushLocked()
{
    while (!unsent_.isEmpty()) {
        const ssize_t sent = send(socket_, unsent_.constData(), std::size_t(unsent_.size()),
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0)
            unsent_.remove(0, sent);
        else if (sent < 0 && errno == EINTR)
            continue;
        else
            return sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    return true;
}

void Guard::sendRest()
{
    std::unique_lock lock(sending_);
    const bool told = flushLocked();
    writable_->setEnabled(told && !unsent_.isEmpty());
    lock.unlock();
    if (!told)
        lost();
}

void Guard::commandStarted(int group)
{
    if (!say("cmd " + QByteArray::number(group) + '\n'))
        QMetaObject::invokeMethod(this, &Guard::lost, Qt::QueuedConnection);
}

void Guard::commandEnded(int group)
{
    if (!say("end " + QByteArray::number(group) + '\n'))
        QMetaObject::invokeMethod(this, &Guard::lost, Qt::QueuedConnection);
}

void Guard::arm()
{
    armed_ = true;
    if (!say("on\n"))
        lost();
}

void Guard::watchRun(qint64 id)
{
    if (runs_.contains(id))
        return;
    runs_ << id;
    if (!say("run " + QByteArray::number(id) + '\n'))
        lost();
}

void Guard::measured(qint64 run, int points)
{
    if (!say("points " + QByteArray::number(run) + ' ' + QByteArray::number(points) + '\n'))
        QMetaObject::invokeMethod(this, &Guard::lost, Qt::QueuedConnection);
}

void Guard::disarm()
{
    armed_ = false;
    say("off\n");
}

void Guard::standDown()
{
    armed_ = false;
    say("done\n");
}

} // namespace kestrel
