#include "link/shellrunner.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace kestrel
{

namespace
{

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

QString systemError(const char* what, int error)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(std::strerror(error)));
}

QString timeoutReason(int timeoutMs)
{
    return QStringLiteral("timed out after %1 s").arg(QString::number(timeoutMs / 1000.0));
}

QString statusReason(int status)
{
    if (WIFEXITED(status))
        return QStringLiteral("exit status %1").arg(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return QStringLiteral("ended by signal %1 (%2)")
            .arg(WTERMSIG(status))
            .arg(QString::fromLocal8Bit(strsignal(WTERMSIG(status))));
    return QStringLiteral("ended with wait status %1").arg(status);
}

// How the shell ended: its wait status, or why the runner had to end it.
struct Ending {
    int status = 0;
    QString failure;
};

// Waits for the shell to end within the deadline; kills its group at the deadline or
// when cancelled. Its output has ended by now, and its exit normally follows within
// microseconds, but a command may close its output and carry on. A pidfd wakes the
// wait at the exit; where the kernel has none (before Linux 5.3, or a seccomp filter
// refuses it) waitpid is asked again after short sleeps that a cancel cuts short.
Ending reap(pid_t pid, Clock::time_point deadline, int timeoutMs, int cancelFd)
{
    const int pidfd = int(syscall(SYS_pidfd_open, pid, 0));
    Ending ending;
    auto pause = std::chrono::microseconds(50);
    for (;;) {
        const pid_t done = waitpid(pid, &ending.status, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR) {
            // Nothing left to wait for or to kill: its number may be another's by now.
            ending.failure = systemError("cannot wait for the command", errno);
            if (pidfd >= 0)
                close(pidfd);
            return ending;
        }
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            ending.failure = timeoutReason(timeoutMs);
            break;
        }
        const auto wait = std::chrono::ceil<std::chrono::nanoseconds>(
            pidfd >= 0 ? left : std::min<Clock::duration>(pause, left));
        const timespec waitTime{time_t(wait.count() / 1000000000), long(wait.count() % 1000000000)};
        pollfd polls[2] = {{pidfd, POLLIN, 0}, {cancelFd, POLLIN, 0}};
        if (ppoll(polls, 2, &waitTime, nullptr) > 0 && (polls[1].revents & POLLIN)) {
            ending.failure = QStringLiteral("cancelled");
            break;
        }
        pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(10));
    }
    if (pidfd >= 0)
        close(pidfd);
    if (!ending.failure.isEmpty()) {
        killpg(pid, SIGKILL);
        while (waitpid(pid, &ending.status, 0) < 0 && errno == EINTR) {
        }
    }
    return ending;
}

struct Watches {
    std::mutex mutex;
    std::vector<CommandWatch*> watches;
    std::set<int> running; // the process groups of the commands running now
};

Watches& watches()
{
    static Watches all;
    return all;
}

void commandStarted(int group)
{
    Watches& all = watches();
    std::lock_guard lock(all.mutex);
    all.running.insert(group);
    for (CommandWatch* watch : all.watches)
        watch->commandStarted(group);
}

void commandEnded(int group)
{
    Watches& all = watches();
    std::lock_guard lock(all.mutex);
    all.running.erase(group);
    for (CommandWatch* watch : all.watches)
        watch->commandEnded(group);
}

// This program's environment, the owner variable and the reply time, for a command.
std::vector<std::string> commandEnvironment(int replyMs)
{
    std::vector<std::string> entries;
    const std::string prefix = std::string(commandOwnerVariable) + '=';
    const std::string reply = std::string(replyTimeoutVariable) + '=';
    for (char** entry = environ; *entry; ++entry)
        if (std::strncmp(*entry, prefix.c_str(), prefix.size()) != 0 &&
            std::strncmp(*entry, reply.c_str(), reply.size()) != 0)
            entries.emplace_back(*entry);
    entries.push_back(prefix + std::to_string(getpid()));
    if (replyMs > 0)
        entries.push_back(reply + std::to_string((replyMs + 999) / 1000));
    return entries;
}

bool readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return fd >= 0 && poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

} // namespace

void addCommandWatch(CommandWatch* watch)
{
    Watches& all = watches();
    std::lock_guard lock(all.mutex);
    all.watches.push_back(watch);
    for (const int group : all.running)
        watch->commandStarted(group);
}

