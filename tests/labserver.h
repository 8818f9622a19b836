#pragma once

#include "store/labsettings.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A PostgreSQL server of its own in a temporary folder, on a free loopback port, run by an
// unprivileged user when the test runs as root (initdb refuses root), with the roles of
// README's "Sharing runs across a lab" and a password for each (in a PGPASSFILE set for
// the test's process and the programs it starts): kestrel_owner, bench_a, bench_b and
// kestrel_viewer.
class LabServer
{
  public:
    LabServer() = default;
    ~LabServer();
    LabServer(const LabServer&) = delete;
    LabServer& operator=(const LabServer&) = delete;

    // "" once the server runs with the lab's roles, else what failed. skipped() tells a
    // machine without PostgreSQL's server programs.
    QString start();
    bool skipped() const { return bin_.isEmpty(); }

    // pg_ctl start or stop (mode: fast, immediate): output, or "failed: " and the output.
    QByteArray ctl(const char* what, const char* mode = "fast");
    // A statement or script run by the server's administrator.
    QByteArray psql(const QByteArray& sql, const QString& db = QStringLiteral("kestrel_lab"));
    // A PostgreSQL program of the server's version, as the unprivileged user.
    QByteArray pg(const QString& program, const QStringList& args, const QByteArray& input = {});
    kestrel::LabUri uri(const QString& role,
                        const QString& options = QStringLiteral("sslmode=disable")) const;

    quint16 port() const { return port_; }
    QString bin() const { return bin_; }
    QString dir() const { return dir_.path(); }
    QString filePath(const QString& name) const { return dir_.filePath(name); }

  private:
    QTemporaryDir dir_;
    QString bin_;
    quint16 port_ = 0;
    bool running_ = false;
};
