#pragma once

#include "sim/faults.h"
#include "sim/instrument.h"

#include <QObject>
#include <QTcpSocket>

#include <deque>

namespace kestrel::sim
{

class InstrumentServer;

// One client's connection. Lines run strictly in order; a delayed measurement
// holds back the lines after it on this connection only. Deletes itself when
// the client has gone and nothing is left to run.
class InstrumentConnection : public QObject
{
    Q_OBJECT

  public:
    InstrumentConnection(QTcpSocket* socket, InstrumentServer& server);

  private:
    struct Pending {
        QByteArray line;
        std::optional<FaultKind> fault;
    };

    void readLines();
    void runPending();
    void answer(const Response& response, std::optional<FaultKind> fault);
    void send(const QByteArray& bytes);
    void peerGone();

    QTcpSocket* socket_;
    InstrumentServer& server_;
    QByteArray received_;
    std::deque<Pending> pending_;
    bool waiting_ = false;
    bool gone_ = false;
};

} // namespace kestrel::sim
