#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QObject>
#include <QPointer>

namespace kestrel::sim
{

class InstrumentServer;
class LineSession;

// One client's raw socket, or one serial line: its bytes go to a line session, the
// replies come back ending in lineEnd. A socket's connection deletes itself when the
// client has gone (the session finishes what it received); a serial line never goes.
class InstrumentConnection : public QObject
{
    Q_OBJECT

  public:
    // Takes the device over.
    InstrumentConnection(QIODevice* device, InstrumentServer& server, QByteArray lineEnd = "\n");

  private:
    void readBytes();
    void send(QByteArray bytes);
    void peerGone();

    QIODevice* device_;
    QAbstractSocket* socket_; // the device, when it is a TCP connection
    QByteArray lineEnd_;
    QPointer<LineSession> session_;
};

} // namespace kestrel::sim
