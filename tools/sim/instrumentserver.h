#pragma once

#include "sim/faults.h"
#include "sim/instrument.h"

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>

namespace kestrel::sim
{

class CommandLog;

struct ServerSettings {
    int latencyMs = 0;               // added before each measurement reply
    std::vector<FaultSwitch> faults; // this instrument's only
};

// One instrument on one TCP port: any number of connections, each taking
// line-terminated commands in order.
class InstrumentServer : public QObject
{
    Q_OBJECT

  public:
    InstrumentServer(QByteArray name, Instrument& instrument, ServerSettings settings,
                     CommandLog* log, QObject* parent = nullptr);

    bool listen(const QHostAddress& address, quint16 port, QString* error);
    QHostAddress address() const { return server_.serverAddress(); }
    quint16 port() const { return server_.serverPort(); }

    // Logs and counts one received line; returns the fault in force for it.
    std::optional<FaultKind> receive(QByteArrayView line);
    Response execute(QByteArrayView line) { return instrument_.execute(line); }
    int latencyMs() const { return settings_.latencyMs; }

  private:
    void acceptConnections();

    QByteArray name_;
    Instrument& instrument_;
    ServerSettings settings_;
    CommandLog* log_;
    QTcpServer server_;
    qint64 received_ = 0;
};

} // namespace kestrel::sim
