#pragma once

#include "sim/faults.h"
#include "sim/instrument.h"

#include <QAbstractSocket>
#include <QObject>

#include <deque>

namespace kestrel::sim
{

class InstrumentServer;

// One client's connection, or one serial line. Lines run strictly in order; a delayed
// measurement holds back the lines after it on this connection only. A connection
// deletes itself when the client has gone and nothing is left to run; a serial line
// never goes.
class InstrumentConnection : public QObject
{
    Q_OBJECT

  public:
    // Takes the device over; replies end in lineEnd.
    InstrumentConnection(QIODevice* device, InstrumentServer& server, QByteArray lineEnd = "\n");

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

    QIODevice* device_;
    QAbstractSocket* socket_; // the device, when it is a TCP connection
    InstrumentServer& server_;
    QByteArray lineEnd_;
    QByteArray received_;
    std::deque<Pending> pending_;
    bool waiting_ = false;
    bool gone_ = false;
};

} // namespace kestrel::sim
