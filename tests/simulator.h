#pragma once

#include "simprocess/simprocess.h"

#include <QStringList>
#include <QTemporaryDir>

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
    explicit Simulator(QStringList extraArgs = {}) : extraArgs_(std::move(extraArgs)) {}
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Starts it and waits (up to 5 s) for both listening lines; with --smu, for the source's.
    bool start();

    QString sourceAddress() const { return process_.sourceAddress(); }
    QString sourcePort() const { return QString::number(process_.sourcePort()); }
    QString meterAddress() const { return process_.meterAddress(); }
    QString meterPort() const { return QString::number(process_.meterPort()); }
    // With --step-source among extraArgs.
    QString stepPort() const { return QString::number(process_.stepPort()); }
    QString stepAddress() const { return process_.stepAddress(); }
    // With --serial among extraArgs: the instruments' serial lines (/dev/pts/N).
    QString sourceSerial() const { return process_.sourceSerial(); }
    QString meterSerial() const { return process_.meterSerial(); }
    // With --vxi11: the source's VXI-11 core channel port, else 0.
    quint16 sourceCorePort() const { return process_.sourceCorePort(); }

    // Every command line received, in order: "source\t*IDN?", "meter\t:MEAS:CURR:DC?".
    QStringList log() const;
    // The same lines, each with the milliseconds at which the simulator read it.
    QList<std::pair<double, QString>> timedLog() const;
    // The same without the instrument name, one instrument only.
    QStringList sourceCommands() const { return commandsOf(QStringLiteral("source")); }
    QStringList meterCommands() const { return commandsOf(QStringLiteral("meter")); }
    QStringList stepCommands() const { return commandsOf(QStringLiteral("step")); }

  private:
    QStringList commandsOf(const QString& instrument) const;

    QStringList extraArgs_;
    QTemporaryDir dir_;
    kestrel::SimProcess process_;
};
