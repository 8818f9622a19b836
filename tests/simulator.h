#pragma once

#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace kestrel
{
class SimProcess;
}

// The build's kestrel-sim with both instruments on loopback and free ports:
// --source 127.0.0.2:0 --meter 127.0.0.3:0 --log <tmpdir>/sim.log --log-format timed,
// plus extraArgs.
// Stopped with SIGTERM when destroyed.
//
// The log shows a command once the simulator has read it. kestrel-scpi may end
// just before that for a command without reply, so compare logs with QTRY_*.
class Simulator
{
  public:
    explicit Simulator(QStringList extraArgs = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Starts it and waits (up to 5 s) for both listening lines; with --smu, for the source's.
    bool start();

    QString sourceAddress() const;
    QString sourcePort() const;
    QString meterAddress() const;
    QString meterPort() const;
    // With --step-source among extraArgs.
    QString stepPort() const;
    // With --serial among extraArgs: the instruments' serial lines (/dev/pts/N).
    QString sourceSerial() const;
    QString meterSerial() const;
    // With --vxi11: the source's VXI-11 core channel port, else 0.
    quint16 sourceCorePort() const;

    // Every command line received, in order: "source\t*IDN?", "meter\t:MEAS:CURR:DC?".
    QStringList log() const;
    // The same lines, each with the milliseconds at which the simulator read it.
    QList<std::pair<double, QString>> timedLog() const;
    // The same without the instrument name, one instrument only.
    QStringList sourceCommands() const;
    QStringList meterCommands() const;

  private:
    QStringList commandsOf(const QString& instrument) const;

    QStringList extraArgs_;
    QTemporaryDir dir_;
    std::unique_ptr<kestrel::SimProcess> process_;
};