void removeCommandWatch(CommandWatch* watch)
{
    Watches& all = watches();
    std::lock_guard lock(all.mutex);
    std::erase(all.watches, watch);
}

CancelSignal::CancelSignal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CancelSignal::~CancelSignal()
{
    if (fd_ >= 0)
        close(fd_);
}

void CancelSignal::cancel()
{
    const uint64_t one = 1;
    [[maybe_unused]] const auto n = write(fd_, &one, sizeof one);
}

void CancelSignal::reset()
{
    uint64_t value;
    [[maybe_unused]] const auto n = read(fd_, &value, sizeof value);
}

bool CancelSignal::isCancelled() const
{
    return readable(fd_);
}

bool CancelSignal::waitFor(int ms) const
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd wait{fd_, POLLIN, 0};
        const int n =
            poll(&wait, 1, int(std::max<std::chrono::milliseconds::rep>(0, left.count())));
        if (n > 0)
            return true;
        if (n == 0 || errno != EINTR)
            return isCancelled();
    }
}

QString decodeReply(const QByteArray& bytes)
{
    // Qt's decoder puts one U+FFFD for each byte that is no part of well-formed UTF-8
    // (overlong forms and surrogates included), so a bad byte never takes good ones along.
    return QString::fromUtf8(bytes);
}

ShellResult runShell(const QString& line, const ShellOptions& options)
{
    ShellResult result;
    // A command cancelled before it starts is never sent at all.
    if (options.cancel && options.cancel->isCancelled()) {
        result.reason = QStringLiteral("cancelled");
        return result;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(options.timeoutMs);
    const QByteArray lineBytes = line.toUtf8();

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        result.reason = systemError("cannot make a pipe", errno);
        return result;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);

    // Own process group, so a timeout can end background children too; signals as
    // for a freshly started program, whatever this process blocks or ignores.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGCHLD, SIGXFSZ})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                        POSIX_SPAWN_SETSIGDEF);

    char envPath[] = "/usr/bin/env";
    char zsh[] = "zsh";
    char dashC[] = "-c";
    char* argv[] = {envPath, zsh, dashC, const_cast<char*>(lineBytes.constData()), nullptr};
    std::vector<std::string> environment = commandEnvironment(options.replyMs);
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int spawnError = posix_spawn(&pid, envPath, &actions, &attr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(fds[1]);
    if (spawnError != 0) {
        close(fds[0]);
        result.reason = systemError("cannot start /usr/bin/env zsh", spawnError);
        return result;
    }
    commandStarted(pid); // the shell leads the command's process group

    QByteArray output;
    QString failure; // set when the runner itself ended the command
    pollfd polls[2] = {{fds[0], POLLIN, 0},
                       {options.cancel ? options.cancel->fd() : -1, POLLIN, 0}};
    for (;;) {
        const int ready = poll(polls, 2, millisecondsLeft(deadline));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            failure = systemError("cannot wait for the command", errno);
            break;
        }
        if (ready == 0) {
            failure = timeoutReason(options.timeoutMs);
            break;
        }
        if (polls[1].revents & POLLIN) {
            failure = QStringLiteral("cancelled");
            break;
        }
        char buffer[65536];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n > 0) {
            if (output.size() + n > maxShellOutputBytes) {
                output.append(buffer, maxShellOutputBytes - output.size());
                failure = QStringLiteral("reply longer than 1 MiB");
                break;
            }
            output.append(buffer, n);
        } else if (n == 0) {
            break; // every writer has closed the pipe
        } else if (errno != EINTR && errno != EAGAIN) {
            failure = systemError("cannot read the command's output", errno);
            break;
        }
    }
    if (!failure.isEmpty())
        killpg(pid, SIGKILL);
    close(fds[0]);
    const Ending ending = reap(pid, deadline, options.timeoutMs, polls[1].fd);
    commandEnded(pid);

    result.output = decodeReply(output);
    if (!failure.isEmpty())
        result.reason = failure;
    else if (!ending.failure.isEmpty())
        result.reason = ending.failure;
    else if (!(WIFEXITED(ending.status) && WEXITSTATUS(ending.status) == 0))
        result.reason = statusReason(ending.status);
    result.ok = result.reason.isEmpty();
    return result;
}

} // namespace kestrel
