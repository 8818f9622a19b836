#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
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

// What a program did: its exit status (-1 after a crash or when it did not end in
// time), its two output streams and how long it took.
struct ToolRun {
    int exitCode = -1;
    QByteArray out, err;
    qint64 ms = 0;
};

// Runs a program to its end, at most 60 s, while this thread's event loop keeps
// serving the test's own servers. environment: "NAME=value" entries to set, "NAME"
// alone to remove.
ToolRun runTool(const QString& program, const QStringList& args,
                const QStringList& environment = {});

// A program of the build ($KESTREL_BUILD_DIR/tools/NAME).
QString kestrelToolPath(const QString& name);
// A file of the source tree ($KESTREL_SOURCE_DIR/RELATIVE).
QString kestrelSourcePath(const QString& relative);
