#include "sim/instrumentconnection.h"

#include "sim/instrumentserver.h"
#include "sim/linesession.h"

namespace kestrel::sim
{

InstrumentConnection::InstrumentConnection(QIODevice* device, InstrumentServer& server,
                                           QByteArray lineEnd)
    : QObject(&server), device_(device), socket_(qobject_cast<QAbstractSocket*>(device)),
      lineEnd_(std::move(lineEnd))
{
    device_->setParent(this);
    // The close fault: a socket's connection ends; a serial line has none to close, so
    // the reply just stops short.
    session_ = new LineSession(
        server, [this](const QByteArray& bytes) { send(bytes); },
        [this] {
            if (socket_)
                socket_->disconnectFromHost();
        });
    connect(device_, &QIODevice::readyRead, this, &InstrumentConnection::readBytes);
    if (socket_)
        connect(socket_, &QAbstractSocket::disconnected, this, &InstrumentConnection::peerGone);
    readBytes();
}

void InstrumentConnection::readBytes()
{
    if (session_ && !session_->receive(device_->readAll()) && socket_)
        socket_->abort();
}

void InstrumentConnection::send(QByteArray bytes)
{
    if (socket_ && socket_->state() != QAbstractSocket::ConnectedState)
        return;
    if (bytes.endsWith('\n') && lineEnd_ != "\n") {
        bytes.chop(1);
        bytes += lineEnd_;
    }
    device_->write(bytes);
}

void InstrumentConnection::peerGone()
{
    if (session_)
        session_->detach();
    session_.clear();
    deleteLater();
}

} // namespace kestrel::sim
