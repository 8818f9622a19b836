#include "labserver.h"

#include "store/labstore.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>

#include <pwd.h>
#include <unistd.h>

namespace kestrel::bench
{

LabServer::~LabServer()
{
    if (running_)
        run(QStringLiteral("pg_ctl"),
            {QStringLiteral("-D"), dir_.filePath(QStringLiteral("data")), QStringLiteral("-w"),
             QStringLiteral("-m"), QStringLiteral("immediate"), QStringLiteral("stop")});
}

QString LabServer::run(const QString& program, const QStringList& args, const QByteArray& input)
{
    QStringList command{bin_ + QLatin1Char('/') + program};
    if (geteuid() == 0)
        command = QStringList{QStringLiteral("runuser"), QStringLiteral("-u"),
                              QStringLiteral("nobody"), QStringLiteral("--")} +
                  command;
    command += args;
    QProcess process;
    process.setWorkingDirectory(dir_.path());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(command.takeFirst(), command);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000))
        return program + QStringLiteral(" did not end within 60 s");
    const QString output = QString::fromLocal8Bit(process.readAll()).trimmed();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return QStringLiteral("%1 failed: %2").arg(program, output);
    return QString();
}

QString LabServer::start()
{
    const QStringList versions =
        QDir(QStringLiteral("/usr/lib/postgresql"))
            .entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::Reversed);
    version_ = versions.value(0);
    bin_ = QStringLiteral("/usr/lib/postgresql/") + version_ + QStringLiteral("/bin");
    if (version_.isEmpty() || !QFile::exists(bin_ + QStringLiteral("/initdb")))
        return QStringLiteral("no lab store is set (kestrel-runs lab set URI), and PostgreSQL's "
                              "server programs, to start one, are missing (Debian: the package "
                              "postgresql)");
    if (!dir_.isValid())
        return QStringLiteral("cannot make a temporary folder for the server");
    if (geteuid() == 0) {
        const passwd* nobody = getpwnam("nobody");
        if (!nobody || chown(QFile::encodeName(dir_.path()).constData(), nobody->pw_uid, 0) != 0)
            return QStringLiteral("cannot give the server's folder to the user nobody");
    }
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost))
            return QStringLiteral("no free port on 127.0.0.1");
        port_ = probe.serverPort();
    }
    const QString data = dir_.filePath(QStringLiteral("data"));
    if (QString problem =
            run(QStringLiteral("initdb"),
                {QStringLiteral("-D"), data, QStringLiteral("-U"), QStringLiteral("admin"),
                 QStringLiteral("--no-locale"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                 QStringLiteral("--auth=trust")});
        !problem.isEmpty())
        return problem;
    if (QString problem =
            run(QStringLiteral("pg_ctl"),
                {QStringLiteral("-D"), data, QStringLiteral("-l"),
                 dir_.filePath(QStringLiteral("log")), QStringLiteral("-w"), QStringLiteral("-o"),
                 QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1")
                     .arg(port_)
                     .arg(dir_.path()),
                 QStringLiteral("start")});
        !problem.isEmpty())
        return problem;
    running_ = true;
    // The roles exactly as README gives them.
    QFile readme(QStringLiteral(KESTREL_BENCH_SOURCE_DIR "/README.md"));
    const QByteArray text = readme.open(QIODevice::ReadOnly) ? readme.readAll() : QByteArray();
    const qsizetype from = text.indexOf("-- Kestrel's lab roles");
    const qsizetype to = text.indexOf("```", from);
    if (from < 0 || to < 0)
        return QStringLiteral("README.md gives no lab roles to make");
    if (QString problem =
            run(QStringLiteral("psql"),
                {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-v"),
                 QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-h"), dir_.path(),
                 QStringLiteral("-p"), QString::number(port_), QStringLiteral("-U"),
                 QStringLiteral("admin"), QStringLiteral("-d"), QStringLiteral("postgres")},
                text.mid(from, to - from));
        !problem.isEmpty())
        return problem;
    return LabStore(std::get<LabUri>(parseLabUri(uriFor(QStringLiteral("kestrel_owner"))))).open();
}

QString LabServer::uriFor(const QString& role) const
{
    return QStringLiteral("postgresql://%1@127.0.0.1:%2/kestrel_lab?sslmode=disable")
        .arg(role)
        .arg(port_);
}

LabUri LabServer::benchUri() const
{
    return std::get<LabUri>(parseLabUri(uriFor(QStringLiteral("bench_a"))));
}

QString LabServer::describe() const
{
    return QStringLiteral("PostgreSQL %1 of the bench's own on 127.0.0.1:%2")
        .arg(version_)
        .arg(port_);
}

} // namespace kestrel::bench
