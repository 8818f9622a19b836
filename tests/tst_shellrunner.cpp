#include "link/commandline.h"
#include "link/homedirectory.h"
#include "link/shellrunner.h"
#include "link/workqueue.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <thread>

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

// A script that records each argument it receives on a line of its own, as hex.
void writeRecordingScript(const QString& home)
{
    QFile script(home + QStringLiteral("/sendArbcmd.sh"));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\n"
                 "out=\"$(dirname \"$0\")/args.txt\"\n"
                 ": > \"$out\"\n"
                 "for a in \"$@\"; do printf '%s' \"$a\" | od -An -tx1 | tr -d ' \\n' >> \"$out\"; "
                 "echo >> \"$out\"; done\n"
                 "echo \"reply from $#\"\n");
    script.close();
    QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeUser));
}

QStringList recordedArguments(const QString& home)
{
    QFile file(home + QStringLiteral("/args.txt"));
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("<script never ran>")};
    QList<QByteArray> lines = file.readAll().split('\n');
    lines.removeLast(); // the piece after the last line feed
    QStringList args;
    for (const QByteArray& line : lines)
        args << QString::fromUtf8(QByteArray::fromHex(line));
    return args;
}

} // namespace

class TestShellRunner : public QObject
{
    Q_OBJECT

  private slots:
    void outputStreamsInterleaveInOrder();
    void lateBackgroundOutputIsPartOfTheReply();
    void nonAsciiBytesNeverBreakDecoding();
    void missingShellIsAReply();
    void hangingCommandEndsAtTheLimit();
    void cancelEndsTheCommandAtOnce();
    void instrumentLineQuotesEveryPiece_data();
    void instrumentLineQuotesEveryPiece();
    void ordinaryTextsReadAsWritten();
    void homeDirectoryHasNoTrailingSlash();
    void queueRunsInOrderWithoutBlocking();
    void queueDropsCancelledAndOrphanedResults();
};

void TestShellRunner::outputStreamsInterleaveInOrder()
{
    QCOMPARE(runShell(QStringLiteral("echo one; echo two >&2; echo three; printf four >&2")),
             QStringLiteral("one\ntwo\nthree\nfour"));
    QCOMPARE(runShell(QStringLiteral("echo kept")), QStringLiteral("kept\n"));
    QCOMPARE(runShell(QStringLiteral("true")), QString());
    // Nothing on standard input: a reader sees end of file at once.
    QCOMPARE(runShell(QStringLiteral("cat; echo done")), QStringLiteral("done\n"));
}

void TestShellRunner::lateBackgroundOutputIsPartOfTheReply()
{
    QElapsedTimer clock;
    clock.start();
    const QString reply = runShell(QStringLiteral("(sleep 0.4; echo late) & echo early"));
    QCOMPARE(reply, QStringLiteral("early\nlate\n"));
    QVERIFY(clock.elapsed() >= 400);
}

void TestShellRunner::nonAsciiBytesNeverBreakDecoding()
{
    const QString reply = runShell(QStringLiteral("printf 'A\\303\\251\\377B'"));
    QCOMPARE(reply, QStringLiteral("A\uFFFD\uFFFD\uFFFDB"));
}

void TestShellRunner::missingShellIsAReply()
{
    const QByteArray savedPath = qgetenv("PATH");
    QTemporaryDir empty;
    qputenv("PATH", empty.path().toLocal8Bit());
    const QString reply = runShell(QStringLiteral("echo unreachable"));
    qputenv("PATH", savedPath);
    QVERIFY2(reply.contains(QLatin1String("zsh")), qPrintable(reply));
    QVERIFY(!reply.contains(QLatin1String("unreachable")));
}

void TestShellRunner::hangingCommandEndsAtTheLimit()
{
    QTemporaryDir dir;
    const QString pidFile = dir.filePath(QStringLiteral("pid"));
    QElapsedTimer clock;
    clock.start();
    const QString reply = runShell(
        QStringLiteral("echo started; sleep 60 & echo $! > %1; wait").arg(shellQuote(pidFile)));
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(reply, QStringLiteral("started\nrunShell: command timed out after 10 s\n"));
    QVERIFY2(elapsed >= shellTimeoutMs - 100 && elapsed < shellTimeoutMs + 2000,
             qPrintable(QString::number(elapsed)));
    QFile file(pidFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const qint64 sleeper = file.readAll().trimmed().toLongLong();
    QVERIFY(sleeper > 0);
    QTRY_VERIFY_WITH_TIMEOUT(processGone(sleeper), 2000);
}

void TestShellRunner::cancelEndsTheCommandAtOnce()
{
    CancelSignal cancel;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        cancel.cancel();
    });
    QElapsedTimer clock;
    clock.start();
    const QString reply =
        runShell(QStringLiteral("printf partial; sleep 30"), ShellOptions{shellTimeoutMs, &cancel});
    canceller.join();
    QVERIFY(clock.elapsed() < 3000);
    QCOMPARE(reply, QStringLiteral("partial\nrunShell: command cancelled\n"));
}

