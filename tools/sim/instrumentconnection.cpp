#include "sim/instrumentconnection.h"

#include "sim/instrumentserver.h"

#include <QTimer>

namespace kestrel::sim
{

namespace
{

// A client that sends this much without a line feed is not talking SCPI.
constexpr qsizetype maxLineBytes = 1024 * 1024;

} // namespace

InstrumentConnection::InstrumentConnection(QIODevice* device, InstrumentServer& server,
                                           QByteArray lineEnd)
    : QObject(&server), device_(device), socket_(qobject_cast<QAbstractSocket*>(device)),
      server_(server), lineEnd_(std::move(lineEnd))
{
    device_->setParent(this);
    connect(device_, &QIODevice::readyRead, this, &InstrumentConnection::readLines);
    if (socket_)
        connect(socket_, &QAbstractSocket::disconnected, this, &InstrumentConnection::peerGone);
    readLines();
}

void InstrumentConnection::readLines()
{
    received_ += device_->readAll();
    qsizetype end;
    while ((end = received_.indexOf('\n')) >= 0) {
        QByteArray line = received_.first(end);
        received_.remove(0, end + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().isEmpty())
            continue;
        const std::optional<FaultKind> fault = server_.receive(line);
        pending_.push_back({std::move(line), fault});
    }
    if (received_.size() > maxLineBytes) {
        received_.clear();
        if (socket_)
            socket_->abort();
    }
    runPending();
}

void InstrumentConnection::runPending()
{
    while (!waiting_ && !pending_.empty()) {
        const Pending next = std::move(pending_.front());
        pending_.pop_front();
        const Response response = server_.execute(next.line);
        if (response.reply && response.measurement && server_.latencyMs() > 0 &&
            next.fault != FaultKind::Silent) {
            waiting_ = true;
            QTimer::singleShot(server_.latencyMs(), this, [this, response, fault = next.fault] {
                waiting_ = false;
                answer(response, fault);
                runPending();
            });
            return;
        }
        answer(response, next.fault);
    }
    if (gone_ && !waiting_)
        deleteLater();
}

void InstrumentConnection::answer(const Response& response, std::optional<FaultKind> fault)
{
    if (!response.reply)
        return;
    if (fault == FaultKind::Silent)
        return;
    if (fault == FaultKind::Garbage) {
        send(garbageReply + lineEnd_);
        return;
    }
    if (fault == FaultKind::Close) {
        // Half the reply and never its line end. The rest of a connection's queue dies
        // with it; a serial line has no connection to close and goes on.
        send(response.reply->first(std::max<qsizetype>(1, response.reply->size() / 2)));
        if (socket_) {
            pending_.clear();
            socket_->disconnectFromHost();
        }
        return;
    }
    send(*response.reply + lineEnd_);
}

void InstrumentConnection::send(const QByteArray& bytes)
{
    if (!socket_ || socket_->state() == QAbstractSocket::ConnectedState)
        device_->write(bytes);
}

void InstrumentConnection::peerGone()
{
    // Lines already received still take effect, even without anyone to answer.
    gone_ = true;
    if (!waiting_)
        runPending();
}

} // namespace kestrel::sim
