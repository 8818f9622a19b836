#include "link/commandline.h"
#include "link/linewriter.h"
#include "link/shellrunner.h"
#include "link/signalwatcher.h"
#include "link/workqueue.h"
#include "testhome.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kestrel;

namespace
{

// True when no live process has this id (a zombie waiting for init counts as gone).
bool processGone(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    return close > 0 && text.mid(close + 2, 1) == "Z";
}

int openFileCount()
{
    return QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
}

// Makes pidfd_open fail with ENOSYS for this process and its children, as on a kernel
// before 5.3. False when the filter cannot be installed.
bool refusePidfdOpen()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{sizeof filter / sizeof filter[0], filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0 &&
           syscall(SYS_pidfd_open, getpid(), 0) < 0 && errno == ENOSYS;
}

// Runs in a child process: the first thing that went wrong, or an empty text.
QString shellEndings(const QString& folder)
{
    for (int i = 0; i < 200; ++i)
        if (const ShellResult r = runShell("echo x"); !r.ok || r.output != "x\n")
            return QStringLiteral("echo x, run %1: %2").arg(i).arg(r.reason);

    QElapsedTimer clock;
    clock.start();
    ShellResult r = runShell("exec >&- 2>&-; sleep 0.3; exit 3");
    if (r.reason != "exit status 3" || clock.elapsed() < 300)
        return QStringLiteral("closed output, then exit 3: \"%1\" after %2 ms")
            .arg(r.reason)
            .arg(clock.elapsed());

    // Commands that do not end, with their output open and closed: each ends at the limit
    // with what it printed, and takes its background sleep with it. A second: under
    // ThreadSanitizer on a busy machine the shell once took longer than 0.3 s to start the
    // sleeper and write its process id.
    const QString pidFile = folder + "/pid";
    for (const QString closing : {"", "exec >&- 2>&-; "}) {
        QFile::remove(pidFile);
        clock.restart();
        r = runShell(QStringLiteral("echo started; %1sleep 60 & echo $! > %2; wait")
                         .arg(closing, shellQuote(pidFile)),
                     ShellOptions{1000, nullptr});
        if (r.output != "started\n" || r.reason != "timed out after 1 s" || clock.elapsed() < 950 ||
            clock.elapsed() > 4000)
            return QStringLiteral("%1no exit: \"%2\" after %3 ms")
                .arg(closing, r.reason)
                .arg(clock.elapsed());
        const qint64 sleeper = fileContents(pidFile).trimmed().toLongLong();
        for (int wait = 0; sleeper > 0 && !processGone(sleeper) && wait < 200; ++wait)
            usleep(10000);
        if (sleeper <= 0 || !processGone(sleeper))
            return QStringLiteral("the background sleep %1 outlived its command").arg(sleeper);
    }
    return QString();
}

} // namespace

class TestShellRunner : public QObject
{
    Q_OBJECT

  private slots:
    void outputStreamsInterleaveInOrder();
    void statusDecidesSuccess_data();
    void statusDecidesSuccess();
    void endlessOutputIsCutAtTheCap();
    void shellExitIsAwaitedWithOrWithoutPidfd_data();
    void shellExitIsAwaitedWithOrWithoutPidfd();
    void cancelledCommandNeverStarts();
    void instrumentLineQuotesEveryPiece_data();
    void instrumentLineQuotesEveryPiece();
    void manyCommandsLeaveNothingBehind();
    void queueRunsInOrderAndDropsWhatWasCancelled();
    void closedOutputFailsInsteadOfKilling();
    void aSlowReadingsTimeReachesTheScriptAlone();
};

