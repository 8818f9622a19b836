#include "link/commandline.h"
#include "link/homedirectory.h"
#include "link/shellrunner.h"
#include "simulator.h"
#include "testhome.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

using namespace kestrel;
using namespace Qt::Literals::StringLiterals;

namespace
{

struct InstallRun {
    int exitCode = -1;
    QString out;
    QString err;
};

// Installs into `home` with --home; with `viaHomeVariable`, sets $HOME to it instead.
InstallRun runInstaller(const TestHome& home, const QStringList& args,
                        const QString& workDir = QString(), bool viaHomeVariable = false)
{
    QProcess process;
    QStringList options{u"--home"_s, home.path()};
    if (viaHomeVariable) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"HOME"_s, home.path());
        process.setProcessEnvironment(env);
        options.clear();
    }
    if (!workDir.isEmpty())
        process.setWorkingDirectory(workDir);
    process.start(u"bash"_s, QStringList{kestrelSourcePath(u"scripts/install-sendarbcmd.sh"_s)} +
                                 options + args);
    if (!process.waitForFinished(10000))
        return {};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QStringList filesIn(const TestHome& home)
{
    return QDir(home.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

QString scriptPath(const TestHome& home)
{
    return home.pat() + u"sendArbcmd.sh"_s;
}

QString realScpi()
{
    return QFileInfo(kestrelToolPath(u"kestrel-scpi"_s)).canonicalFilePath();
}

const QByteArray otherScript = "#!/bin/sh\necho mine\n";

// The installed script reaches a real instrument.
void verifyScriptWorks(const TestHome& home)
{
    Simulator sim;
    QVERIFY(sim.start());
    const QString reply = runShell(
        instrumentCommandLine(home.pat(), sim.sourceAddress(), sim.sourcePort(), u"*IDN?"_s));
    QVERIFY2(reply.startsWith(u"Kestrel,SIM-SOURCE,"_s), qPrintable(reply));
}

} // namespace

class TestScpiInstall : public QObject
{
    Q_OBJECT

  private slots:
    void freshHomeGetsAWorkingScript_data();
    void freshHomeGetsAWorkingScript();
    void existingScriptIsNeverOverwrittenSilently();
    void forceReplacesAndKeepsEveryBackup();
    void helperPathWithQuoteAndBlank();
    void missingHelperIsAnError_data();
    void missingHelperIsAnError();
};

void TestScpiInstall::freshHomeGetsAWorkingScript_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("workDir");
    const QString buildDir = qEnvironmentVariable("KESTREL_BUILD_DIR");
    QTest::newRow("absolute --scpi") << QStringList{"--scpi", realScpi()} << QString();
    QTest::newRow("--scpi=PATH") << QStringList{"--scpi=" + realScpi()} << QString();
    QTest::newRow("relative --scpi") << QStringList{"--scpi", "tools/kestrel-scpi"} << buildDir;
    QTest::newRow("default: the dev build") << QStringList{} << QDir::tempPath();
}

void TestScpiInstall::freshHomeGetsAWorkingScript()
{
    QFETCH(QStringList, args);
    QFETCH(QString, workDir);
    if (args.isEmpty() &&
        QFileInfo(kestrelSourcePath(u"build/dev/tools/kestrel-scpi"_s)).canonicalFilePath() !=
            realScpi())
        QSKIP("this is not the dev build the installer uses by default");
    TestHome home;
    const InstallRun run = runInstaller(home, args, workDir);
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains(u"Installed "_s + scriptPath(home)), qPrintable(run.out));
    QVERIFY(QFileInfo(scriptPath(home)).isExecutable());
    QVERIFY(
        contents(scriptPath(home)).contains(QByteArray("scpi='" + realScpi().toUtf8() + "'\n")));
    QCOMPARE(filesIn(home), QStringList{u"sendArbcmd.sh"_s});
    verifyScriptWorks(home);
}

void TestScpiInstall::existingScriptIsNeverOverwrittenSilently()
{
    TestHome home;
    home.installScript(otherScript);
    const InstallRun run = runInstaller(home, {u"--scpi"_s, realScpi()});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains(u"already exists"_s) && run.out.contains(u"--force"_s),
             qPrintable(run.out));
    QCOMPARE(contents(scriptPath(home)), otherScript);
    QCOMPARE(filesIn(home), QStringList{u"sendArbcmd.sh"_s});
}

void TestScpiInstall::forceReplacesAndKeepsEveryBackup()
{
    TestHome home;
    home.installScript(otherScript);
    const InstallRun first = runInstaller(home, {u"--force"_s, u"--scpi"_s, realScpi()});
    QCOMPARE(first.exitCode, 0);
    QVERIFY(contents(scriptPath(home)).contains(realScpi().toUtf8()));
    QVERIFY(QFileInfo(scriptPath(home)).isExecutable());

    // Replaced again within the same second: the second backup gets a name of its own.
    const QByteArray secondScript = "#!/bin/sh\necho second\n";
    home.installScript(secondScript);
    QCOMPARE(runInstaller(home, {u"--force"_s, u"--scpi"_s, realScpi()}).exitCode, 0);

    const QRegularExpression backupName(u"^sendArbcmd\\.sh\\.bak-\\d{8}-\\d{6}(-\\d+)?$"_s);
    QStringList backups = filesIn(home);
    backups.removeOne(u"sendArbcmd.sh"_s);
    QCOMPARE(backups.size(), 2);
    QByteArrayList kept;
    for (const QString& name : backups) {
        QVERIFY2(backupName.match(name).hasMatch(), qPrintable(name));
        kept << contents(home.pat() + name);
    }
    QVERIFY(kept.contains(otherScript));
    QVERIFY(kept.contains(secondScript));
    QVERIFY2(first.out.contains(u"sendArbcmd.sh.bak-"_s), qPrintable(first.out));
    verifyScriptWorks(home);
}

void TestScpiInstall::helperPathWithQuoteAndBlank()
{
    TestHome home;
    const QString folder = home.pat() + u"it's a \"dir\" $HOME"_s;
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(QFile::link(realScpi(), folder + u"/kestrel-scpi"_s));
    const InstallRun run = runInstaller(home, {u"--scpi"_s, folder + u"/kestrel-scpi"_s});
    QCOMPARE(run.exitCode, 0);
    verifyScriptWorks(home);
}

void TestScpiInstall::missingHelperIsAnError_data()
{
    QTest::addColumn<bool>("viaHomeVariable");
    QTest::newRow("--home") << false;
    // Kestrel's home is the user database's; a changed $HOME must not move the script.
    QTest::newRow("$HOME changed") << true;
}

// Fails before writing anything, naming the script it would have installed.
void TestScpiInstall::missingHelperIsAnError()
{
    QFETCH(bool, viaHomeVariable);
    TestHome home;
    // Where Kestrel itself would look, with $HOME set to the temporary folder.
    const QByteArray ownHome = qgetenv("HOME");
    qputenv("HOME", home.path().toUtf8());
    const QString target =
        viaHomeVariable ? homeDirectory() + u"/sendArbcmd.sh"_s : scriptPath(home);
    qputenv("HOME", ownHome);
    const InstallRun run = runInstaller(home, {u"--scpi"_s, home.pat() + u"nowhere/kestrel-scpi"_s},
                                        QString(), viaHomeVariable);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(u"cannot install "_s + target + u": no kestrel-scpi at"_s),
             qPrintable(run.err));
    QCOMPARE(filesIn(home), QStringList());
}

QTEST_GUILESS_MAIN(TestScpiInstall)
#include "tst_scpiinstall.moc"
