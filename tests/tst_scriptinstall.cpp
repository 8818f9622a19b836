#include "link/commandline.h"
#include "link/scriptinstall.h"
#include "link/shellrunner.h"
#include "testhome.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace kestrel;

class TestScriptInstall : public QObject
{
    Q_OBJECT

  private slots:
    void installedScriptPassesThreeArgumentsWholeAndStays();
};

// An installed layout under a path with a quote: PREFIX/bin/kestrel-scpi (a stand-in that
// prints its arguments) and PREFIX/share/kestrel/sendArbcmd.sh (the real template).
void TestScriptInstall::installedScriptPassesThreeArgumentsWholeAndStays()
{
    QTemporaryDir root;
    const QString prefix = root.filePath("opt/it's kestrel");
    const QString home = root.filePath("home");
    QVERIFY(QDir().mkpath(prefix + "/share/kestrel") && QDir().mkpath(home));
    writeFile(prefix + "/bin/kestrel-scpi",
              "#!/bin/sh\nfor a in \"$@\"; do printf '<%s>' \"$a\"; done; echo\n", true);
    QVERIFY(QFile::copy(qEnvironmentVariable("KESTREL_SOURCE_DIR") + "/scripts/sendArbcmd.sh",
                        prefix + "/share/kestrel/sendArbcmd.sh"));

    QVERIFY(!installedScriptSource(root.path()).has_value()); // no layout there
    const auto source = installedScriptSource(prefix + "/bin");
    QVERIFY(source.has_value());
    const WriteResult result = installScript(home, *source);
    QVERIFY2(result.ok, qPrintable(result.message));

    // Nothing in them reaches a shell: no file appears, each arrives whole.
    const QString injected = root.filePath("injected");
    const QString address = "127.0.0.2 $(touch " + injected + ")";
    const QString port = "5555' ; touch '" + injected;
    const QString command = ":SOUR1:APPL:DC 1,1,-0.5;\"`touch " + injected + "`\" >" + injected;
    const ShellResult reply = runShell(instrumentCommandLine(home + '/', address, port, command));
    const QString expected = "<-->" + QStringList{address, port, command}.join("><").prepend('<');
    QCOMPARE(reply.output, expected + ">\n");
    QVERIFY(reply.ok);
    QVERIFY(!QFile::exists(injected));

    // A script already there is never replaced.
    const QByteArray mine = "#!/bin/sh\necho my own transport\n";
    writeFile(scriptPath(home), mine);
    const WriteResult again = installScript(home, *source);
    QVERIFY2(!again.ok && again.message.contains("left as it is"), qPrintable(again.message));
    QCOMPARE(fileContents(scriptPath(home)), mine);
    // What Kestrel says when it is missing names it.
    QVERIFY(missingScriptHint(home).contains(scriptPath(home)));
}

QTEST_GUILESS_MAIN(TestScriptInstall)
#include "tst_scriptinstall.moc"
