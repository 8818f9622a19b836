#pragma once

#include "store/labsettings.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace kestrel
{

// A PostgreSQL server of its own, for the tests and the benchmarks: the newest
// /usr/lib/postgresql/*/bin, a cluster in a temporary folder, listening on a free port of
// 127.0.0.1 only, run by `nobody` when the program runs as root (initdb refuses root),
// with the roles of README's "Sharing runs across a lab". Stopped when the object goes.
class LabServer
{
  public:
    // Trust on loopback, or a password for each role (kestrel_owner o-pw, bench_a a-pw,
    // bench_b b-pw, kestrel_viewer v-pw) in a PGPASSFILE set for this process and the
    // programs it starts.
    enum class Passwords { None, PerRole };

    LabServer() = default;
    ~LabServer();
    LabServer(const LabServer&) = delete;
    LabServer& operator=(const LabServer&) = delete;

    // "" once the server runs with the lab's roles, else what failed. skipped() tells a
    // machine without PostgreSQL's server programs.
    QString start(Passwords passwords = Passwords::PerRole);
    bool skipped() const { return bin_.isEmpty(); }

    // pg_ctl start or stop (mode: fast, immediate): output, or "failed: " and the output.
    QByteArray ctl(const char* what, const char* mode = "fast");
    // A statement or script run by the server's administrator.
    QByteArray psql(const QByteArray& sql, const QString& db = QStringLiteral("kestrel_lab"));
    // A PostgreSQL program of the server's version, as the unprivileged user.
    QByteArray pg(const QString& program, const QStringList& args, const QByteArray& input = {});
    LabUri uri(const QString& role,
               const QString& options = QStringLiteral("sslmode=disable")) const;
    // "PostgreSQL 15 on 127.0.0.1:PORT".
    QString describe() const;

    quint16 port() const { return port_; }
    QString bin() const { return bin_; }
    QString dir() const { return dir_.path(); }
    QString filePath(const QString& name) const { return dir_.filePath(name); }

  private:
    QTemporaryDir dir_;
    QString bin_;
    QString version_;
    quint16 port_ = 0;
    bool running_ = false;
};

} // namespace kestrel
