#include "sim/linesession.h"

#include "sim/instrumentserver.h"

#include <QTimer>

namespace kestrel::sim
{

namespace
{

// A client that sends this much without a line feed is not talking SCPI.
constexpr qsizetype maxLineBytes = 1024 * 1024;

} // namespace

LineSession::LineSession(InstrumentServer& server, Send send, Close close)
    : QObject(&server), server_(server), send_(std::move(send)), close_(std::move(close))
{
}

bool LineSession::receive(QByteArrayView bytes)
{
    received_ += bytes;
    qsizetype end;
    while ((end = received_.indexOf('\n')) >= 0) {
        QByteArray line = received_.first(end);
        received_.remove(0, end + 1);
        takeLine(std::move(line));
    }
    const bool sane = received_.size() <= maxLineBytes;
    if (!sane)
        received_.clear();
    runPending();
    return sane;
}

void LineSession::endMessage()
{
    if (!received_.isEmpty())
        takeLine(std::exchange(received_, {}));
    runPending();
}

void LineSession::clear()
{
    received_.clear();
    pending_.clear();
}

void LineSession::takeLine(QByteArray line)
{
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.trimmed().isEmpty())
        return;
    const std::optional<FaultKind> fault = server_.receive(line);
    pending_.push_back({std::move(line), fault});
}

void LineSession::runPending()
{
    while (!waiting_ && !pending_.empty()) {
        const Pending next = std::move(pending_.front());
        pending_.pop_front();
        const Response response = server_.execute(next.line);
        const int delayMs = server_.latencyMs() + response.integrationMs;
        if (response.reply && response.measurement && delayMs > 0 &&
            next.fault != FaultKind::Silent) {
            waiting_ = true;
            QTimer::singleShot(delayMs, this, [this, response, fault = next.fault] {
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

void LineSession::answer(const Response& response, std::optional<FaultKind> fault)
{
    if (!response.reply || gone_)
        return;
    if (fault == FaultKind::Silent)
        return;
    if (fault == FaultKind::Garbage) {
        send_(QByteArray(garbageReply) + '\n');
        return;
    }
    if (fault == FaultKind::Close) {
        // Half the reply and never its line feed; the rest of the queue dies with the link.
        pending_.clear();
        send_(response.reply->first(std::max<qsizetype>(1, response.reply->size() / 2)));
        // Closing may end the client and with it detach this session, replacing close_.
        const Close close = close_;
        close();
        return;
    }
    send_(*response.reply + '\n');
}

void LineSession::detach()
{
    gone_ = true;
    send_ = [](const QByteArray&) {};
    close_ = [] {};
    if (!waiting_)
        runPending();
}

} // namespace kestrel::sim
