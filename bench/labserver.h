#pragma once

#include "store/labsettings.h"

#include <QString>
#include <QTemporaryDir>

namespace kestrel::bench
{

// A PostgreSQL server of the bench's own: the newest /usr/lib/postgresql/*/bin, a
// cluster in a temporary folder, listening on a free port of 127.0.0.1 only, run by
// `nobody` when the bench runs as root (initdb refuses root). It has the roles of
// README's "Sharing runs across a lab" without passwords (trust on loopback), and the
// schema made by the owner role. Stopped when the object goes.
class LabServer
{
  public:
    LabServer() = default;
    ~LabServer();
    LabServer(const LabServer&) = delete;
    LabServer& operator=(const LabServer&) = delete;

    // "" when it runs, else why not.
    QString start();
    // bench_a's address, as a bench would set it.
    LabUri benchUri() const;
    // "PostgreSQL 15 of this bench's own on 127.0.0.1:PORT".
    QString describe() const;

  private:
    // Runs one of the server's programs; "" when it ended well, else its output.
    QString run(const QString& program, const QStringList& args, const QByteArray& input = {});
    QString uriFor(const QString& role) const;

    QTemporaryDir dir_;
    QString bin_;
    QString version_;
    quint16 port_ = 0;
    bool running_ = false;
};

} // namespace kestrel::bench
