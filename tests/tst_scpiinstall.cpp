#include "link/commandline.h"
#include "link/homedirectory.h"
#include "link/scriptinstall.h"
#include "link/shellrunner.h"
#include "testhome.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

using namespace kestrel;
using namespace Qt::Literals::StringLiterals;

namespace
{

// Runs the installer in workDir, into `home` with --home, or with $HOME set to it instead.
ToolRun runInstaller(const TestHome& home, const QStringList& args, const QString& workDir = u"."_s,
                     bool viaHomeVariable = false)
{
    const QStringList into =
        viaHomeVariable ? QStringList() : QStringList{u"--home"_s, home.path()};
    return runTool(u"bash"_s,
                   QStringList{u"-c"_s, uR"(cd "$0" && exec bash "$@")"_s,
                               workDir.isEmpty() ? u"."_s : workDir,
                               kestrelSourcePath(u"scripts/install-sendarbcmd.sh"_s)} +
                       into + args,
                   viaHomeVariable ? QStringList{u"HOME="_s + home.path()} : QStringList());
}

QStringList filesIn(const TestHome& home)
{
    return QDir(home.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

QString realScpi()
{
    return QFileInfo(kestrelToolPath(u"kestrel-scpi"_s)).canonicalFilePath();
}

// The installed script hands its three arguments to kestrel-scpi: only that says this.
void verifyScriptRunsKestrelScpi(const TestHome& home)
{
    const ShellResult result =
        runShell(instrumentCommandLine(home.pat(), u"127.0.0.1"_s, u"x"_s, u"*IDN?"_s));
    QVERIFY2(result.output.startsWith(
                 u"kestrel-scpi: 127.0.0.1:x: not a port number or a VXI-11 device name; "_s),
             qPrintable(result.output));
}

} // namespace

class TestScpiInstall : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void freshHomeGetsAWorkingScript_data();
    void freshHomeGetsAWorkingScript();
    void existingScriptIsKeptUnlessForcedWithABackup();
    void missingHelperIsAnError_data();
    void missingHelperIsAnError();

  private:
    QTemporaryDir tools_;
    QString oddScpi_; // a kestrel-scpi whose folder name holds a quote, blanks and a $
};

void TestScpiInstall::initTestCase()
{
    const QString folder = tools_.filePath(u"it's a \"dir\" $HOME"_s);
    QVERIFY(QDir().mkpath(folder));
    oddScpi_ = QDir(folder).canonicalPath() + u"/kestrel-scpi"_s;
    QVERIFY(QFile::link(realScpi(), oddScpi_));
}

void TestScpiInstall::freshHomeGetsAWorkingScript_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("workDir");
    QTest::addColumn<QString>("uses"); // the kestrel-scpi the script must name
    const QString build = qEnvironmentVariable("KESTREL_BUILD_DIR");
    QTest::newRow("absolute --scpi") << QStringList{"--scpi", realScpi()} << "" << realScpi();
    QTest::newRow("relative --scpi")
        << QStringList{"--scpi", "tools/kestrel-scpi"} << build << realScpi();
    QTest::newRow("quote in the path") << QStringList{"--scpi", oddScpi_} << "" << oddScpi_;
}

void TestScpiInstall::freshHomeGetsAWorkingScript()
{
    QFETCH(QStringList, args);
    QFETCH(QString, workDir);
    QFETCH(QString, uses);
    TestHome home;
    const ToolRun run = runInstaller(home, args, workDir);
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains(QByteArray("Installed " + scriptPath(home.path()).toUtf8())),
             run.out.constData());
    QVERIFY(fileContents(scriptPath(home.path()))
                .contains(QByteArray("\nscpi=" + shellQuote(uses).toUtf8() + "\n")));
    QCOMPARE(filesIn(home), QStringList{u"sendArbcmd.sh"_s});
    verifyScriptRunsKestrelScpi(home);
}

void TestScpiInstall::existingScriptIsKeptUnlessForcedWithABackup()
{
    TestHome home;
    const QByteArray mine = "#!/bin/sh\necho mine\n";
    home.installScript(mine);
    const ToolRun kept = runInstaller(home, {u"--scpi"_s, realScpi()});
    QCOMPARE(kept.exitCode, 0);
    QVERIFY2(kept.out.contains("already exists") && kept.out.contains("--force"),
             kept.out.constData());
    QCOMPARE(fileContents(scriptPath(home.path())), mine);
    QCOMPARE(filesIn(home), QStringList{u"sendArbcmd.sh"_s});

    const ToolRun forced = runInstaller(home, {u"--force"_s, u"--scpi"_s, realScpi()});
    QCOMPARE(forced.exitCode, 0);
    QVERIFY2(forced.out.contains("sendArbcmd.sh.bak-"), forced.out.constData());
    verifyScriptRunsKestrelScpi(home);
    QStringList files = filesIn(home);
    QVERIFY(files.removeOne(u"sendArbcmd.sh"_s) && files.size() == 1);
    QVERIFY(
        QRegularExpression(u"^sendArbcmd\\.sh\\.bak-\\d{8}-\\d{6}$"_s).match(files[0]).hasMatch());
    QCOMPARE(fileContents(home.pat() + files[0]), mine);
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
        viaHomeVariable ? homeDirectory() + u"/sendArbcmd.sh"_s : scriptPath(home.path());
    qputenv("HOME", ownHome);
    const ToolRun run = runInstaller(home, {u"--scpi"_s, home.pat() + u"nowhere/kestrel-scpi"_s},
                                     u"."_s, viaHomeVariable);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(
        run.err.contains(QByteArray("cannot install " + target.toUtf8() + ": no kestrel-scpi at")),
        run.err.constData());
    QCOMPARE(filesIn(home), QStringList());
}

QTEST_GUILESS_MAIN(TestScpiInstall)
#include "tst_scpiinstall.moc"
