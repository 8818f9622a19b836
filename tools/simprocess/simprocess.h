#pragma once

#include <QProcess>
#include <QString>

namespace kestrel
{

// Runs kestrel-sim as a child process and learns where its instruments listen
// from the lines it prints on start. Its standard error goes to ours.
class SimProcess
{
  public:
    SimProcess();
    ~SimProcess(); // stops the simulator if it still runs
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts the program and waits up to timeoutMs for both listening lines (with --smu, the
    // source's alone; the meter's address and port then stay empty), and with --step-source
    // the step source's too.
    bool start(const QString& program, const QStringList& args, int timeoutMs, QString* error);
    // SIGTERM, then waits; SIGKILL after timeoutMs. The exit code, or -1 after a crash or kill.
    int stop(int timeoutMs = 3000);

    QString sourceAddress() const { return sourceAddress_; }
    quint16 sourcePort() const { return sourcePort_; }
    QString meterAddress() const { return meterAddress_; }
    quint16 meterPort() const { return meterPort_; }
    QString stepAddress() const { return stepAddress_; }
    quint16 stepPort() const { return stepPort_; }
    // The serial lines' paths (/dev/pts/N) with --serial; empty without.
    QString sourceSerial() const { return sourceSerial_; }
    QString meterSerial() const { return meterSerial_; }
    // The VXI-11 core channel's port, with --vxi11; 0 without.
    quint16 sourceCorePort() const { return sourceCorePort_; }
    quint16 meterCorePort() const { return meterCorePort_; }

  private:
    bool readListeningLines();

    QProcess process_;
    QByteArray output_;
    QString sourceAddress_;
    QString meterAddress_;
    QString sourceSerial_;
    QString meterSerial_;
    quint16 sourcePort_ = 0;
    quint16 meterPort_ = 0;
    QString stepAddress_;
    quint16 stepPort_ = 0;
    quint16 sourceCorePort_ = 0;
    quint16 meterCorePort_ = 0;
    bool meterExpected_ = true;
    bool stepExpected_ = false;
};

} // namespace kestrel
