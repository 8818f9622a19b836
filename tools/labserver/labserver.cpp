#include "labserver.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>

#include <pwd.h>
#include <unistd.h>

namespace kestrel
{

LabServer::~LabServer()
{
    if (running_)
        ctl("stop", "immediate");
}

QByteArray LabServer::pg(const QString& program, const QStringList& args, const QByteArray& input)
{
    QProcess p;
    p.setWorkingDirectory(dir_.path());
    QStringList command{bin_ + QLatin1Char('/') + program};
    if (geteuid() == 0)
        command = QStringList{"runuser", "-u", "nobody", "--"} + command;
    command += args;
    const QString first = command.takeFirst();
    p.start(first, command);
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(60000);
    const QByteArray output = p.readAllStandardOutput() + p.readAllStandardError();
    if (p.exitCode() != 0)
        qWarning().noquote() << program << "failed:" << output;
    return p.exitCode() == 0 ? output : QByteArray("failed: ") + output;
}

QByteArray LabServer::ctl(const char* what, const char* mode)
{
    const QByteArray output = pg(
        "pg_ctl",
        {"-D", dir_.filePath("data"), "-l", dir_.filePath("log"), "-w", "-m", mode, "-o",
         QString("-p %1 -k %2 -c listen_addresses=127.0.0.1").arg(port_).arg(dir_.path()), what});
    if (!output.startsWith("failed"))
        running_ = QByteArray(what) == "start";
    return output;
}

QByteArray LabServer::psql(const QByteArray& sql, const QString& db)
{
    return pg("psql",
              {"-X", "-q", "-t", "-A", "-v", "ON_ERROR_STOP=1", "-h", dir_.path(), "-p",
               QString::number(port_), "-U", "admin", "-d", db},
              sql);
}

LabUri LabServer::uri(const QString& role, const QString& options) const
{
    return std::get<LabUri>(parseLabUri(
        QString("postgresql://%1@127.0.0.1:%2/kestrel_lab?%3").arg(role).arg(port_).arg(options)));
}

QString LabServer::describe() const
{
    return QStringLiteral("PostgreSQL %1 on 127.0.0.1:%2").arg(version_).arg(port_);
}

QString LabServer::start(Passwords passwords)
{
    const QStringList versions =
        QDir("/usr/lib/postgresql")
            .entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::Reversed);
    version_ = versions.value(0);
    bin_ = "/usr/lib/postgresql/" + version_ + "/bin";
    if (version_.isEmpty() || !QFile::exists(bin_ + "/initdb")) {
        bin_.clear();
        return "PostgreSQL's server programs are missing (Debian: the package postgresql)";
    }
    if (!dir_.isValid())
        return "no temporary folder for the server";
    if (geteuid() == 0) {
        const passwd* nobody = getpwnam("nobody");
        if (!nobody || chown(QFile::encodeName(dir_.path()).constData(), nobody->pw_uid, 0) != 0)
            return "the server's folder cannot be given to nobody";
    }
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost))
            return "no free loopback port";
        port_ = probe.serverPort();
    }
    const bool perRole = passwords == Passwords::PerRole;
    if (QByteArray out =
            pg("initdb",
               {"-D", dir_.filePath("data"), "-U", "admin", "--no-locale", "-E", "UTF8",
                "--auth-local=trust", perRole ? "--auth-host=scram-sha-256" : "--auth-host=trust"});
        out.startsWith("failed"))
        return out;
    if (QByteArray out = ctl("start"); out.startsWith("failed"))
        return out;
    // The roles exactly as README gives them.
    QFile file(QStringLiteral(KESTREL_LABSERVER_SOURCE_DIR "/README.md"));
    const QByteArray readme = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const qsizetype from = readme.indexOf("-- Kestrel's lab roles");
    if (from < 0)
        return "README.md has no lab roles";
    if (QByteArray out = psql(readme.mid(from, readme.indexOf("```", from) - from), "postgres");
        !out.isEmpty())
        return QString("the README's roles: ") + QString::fromUtf8(out);
    if (!perRole)
        return QString();
    if (QByteArray out =
            psql("ALTER ROLE kestrel_owner PASSWORD 'o-pw'; ALTER ROLE bench_a PASSWORD 'a-pw'; "
                 "ALTER ROLE bench_b PASSWORD 'b-pw'; ALTER ROLE kestrel_viewer PASSWORD 'v-pw';");
        !out.isEmpty())
        return out;
    QByteArray pgpass;
    for (const char* line :
         {"kestrel_owner:o-pw", "bench_a:a-pw", "bench_b:b-pw", "kestrel_viewer:v-pw"})
        pgpass += QString("127.0.0.1:%1:kestrel_lab:%2\n").arg(port_).arg(line).toUtf8();
    QFile pass(dir_.filePath("pgpass"));
    if (!pass.open(QIODevice::WriteOnly) || pass.write(pgpass) != pgpass.size())
        return "the password file cannot be written";
    pass.close();
    pass.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    qputenv("PGPASSFILE", dir_.filePath("pgpass").toLocal8Bit());
    return QString();
}

} // namespace kestrel
