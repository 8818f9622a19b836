#include "sim/instrumentserver.h"

#include "sim/commandlog.h"
#include "sim/instrumentconnection.h"

#include <QTcpSocket>

namespace kestrel::sim
{

InstrumentServer::InstrumentServer(QByteArray name, Instrument& instrument, ServerSettings settings,
                                   CommandLog* log, QObject* parent)
    : QObject(parent), name_(std::move(name)), instrument_(instrument),
      settings_(std::move(settings)), log_(log)
{
    connect(&server_, &QTcpServer::newConnection, this, &InstrumentServer::acceptConnections);
}

bool InstrumentServer::listen(const QHostAddress& address, quint16 port, QString* error)
{
    if (server_.listen(address, port))
        return true;
    *error = server_.errorString();
    return false;
}

void InstrumentServer::acceptConnections()
{
    while (QTcpSocket* socket = server_.nextPendingConnection())
        new InstrumentConnection(socket, *this);
}

std::optional<FaultKind> InstrumentServer::receive(QByteArrayView line)
{
    if (log_)
        log_->record(name_, line);
    return faultAt(settings_.faults, ++received_);
}

} // namespace kestrel::sim
