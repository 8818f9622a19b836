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

    QString path() const { return dir_.path(); } // no trailing slash
    // path() + "/", as Kestrel joins it with the script name
    QString pat() const { return path() + QLatin1Char('/'); }

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
// The build's kestrel-scpi.
ToolRun runScpi(const QStringList& args);
// body as the file path, in a folder made if need be.
void writeFile(const QString& path, const QByteArray& body, bool executable = false);
// A file's bytes, or "<missing>" when it cannot be read.
QByteArray fileContents(const QString& path);
// A file's text without the CSV header lines that differ between two runs of one sweep
// (the times and the endpoints); "<missing>" when it cannot be read.
QString readWithoutEndpoints(const QString& path);
// A file of the source tree ($KESTREL_SOURCE_DIR/RELATIVE).
QString kestrelSourcePath(const QString& relative);
