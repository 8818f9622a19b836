#pragma once

#include <QObject>
#include <QPointer>
#include <QTcpSocket>

namespace kestrel::sim
{

class InstrumentServer;
class LineSession;

// One client's raw socket: its bytes go to a line session, the replies come back.
// Deletes itself when the client has gone; the session finishes what it received.
class InstrumentConnection : public QObject
{
    Q_OBJECT

  public:
    InstrumentConnection(QTcpSocket* socket, InstrumentServer& server);

  private:
    void readBytes();
    void peerGone();

    QTcpSocket* socket_;
    QPointer<LineSession> session_;
};

} // namespace kestrel::sim
