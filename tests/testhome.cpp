#include "testhome.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

namespace
{

// Set by kestrel_test() in tests/CMakeLists.txt; without it no tool can be found.
QString folderFromEnvironment(const char* name)
{
    QString folder = qEnvironmentVariable(name);
    if (folder.isEmpty())
        qFatal("%s is not set: run the tests through ctest", name);
    return folder;
}

} // namespace

QString kestrelToolPath(const QString& name)
{
    return folderFromEnvironment("KESTREL_BUILD_DIR") + QStringLiteral("/tools/") + name;
}

QString kestrelSourcePath(const QString& relative)
{
    return folderFromEnvironment("KESTREL_SOURCE_DIR") + QLatin1Char('/') + relative;
}

ToolRun runScpi(const QStringList& args)
{
    return runTool(kestrelToolPath(QStringLiteral("kestrel-scpi")), args);
}

QByteArray fileContents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QString readWithoutEndpoints(const QString& path)
{
    static const QRegularExpression differs(QStringLiteral("^# (started|ended|source|meter): .*\n"),
                                            QRegularExpression::MultilineOption);
    return QString::fromUtf8(fileContents(path)).remove(differs);
}

ToolRun runTool(const QString& program, const QStringList& args, const QStringList& environment)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& entry : environment)
        entry.contains(QLatin1Char('='))
            ? env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1))
            : env.remove(entry);
    process.setProcessEnvironment(env);
    QElapsedTimer clock;
    clock.start();
    QSignalSpy finished(&process, &QProcess::finished);
    process.start(program, args);
    // Far above what any run takes, so a slow machine under the sanitizers is no failure.
    if (!finished.wait(60000)) {
        process.kill();
        process.waitForFinished();
        return {-1, {}, "not ended after 60 s", clock.elapsed()};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError(), clock.elapsed()};
}

TestHome::TestHome()
{
    if (!dir_.isValid())
        qWarning("TestHome: cannot create a temporary folder: %s", qPrintable(dir_.errorString()));
}

void TestHome::installRealScript()
{
    const ToolRun run =
        runTool(QStringLiteral("bash"),
                {kestrelSourcePath(QStringLiteral("scripts/install-sendarbcmd.sh")),
                 QStringLiteral("--home"), path(), QStringLiteral("--force"),
                 QStringLiteral("--scpi"), kestrelToolPath(QStringLiteral("kestrel-scpi"))});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QVERIFY(QFileInfo(pat() + QStringLiteral("sendArbcmd.sh")).isExecutable());
}

void TestHome::installScript(const QByteArray& body)
{
    writeFile(pat() + QStringLiteral("sendArbcmd.sh"), body, true);
}

void writeFile(const QString& path, const QByteArray& body, bool executable)
{
    QFile file(path);
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(file.errorString()));
    QVERIFY(file.write(body) == body.size());
    file.close();
    if (executable)
        QVERIFY(
            file.setPermissions(file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeUser));
}
