#include "sim/vxi11server.h"

#include "sim/corechannel.h"
#include "sim/rpcmessage.h"

#include <QNetworkDatagram>

#include <vxi11/vxi11.h>

#include <rpc/pmap_prot.h>

#include <netinet/in.h>

namespace kestrel::sim
{

namespace
{

// Portmapper calls over TCP: each record is one call, answered in order.
class PortmapperConnection : public QObject
{
  public:
    PortmapperConnection(QTcpSocket* socket, std::function<QByteArray(const QByteArray&)> answer,
                         QObject* parent)
        : QObject(parent), socket_(socket), answer_(std::move(answer))
    {
        socket_->setParent(this);
        connect(socket_, &QTcpSocket::readyRead, this, &PortmapperConnection::read);
        connect(socket_, &QTcpSocket::disconnected, this, &QObject::deleteLater);
        read();
    }

  private:
    void read()
    {
        if (!reader_.feed(socket_->readAll())) {
            socket_->abort();
            return;
        }
        while (const std::optional<QByteArray> message = reader_.next()) {
            const QByteArray reply = answer_(*message);
            if (!reply.isEmpty())
                socket_->write(rpc::recordMarked(reply));
        }
    }

    QTcpSocket* socket_;
    std::function<QByteArray(const QByteArray&)> answer_;
    rpc::RecordReader reader_;
};

} // namespace

Vxi11Server::Vxi11Server(InstrumentServer& instrument, QObject* parent)
    : QObject(parent), instrument_(instrument)
{
    connect(&portmapperTcp_, &QTcpServer::newConnection, this,
            &Vxi11Server::acceptPortmapperClients);
    connect(&portmapperUdp_, &QUdpSocket::readyRead, this, &Vxi11Server::readPortmapperDatagrams);
    connect(&core_, &QTcpServer::newConnection, this, &Vxi11Server::acceptCoreClients);
}

bool Vxi11Server::listen(const QHostAddress& address, quint16 portmapper, QString* error,
                         bool* denied)
{
    *denied = false;
    if (!portmapperTcp_.listen(address, portmapper)) {
        *denied = portmapperTcp_.serverError() == QAbstractSocket::SocketAccessError;
        *error = portmapperTcp_.errorString();
        return false;
    }
    if (!portmapperUdp_.bind(address, portmapper)) {
        *denied = portmapperUdp_.error() == QAbstractSocket::SocketAccessError;
        *error = portmapperUdp_.errorString();
        return false;
    }
    if (!core_.listen(address, 0)) {
        *error = core_.errorString();
        return false;
    }
    return true;
}

void Vxi11Server::acceptPortmapperClients()
{
    while (QTcpSocket* socket = portmapperTcp_.nextPendingConnection())
        new PortmapperConnection(
            socket, [this](const QByteArray& message) { return answerPortmapper(message); }, this);
}

void Vxi11Server::readPortmapperDatagrams()
{
    while (portmapperUdp_.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = portmapperUdp_.receiveDatagram();
        const QByteArray reply = answerPortmapper(datagram.data());
        if (!reply.isEmpty())
            portmapperUdp_.writeDatagram(datagram.makeReply(reply));
    }
}

QByteArray Vxi11Server::answerPortmapper(const QByteArray& message) const
{
    const std::optional<rpc::Call> call = rpc::parseCall(message);
    if (!call)
        return {};
    if (call->program != PMAPPROG)
        return rpc::reply(call->xid, rpc::Accept::ProgramUnavailable);
    // Clients that ask rpcbind's versions 3 and 4 first fall back to version 2 on this.
    if (call->version != PMAPVERS)
        return rpc::reply(call->xid, rpc::Accept::ProgramMismatch,
                          rpc::versionRange(PMAPVERS, PMAPVERS));
    if (call->procedure == PMAPPROC_NULL)
        return rpc::reply(call->xid, rpc::Accept::Success);
    if (call->procedure != PMAPPROC_GETPORT)
        return rpc::reply(call->xid, rpc::Accept::ProcedureUnavailable);
    const rpc::Decoded<pmap> query(call->arguments, xdr_pmap);
    if (!query.ok())
        return rpc::reply(call->xid, rpc::Accept::GarbageArguments);
    const bool core = query.value.pm_prog == DEVICE_CORE &&
                      query.value.pm_vers == DEVICE_CORE_VERSION &&
                      query.value.pm_prot == IPPROTO_TCP;
    const u_long port = core ? corePort() : 0;
    return rpc::reply(call->xid, rpc::Accept::Success, rpc::encode(xdr_u_long, port));
}

void Vxi11Server::acceptCoreClients()
{
    while (QTcpSocket* socket = core_.nextPendingConnection())
        new CoreChannel(socket, instrument_, *this);
}

} // namespace kestrel::sim