void TestShellRunner::outputStreamsInterleaveInOrder()
{
    const ShellResult result = runShell("echo one; echo two >&2; echo three; printf four >&2");
    QVERIFY(result.ok && result.reason.isEmpty());
    QCOMPARE(result.output, "one\ntwo\nthree\nfour");
    // Nothing on standard input: a reader sees end of file at once; UTF-8 is read as
    // such, controls (C1 too) kept for the display to escape, and each byte of a bad
    // sequence (cut short, overlong, a surrogate) is one U+FFFD; late output of a
    // background child is part of the reply.
    QCOMPARE(
        runShell(R"(cat; printf 'A\303\251\360\237\224\214\302\233 \342\202z\300\233\355\240\200')")
            .output,
        QString::fromUcs4(U"A\u00E9\U0001F50C\u009B \uFFFD\uFFFDz\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(runShell("(sleep 0.3; echo late) & echo early").output, "early\nlate\n");
    QVERIFY(clock.elapsed() >= 300);
}

void TestShellRunner::aSlowReadingsTimeReachesTheScriptAlone()
{
    // Only the command of a slow reading is told its time, in whole seconds rounded up;
    // a value inherited from elsewhere reaches no command.
    qputenv(replyTimeoutVariable, "99");
    const auto restore = qScopeGuard([] { qunsetenv(replyTimeoutVariable); });
    const QString line = QStringLiteral("echo ${%1-none}").arg(replyTimeoutVariable);
    QCOMPARE(runShell(line).output, "none\n");
    QCOMPARE(runShell(line, ShellOptions{shellTimeoutMs, nullptr, 4001}).output, "5\n");
}

void TestShellRunner::statusDecidesSuccess_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("reason"); // empty: success
    const auto row = [](const char* name, const char* line, const char* output,
                        const char* reason) {
        QTest::newRow(name) << QString(line) << QString(output) << QString(reason);
    };
    row("success", "echo 1.5E-06", "1.5E-06\n", "");
    row("plausible reply, then failure", "echo 1.5E-06; exit 3", "1.5E-06\n", "exit status 3");
    row("killed", "echo partial; kill -KILL $$", "partial\n", "ended by signal 9 (Killed)");
    row("missing script", "/nonexistent/sendArbcmd.sh a b c",
        "zsh:1: no such file or directory: /nonexistent/sendArbcmd.sh\n", "exit status 127");
}

void TestShellRunner::statusDecidesSuccess()
{
    QFETCH(QString, line);
    QFETCH(QString, output);
    QFETCH(QString, reason);
    const ShellResult result = runShell(line);
    QCOMPARE(result.output, output);
    QCOMPARE(result.reason, reason);
    QCOMPARE(result.ok, reason.isEmpty());
}

void TestShellRunner::endlessOutputIsCutAtTheCap()
{
    QElapsedTimer clock;
    clock.start();
    const ShellResult result = runShell("yes");
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(result.reason, "reply longer than 1 MiB");
    QCOMPARE(result.output.size(), maxShellOutputBytes);
    // Exactly the cap is still a reply.
    QVERIFY(runShell("head -c 1048576 /dev/zero | tr '\\0' x").ok);
}

void TestShellRunner::shellExitIsAwaitedWithOrWithoutPidfd_data()
{
    QTest::addColumn<bool>("withoutPidfd");
    QTest::newRow("pidfd") << false;
    QTest::newRow("pidfd_open refused by seccomp") << true;
}

// In a child process, so the filter stays there.
void TestShellRunner::shellExitIsAwaitedWithOrWithoutPidfd()
{
    QFETCH(bool, withoutPidfd);
    QTemporaryDir dir;
    int fds[2];
    QCOMPARE(pipe2(fds, O_CLOEXEC), 0);
    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        close(fds[0]);
        const QByteArray problem = withoutPidfd && !refusePidfdOpen()
                                       ? QByteArray("skip: no seccomp filter here")
                                       : shellEndings(dir.path()).toUtf8();
        [[maybe_unused]] const auto n = write(fds[1], problem.constData(), problem.size());
        _exit(0);
    }
    close(fds[1]);
    QByteArray problem;
    pollfd p{fds[0], POLLIN, 0};
    char buffer[512];
    ssize_t n = 0;
    while (poll(&p, 1, 30000) > 0 && (n = read(fds[0], buffer, sizeof buffer)) > 0)
        problem.append(buffer, n);
    close(fds[0]);
    if (n != 0)
        kill(child, SIGKILL);
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY2(n == 0 && WIFEXITED(status), "the child did not end within 30 s");
    if (problem.startsWith("skip: "))
        QSKIP(problem.constData() + 6);
    QVERIFY2(problem.isEmpty(), problem.constData());
}

// (A command in flight ends at once when cancelled: see the queue's test.)
void TestShellRunner::cancelledCommandNeverStarts()
{
    CancelSignal cancel;
    cancel.cancel();
    QTemporaryDir dir;
    const ShellResult never =
        runShell("touch " + shellQuote(dir.filePath("ran")), ShellOptions{shellTimeoutMs, &cancel});
    QCOMPARE(never.reason, "cancelled");
    QVERIFY(!QFile::exists(dir.filePath("ran")));
}

