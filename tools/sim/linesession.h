#pragma once

#include "sim/faults.h"
#include "sim/instrument.h"

#include <QObject>
#include <QPointer>

#include <deque>
#include <functional>

namespace kestrel::sim
{

class InstrumentServer;

// One client's stream of command lines to an instrument, whatever carries it (a raw
// socket, a VXI-11 link). Lines run strictly in order; a delayed measurement holds back
// the lines after it in this stream only. Replies, each ending in a line feed, go to
// `send`; `close` ends the client's connection (the close fault).
class LineSession : public QObject
{
    Q_OBJECT

  public:
    using Send = std::function<void(const QByteArray&)>;
    using Close = std::function<void()>;

    LineSession(InstrumentServer& server, Send send, Close close);

    // Takes bytes from the client and runs each complete line. False once more than
    // 1 MiB came without a line feed: the client is not talking SCPI.
    bool receive(QByteArrayView bytes);
    // The message ends here, line feed or not (VXI-11's END).
    void endMessage();
    // Drops the lines not yet run and anything half received (VXI-11's device clear).
    void clear();
    // The client has gone: lines already received still take effect, without anyone to
    // answer; then the session deletes itself.
    void detach();

  private:
    struct Pending {
        QByteArray line;
        std::optional<FaultKind> fault;
    };

    void takeLine(QByteArray line);
    void runPending();
    void answer(const Response& response, std::optional<FaultKind> fault);

    InstrumentServer& server_;
    Send send_;
    Close close_;
    QByteArray received_;
    std::deque<Pending> pending_;
    bool waiting_ = false;
    bool gone_ = false;
};

} // namespace kestrel::sim
