#pragma once

#include "data/endpoint.h"
#include "link/shellrunner.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>
#include <mutex>

class QSocketNotifier;

namespace kestrel
{

// What a guard needs to reach the source the way the sweep does, and to say what it did.
struct GuardConfig {
    QString program;     // kestrel-guard; empty: no guard
    QString home;        // the folder holding sendArbcmd.sh
    QString storePath;   // where the guard records what it did; empty: nowhere
    QString profileFile; // the source's profile: how it is switched off; empty: the default
    bool stepSource = false; // a family's step source: it records as such
};

// A kestrel-guard process watching one source for this program. It runs in a session
// of its own (a closing terminal does not end it) and reads this program's word through
// a socket: whether the output may be on, which runs are its to record into, and which
// command processes are running. When the socket closes while the output may be on
// (this program ended or was killed), it ends those commands, switches the source off
// through the same script, confirms that, and records it in those runs. Told to stand
// down, it ends without sending anything. If the guard itself ends, ended() says so.
class Guard : public QObject, private CommandWatch
{
    Q_OBJECT
  public:
    // A guard for that source, or null with the reason in *error.
    static std::unique_ptr<Guard> start(const GuardConfig& config, const Endpoint& source,
                                        QString* error);
    // Closes the socket: a guard still armed then switches the source off.
    ~Guard() override;

    const Endpoint& source() const { return source_; }
    const QString& profileFile() const { return profileFile_; }
    bool isStepSource() const { return stepSource_; }
    qint64 pid() const { return pid_; }
    // The output may be on from now on: the first set-up command is about to go out.
    void arm();
    // The run being measured on the source: the guard records what it did there.
    void watchRun(qint64 id);
    // How many points of that run the sweep has measured: if this program ends before
    // the store has them all, the guard says in the run how many were lost.
    void measured(qint64 run, int points);
    // The output is confirmed off, but the run's end is not in the store yet: the guard
    // no longer switches anything off, and still records lost points.
    void disarm();
    // The output is confirmed off: the guard ends without acting.
    void standDown();
    bool isArmed() const { return armed_; }
    const QList<qint64>& runs() const { return runs_; }
    bool hasEnded() const { return ended_; }

  signals:
    // The guard process has gone, or cannot be told anything any more.
    void ended();

  private:
    Guard(int socket, qint64 pid, Endpoint source, QString profileFile, bool stepSource);
    void commandStarted(int group) override;
    void commandEnded(int group) override;
    // One line to the guard; from any thread. False only when it cannot be told any more
    // (it has gone): a guard slow to read keeps the lines not yet taken, in order, and
    // gets them as it reads.
    bool say(const QByteArray& line);
    // Sends what it can of unsent_, with sending_ held; false when the guard has gone.
    bool flushLocked();
    void sendRest();
    void lost();

    const int socket_;
    const qint64 pid_;
    const Endpoint source_;
    const QString profileFile_;
    const bool stepSource_;
    std::mutex sending_;
    QByteArray unsent_; // under sending_
    QSocketNotifier* hangUp_ = nullptr;
    QSocketNotifier* writable_ = nullptr; // on while lines wait for the guard to read
    bool armed_ = false;
    bool ended_ = false;
    QList<qint64> runs_;
};

// kestrel-guard beside this program, installed in libexec/kestrel, or the one of the
// build tree; empty when there is none.
QString findGuardProgram();

} // namespace kestrel
