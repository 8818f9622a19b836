#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A temporary home folder for the instrument script, removed afterwards.
class TestHome
{
  public:
    TestHome();

    QString path() const; // no trailing slash
    QString pat() const;  // path() + "/", as Kestrel joins it with the script name

    // sendArbcmd.sh as scripts/install-sendarbcmd.sh writes it, pointing at the
    // build's kestrel-scpi. Replaces any script there (keeping a backup beside it).
    void installRealScript();
    // Any script as sendArbcmd.sh, executable.
    void installScript(const QByteArray& body);

  private:
    QTemporaryDir dir_;
};

// A program of the build ($KESTREL_BUILD_DIR/tools/NAME).
QString kestrelToolPath(const QString& name);
// A file of the source tree ($KESTREL_SOURCE_DIR/RELATIVE).
QString kestrelSourcePath(const QString& relative);
