#include "sim/instrumentconnection.h"

#include "sim/instrumentserver.h"
#include "sim/linesession.h"

namespace kestrel::sim
{

InstrumentConnection::InstrumentConnection(QTcpSocket* socket, InstrumentServer& server)
    : QObject(&server), socket_(socket)
{
    socket_->setParent(this);
    session_ = new LineSession(
        server,
        [this](const QByteArray& bytes) {
            if (socket_->state() == QAbstractSocket::ConnectedState)
                socket_->write(bytes);
        },
        [this] { socket_->disconnectFromHost(); });
    connect(socket_, &QTcpSocket::readyRead, this, &InstrumentConnection::readBytes);
    connect(socket_, &QTcpSocket::disconnected, this, &InstrumentConnection::peerGone);
    readBytes();
}

void InstrumentConnection::readBytes()
{
    if (session_ && !session_->receive(socket_->readAll()))
        socket_->abort();
}

void InstrumentConnection::peerGone()
{
    if (session_)
        session_->detach();
    session_.clear();
    deleteLater();
}

} // namespace kestrel::sim