void TestShellRunner::instrumentLineQuotesEveryPiece_data()
{
    QTest::addColumn<QString>("homeName");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("command");
    QTest::newRow("plain") << "home"
                           << "127.0.0.2"
                           << "5555"
                           << "*IDN?";
    QTest::newRow("blanks") << "my home"
                            << "a b"
                            << " 55 "
                            << ":SOUR1:APPL:DC 1,1,0.5";
    QTest::newRow("quotes") << "it's"
                            << "\"x\""
                            << "'"
                            << "say \"hi\" it's";
    QTest::newRow("expansions") << "$HOME"
                                << "$(id)"
                                << "`id`"
                                << "${PATH} $1 \\n";
    QTest::newRow("operators") << "a;b"
                               << "x;touch PWNED"
                               << "1|cat"
                               << "*; rm -rf / &";
    QTest::newRow("globs and tilde") << "~h"
                                     << "~"
                                     << "*"
                                     << "?[a-z]*";
    QTest::newRow("empty texts") << "e"
                                 << ""
                                 << ""
                                 << "";
    QTest::newRow("newline") << "n"
                             << "a\nb"
                             << "5555"
                             << "x\ntouch PWNED";
    QTest::newRow("non-ascii") << "ü"
                               << "µ"
                               << "5555"
                               << "Ω";
}

void TestShellRunner::instrumentLineQuotesEveryPiece()
{
    QFETCH(QString, homeName);
    QFETCH(QString, address);
    QFETCH(QString, port);
    QFETCH(QString, command);
    QTemporaryDir root;
    const QString home = root.filePath(homeName);
    QVERIFY(QDir().mkpath(home));
    writeRecordingScript(home);

    const QString line = instrumentCommandLine(home + QLatin1Char('/'), address, port, command);
    const QString workDir = QDir::currentPath();
    QDir::setCurrent(root.path());
    const QString reply = runShell(line);
    QDir::setCurrent(workDir);

    QCOMPARE(reply, QStringLiteral("reply from 3\n"));
    QCOMPARE(recordedArguments(home), (QStringList{address, port, command}));
    QVERIFY(!QFile::exists(root.filePath(QStringLiteral("PWNED"))));
    QVERIFY(!QFile::exists(home + QStringLiteral("/PWNED")));
}

void TestShellRunner::ordinaryTextsReadAsWritten()
{
    QCOMPARE(instrumentCommandLine(QStringLiteral("/home/lab/"), QStringLiteral("A"),
                                   QStringLiteral("5555"), QStringLiteral("*IDN?")),
             QStringLiteral("'/home/lab/sendArbcmd.sh' 'A' '5555' '*IDN?'"));
    QCOMPARE(shellQuote(QStringLiteral("it's")), QStringLiteral("'it'\\''s'"));
}

void TestShellRunner::homeDirectoryHasNoTrailingSlash()
{
    const QString home = homeDirectory();
    QVERIFY(!home.isEmpty());
    QVERIFY(!home.endsWith(QLatin1Char('/')) || home == QLatin1String("/"));
    QVERIFY(QDir(home).exists());
}

void TestShellRunner::queueRunsInOrderWithoutBlocking()
{
    WorkQueue queue;
    QStringList replies;
    QElapsedTimer clock;
    clock.start();
    queue.runShellLine(QStringLiteral("sleep 0.3; echo first"), this,
                       [&](const QString& r) { replies << r; });
    queue.runShellLine(QStringLiteral("echo second"), this,
                       [&](const QString& r) { replies << r; });
    queue.post([](const CancelSignal&) { return QStringLiteral("third"); }, this,
               [&](const QString& r) { replies << r; });
    QVERIFY(clock.elapsed() < 100); // posting never waits for the commands
    QTRY_COMPARE_WITH_TIMEOUT(replies.size(), 3, 5000);
    QCOMPARE(replies, (QStringList{"first\n", "second\n", "third"}));
    QVERIFY(queue.isIdle());
}

void TestShellRunner::queueDropsCancelledAndOrphanedResults()
{
    WorkQueue queue;
    QStringList replies;
    queue.runShellLine(QStringLiteral("sleep 20; echo never"), this,
                       [&](const QString& r) { replies << r; });
    queue.runShellLine(QStringLiteral("echo dropped"), this,
                       [&](const QString& r) { replies << r; });
    QTest::qWait(200);
    QElapsedTimer clock;
    clock.start();
    queue.cancelAll();
    QVERIFY(queue.waitForIdle(3000));
    QVERIFY(clock.elapsed() < 3000);
    queue.runShellLine(QStringLiteral("echo after"), this, [&](const QString& r) { replies << r; });
    QTRY_COMPARE_WITH_TIMEOUT(replies.size(), 1, 5000);
    QCOMPARE(replies.first(), QStringLiteral("after\n"));

    // A result whose receiver has gone is dropped, not delivered to a dead object.
    auto* context = new QObject;
    bool delivered = false;
    queue.runShellLine(QStringLiteral("sleep 0.2"), context,
                       [&](const QString&) { delivered = true; });
    delete context;
    QVERIFY(queue.waitForIdle(3000));
    QTest::qWait(100);
    QVERIFY(!delivered);
}

QTEST_GUILESS_MAIN(TestShellRunner)
#include "tst_shellrunner.moc"
