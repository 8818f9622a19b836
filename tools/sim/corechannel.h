#pragma once

#include "sim/rpcmessage.h"

#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <map>

namespace kestrel::sim
{

class InstrumentServer;
class LineSession;
class Vxi11Server;

// One client's VXI-11 core channel: its calls run in order, each link a line session of
// the instrument. A device_read waits for a reply line (or its io_timeout) before the
// calls after it run, as the client waits for it. Deletes itself when the client has
// gone; its sessions finish what they received.
class CoreChannel : public QObject
{
    Q_OBJECT

  public:
    CoreChannel(QTcpSocket* socket, InstrumentServer& instrument, Vxi11Server& server);
    ~CoreChannel() override;

  private:
    struct Link {
        QPointer<LineSession> session;
        QByteArray output; // replies not yet read
    };
    struct HeldRead {
        quint32 xid;
        long link;
        qsizetype requestSize;
        std::optional<char> termChar;
    };

    void readRecords();
    void runCalls();
    void handle(const rpc::Call& call);
    void createLink(const rpc::Call& call);
    void write(const rpc::Call& call);
    void read(const rpc::Call& call);
    void clear(const rpc::Call& call);
    void destroyLink(const rpc::Call& call);
    // Answers the held read once its link has a reply line, or at its timeout.
    void serveHeldRead(bool timedOut);
    void deliver(long link, const QByteArray& bytes);
    void answer(quint32 xid, const QByteArray& result);
    Link* findLink(long id);

    QTcpSocket* socket_;
    InstrumentServer& instrument_;
    Vxi11Server& server_;
    rpc::RecordReader reader_;
    std::deque<QByteArray> calls_;
    std::map<long, Link> links_;
    std::optional<HeldRead> held_;
    QTimer heldTimer_;
};

} // namespace kestrel::sim
