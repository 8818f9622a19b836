#include "link/commandline.h"
#include "link/scriptinstall.h"
#include "link/shellrunner.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace kestrel;

namespace
{

// An installed layout: PREFIX/bin/kestrel-scpi (a stand-in that prints its
// arguments) and PREFIX/share/kestrel/sendArbcmd.sh (the real template).
void makeInstalledLayout(const QString& prefix)
{
    QVERIFY(QDir().mkpath(prefix + "/bin"));
    QVERIFY(QDir().mkpath(prefix + "/share/kestrel"));
    QFile scpi(prefix + "/bin/kestrel-scpi");
    QVERIFY(scpi.open(QIODevice::WriteOnly));
    scpi.write("#!/bin/sh\nfor a in \"$@\"; do printf '<%s>' \"$a\"; done; echo\n");
    scpi.close();
    scpi.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    QVERIFY(QFile::copy(qEnvironmentVariable("KESTREL_SOURCE_DIR") + "/scripts/sendArbcmd.sh",
                        prefix + "/share/kestrel/sendArbcmd.sh"));
}

} // namespace

class TestScriptInstall : public QObject
{
    Q_OBJECT

  private slots:
    void installsAScriptThatCallsTheInstalledHelper();
    void neverReplacesAnExistingScript();
    void needsAnInstalledLayout();
};

void TestScriptInstall::installsAScriptThatCallsTheInstalledHelper()
{
    QTemporaryDir root;
    const QString prefix = root.filePath("opt/it's kestrel"); // a quote in the path, too
    makeInstalledLayout(prefix);
    const QString home = root.filePath("home");
    QVERIFY(QDir().mkpath(home));

    const auto source = installedScriptSource(prefix + "/bin");
    QVERIFY(source.has_value());
    const WriteResult result = installScript(home, *source);
    QVERIFY2(result.ok, qPrintable(result.message));
    QVERIFY(QFileInfo(scriptPath(home)).isExecutable());

    const QString reply =
        runShell(instrumentCommandLine(home + '/', "127.0.0.2", "5555", ":SOUR1:APPL:DC 1,1,-0.5"));
    QCOMPARE(reply, QStringLiteral("<-->"
                                   "<127.0.0.2><5555><:SOUR1:APPL:DC 1,1,-0.5>\n"));
}

void TestScriptInstall::neverReplacesAnExistingScript()
{
    QTemporaryDir root;
    makeInstalledLayout(root.filePath("usr"));
    const QString home = root.filePath("home");
    QVERIFY(QDir().mkpath(home));
    QFile mine(scriptPath(home));
    QVERIFY(mine.open(QIODevice::WriteOnly));
    mine.write("#!/bin/sh\necho my own transport\n");
    mine.close();

    const WriteResult result =
        installScript(home, *installedScriptSource(root.filePath("usr/bin")));
    QVERIFY(!result.ok);
    QVERIFY(result.message.contains("left as it is"));
    QVERIFY(mine.open(QIODevice::ReadOnly));
    QCOMPARE(mine.readAll(), QByteArray("#!/bin/sh\necho my own transport\n"));
}

void TestScriptInstall::needsAnInstalledLayout()
{
    QTemporaryDir root;
    QVERIFY(!installedScriptSource(root.path()).has_value());
    QVERIFY(missingScriptHint("/home/lab").contains("/home/lab/sendArbcmd.sh"));
}

QTEST_GUILESS_MAIN(TestScriptInstall)
#include "tst_scriptinstall.moc"