void TestShellRunner::instrumentLineQuotesEveryPiece_data()
{
    QTest::addColumn<QString>("homeName");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("command");
    const auto row = [](const char* name, const char* home, const char* address, const char* port,
                        const char* command) {
        QTest::newRow(name) << QString::fromUtf8(home) << QString::fromUtf8(address)
                            << QString::fromUtf8(port) << QString::fromUtf8(command);
    };
    row("plain", "home", "127.0.0.2", "5555", "*IDN?");
    row("blanks", "my home", "a b", " 55 ", ":SOUR1:APPL:DC 1,1,0.5");
    row("quotes", "it's", "\"x\"", "'", "say \"hi\" it's");
    row("expansions", "$HOME", "$(id)", "`id`", "${PATH} $1 \\n");
    row("operators", "a;b", "x;touch PWNED", "1|cat", "*; rm -rf / &");
    row("globs and tilde", "~h", "~", "*", "?[a-z]*");
    row("empty texts", "e", "", "", "");
    row("newline", "n", "a\nb", "5555", "x\ntouch PWNED");
    row("non-ascii", "ü", "µ", "5555", "Ω");
}

void TestShellRunner::instrumentLineQuotesEveryPiece()
{
    QFETCH(QString, homeName);
    QFETCH(QString, address);
    QFETCH(QString, port);
    QFETCH(QString, command);
    QTemporaryDir root;
    const QString home = root.filePath(homeName);
    // Prints how many arguments came, each in <>.
    writeFile(home + "/sendArbcmd.sh",
              "#!/bin/sh\nprintf '%s' $#; for a in \"$@\"; do printf '<%s>' \"$a\"; done\n", true);

    const QString workDir = QDir::currentPath();
    QDir::setCurrent(root.path());
    const ShellResult result = runShell(instrumentCommandLine(home + '/', address, port, command));
    QDir::setCurrent(workDir);
    QVERIFY(result.ok);
    // Byte for byte.
    QCOMPARE(result.output, "3<" + address + "><" + port + "><" + command + ">");
    QVERIFY(!QFile::exists(root.filePath("PWNED")) && !QFile::exists(home + "/PWNED"));
}

void TestShellRunner::manyCommandsLeaveNothingBehind()
{
    runShell("true"); // anything opened once and kept (the C library's) is open by now
    const int files = openFileCount();
    for (int i = 0; i < 100; ++i)
        QVERIFY(runShell(i % 2 ? "echo x" : "(echo y; exit 2)").output.size() == 2);
    QCOMPARE(openFileCount(), files);
    QCOMPARE(waitpid(-1, nullptr, WNOHANG), -1); // no child left, not even a zombie
}

void TestShellRunner::queueRunsInOrderAndDropsWhatWasCancelled()
{
    WorkQueue queue;
    QStringList results;
    auto line = [](const QString& text) {
        return [text](const CancelSignal& cancel) {
            return runShell(text, ShellOptions{shellTimeoutMs, &cancel}).output;
        };
    };
    auto keep = [&](const QString& result) { results << result; };
    QElapsedTimer clock;
    clock.start();
    queue.run(this, line("sleep 0.3; echo first"), keep);
    queue.run(this, line("echo second"), keep);
    QVERIFY(clock.elapsed() < 100); // posting never waits for the commands
    QTRY_COMPARE(results, (QStringList{"first\n", "second\n"}));

    queue.run(this, line("sleep 20; echo never"), keep);
    queue.run(this, line("echo dropped"), keep);
    QTest::qWait(200);
    clock.restart();
    queue.cancelAll();
    QVERIFY(queue.waitForIdle(3000) && clock.elapsed() < 3000);
    queue.run(this, line("echo after"), keep);
    // A result whose receiver has gone is dropped, not delivered to a dead object.
    auto* context = new QObject;
    queue.run(context, line("sleep 0.1"), keep);
    delete context;
    QVERIFY(queue.waitForIdle(3000));
    QTest::qWait(100);
    QCOMPARE(results, (QStringList{"first\n", "second\n", "after\n"}));
}

void TestShellRunner::closedOutputFailsInsteadOfKilling()
{
    SignalWatcher watcher; // ignores SIGPIPE, as the programs do

    int fds[2];
    QCOMPARE(pipe2(fds, O_CLOEXEC), 0);
    {
        LineWriter writer(fds[1]);
        QSignalSpy failed(&writer, &LineWriter::failed);
        // A reader that does not read never blocks the writing side.
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 100; ++i)
            writer.write(QByteArray(4096, 'x'));
        QVERIFY(clock.elapsed() < 500);
        QVERIFY(!writer.flush(100));
        close(fds[0]);
        QVERIFY(failed.wait(2000));
        QCOMPARE(failed.first().at(0).toString(), "Broken pipe");
        QVERIFY(writer.hasFailed());
    }
    close(fds[1]);
}

QTEST_GUILESS_MAIN(TestShellRunner)
#include "tst_shellrunner.moc"
