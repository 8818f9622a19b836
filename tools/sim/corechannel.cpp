#include "sim/corechannel.h"

#include "sim/instrumentserver.h"
#include "sim/linesession.h"
#include "sim/vxi11server.h"

#include <vxi11/vxi11.h>

namespace kestrel::sim
{

namespace
{

// What one device_write may carry; the line limit of a session is the same.
constexpr u_long maxWriteBytes = 1024 * 1024;

// Device error codes.
constexpr long noError = 0;
constexpr long deviceNotAccessible = 3;
constexpr long invalidLink = 4;
constexpr long ioTimeout = 15;

QByteArray errorResult(long code)
{
    return rpc::encode(xdr_Device_Error, Device_Error{code});
}

} // namespace

CoreChannel::CoreChannel(QTcpSocket* socket, InstrumentServer& instrument, Vxi11Server& server)
    : QObject(&server), socket_(socket), instrument_(instrument), server_(server)
{
    socket_->setParent(this);
    heldTimer_.setSingleShot(true);
    // A coarse timer may fire early; the client must see its own limit first or together.
    heldTimer_.setTimerType(Qt::PreciseTimer);
    connect(&heldTimer_, &QTimer::timeout, this, [this] { serveHeldRead(true); });
    connect(socket_, &QTcpSocket::readyRead, this, &CoreChannel::readRecords);
    connect(socket_, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    readRecords();
}

CoreChannel::~CoreChannel()
{
    for (auto& [id, link] : links_)
        if (link.session)
            link.session->detach();
}

void CoreChannel::readRecords()
{
    if (!reader_.feed(socket_->readAll())) {
        socket_->abort();
        return;
    }
    while (std::optional<QByteArray> message = reader_.next())
        calls_.push_back(std::move(*message));
    runCalls();
}

void CoreChannel::runCalls()
{
    while (!held_ && !calls_.empty() && socket_->state() == QAbstractSocket::ConnectedState) {
        const QByteArray message = std::move(calls_.front());
        calls_.pop_front();
        if (const std::optional<rpc::Call> call = rpc::parseCall(message))
            handle(*call);
    }
}

void CoreChannel::handle(const rpc::Call& call)
{
    if (call.program != DEVICE_CORE) {
        socket_->write(rpc::recordMarked(rpc::reply(call.xid, rpc::Accept::ProgramUnavailable)));
        return;
    }
    if (call.version != DEVICE_CORE_VERSION) {
        socket_->write(rpc::recordMarked(
            rpc::reply(call.xid, rpc::Accept::ProgramMismatch,
                       rpc::versionRange(DEVICE_CORE_VERSION, DEVICE_CORE_VERSION))));
        return;
    }
    switch (call.procedure) {
    case 0:
        answer(call.xid, {});
        return;
    case create_link:
        createLink(call);
        return;
    case device_write:
        write(call);
        return;
    case device_read:
        read(call);
        return;
    case device_clear:
        clear(call);
        return;
    case destroy_link:
        destroyLink(call);
        return;
    default:
        socket_->write(rpc::recordMarked(rpc::reply(call.xid, rpc::Accept::ProcedureUnavailable)));
    }
}

void CoreChannel::answer(quint32 xid, const QByteArray& result)
{
    socket_->write(rpc::recordMarked(rpc::reply(xid, rpc::Accept::Success, result)));
}

CoreChannel::Link* CoreChannel::findLink(long id)
{
    const auto found = links_.find(id);
    return found == links_.end() ? nullptr : &found->second;
}

void CoreChannel::createLink(const rpc::Call& call)
{
    const rpc::Decoded<Create_LinkParms> parms(call.arguments, xdr_Create_LinkParms);
    if (!parms.ok()) {
        socket_->write(rpc::recordMarked(rpc::reply(call.xid, rpc::Accept::GarbageArguments)));
        return;
    }
    Create_LinkResp result{};
    result.maxRecvSize = maxWriteBytes;
    // Each simulated instrument is a LAN instrument of its own: its one device is inst0.
    if (QByteArray(parms.value.device).toLower() != "inst0") {
        result.error = deviceNotAccessible;
        answer(call.xid, rpc::encode(xdr_Create_LinkResp, result));
        return;
    }
    const long id = server_.newLinkId();
    const QPointer<QTcpSocket> socket = socket_;
    links_[id].session = new LineSession(
        instrument_, [this, id](const QByteArray& bytes) { deliver(id, bytes); },
        [socket] {
            if (socket)
                socket->disconnectFromHost();
        });
    result.lid = id;
    answer(call.xid, rpc::encode(xdr_Create_LinkResp, result));
}

void CoreChannel::write(const rpc::Call& call)
{
    const rpc::Decoded<Device_WriteParms> parms(call.arguments, xdr_Device_WriteParms);
    if (!parms.ok()) {
        socket_->write(rpc::recordMarked(rpc::reply(call.xid, rpc::Accept::GarbageArguments)));
        return;
    }
    Device_WriteResp result{};
    Link* link = findLink(parms.value.lid);
    if (!link || !link->session) {
        result.error = invalidLink;
        answer(call.xid, rpc::encode(xdr_Device_WriteResp, result));
        return;
    }
    const QByteArrayView data(parms.value.data.data_val, parms.value.data.data_len);
    // The answer goes first: running the lines may end the connection (the close fault).
    result.size = u_long(data.size());
    answer(call.xid, rpc::encode(xdr_Device_WriteResp, result));
    const QPointer<LineSession> session = link->session;
    if (!session->receive(data)) {
        socket_->abort();
        return;
    }
    if ((parms.value.flags & VXI11_FLAG_END) && session)
        session->endMessage();
}

void CoreChannel::read(const rpc::Call& call)
{
    const rpc::Decoded<Device_ReadParms> parms(call.arguments, xdr_Device_ReadParms);
    if (!parms.ok()) {
        socket_->write(rpc::recordMarked(rpc::reply(call.xid, rpc::Accept::GarbageArguments)));
        return;
    }
    if (!findLink(parms.value.lid)) {
        Device_ReadResp result{};
        result.error = invalidLink;
        answer(call.xid, rpc::encode(xdr_Device_ReadResp, result));
        return;
    }
    held_ = HeldRead{call.xid, parms.value.lid,
                     qsizetype(std::clamp<u_long>(parms.value.requestSize, 1, maxWriteBytes)),
                     std::nullopt};
    if (parms.value.flags & VXI11_FLAG_TERMCHRSET)
        held_->termChar = parms.value.termChar;
    heldTimer_.start(int(std::min<u_long>(parms.value.io_timeout, 600000)));
    serveHeldRead(false);
}

void CoreChannel::serveHeldRead(bool timedOut)
{
    if (!held_)
        return;
    QByteArray& output = links_[held_->link].output;
    Device_ReadResp result{};
    qsizetype size = -1;
    if (const qsizetype end = output.indexOf('\n'); end >= 0) {
        size = end + 1;
        result.reason = VXI11_REASON_END;
    }
    if (held_->termChar) {
        const qsizetype at = output.indexOf(*held_->termChar);
        if (at >= 0 && (size < 0 || at < size)) {
            size = at + 1;
            result.reason = VXI11_REASON_CHR;
        }
        if (at >= 0 && at + 1 == size)
            result.reason |= VXI11_REASON_CHR;
    }
    if ((size < 0 && output.size() >= held_->requestSize) || size > held_->requestSize) {
        size = held_->requestSize;
        result.reason = VXI11_REASON_REQCNT;
    }
    if (size < 0 && !timedOut)
        return;
    QByteArray data;
    if (size < 0) {
        result.error = ioTimeout;
    } else {
        data = output.first(size);
        output.remove(0, size);
    }
    result.data.data_len = u_int(data.size());
    result.data.data_val = data.data();
    const quint32 xid = held_->xid;
    held_.reset();
    heldTimer_.stop();
    answer(xid, rpc::encode(xdr_Device_ReadResp, result, data.size() + 64));
    runCalls();
}

void CoreChannel::deliver(long link, const QByteArray& bytes)
{
    links_[link].output += bytes;
    if (held_ && held_->link == link)
        serveHeldRead(false);
}

void CoreChannel::clear(const rpc::Call& call)
{
    const rpc::Decoded<Device_GenericParms> parms(call.arguments, xdr_Device_GenericParms);
    if (!parms.ok()) {
        socket_->write(rpc::recordMarked(rpc::reply(call.xid, rpc::Accept::GarbageArguments)));
        return;
    }
    Link* link = findLink(parms.value.lid);
    if (link) {
        link->output.clear();
        if (link->session)
            link->session->clear();
    }
    answer(call.xid, errorResult(link ? noError : invalidLink));
}

void CoreChannel::destroyLink(const rpc::Call& call)
{
    const rpc::Decoded<Device_Link> id(call.arguments, xdr_Device_Link);
    if (!id.ok()) {
        socket_->write(rpc::recordMarked(rpc::reply(call.xid, rpc::Accept::GarbageArguments)));
        return;
    }
    Link* link = findLink(id.value);
    if (link && link->session)
        link->session->detach();
    links_.erase(id.value);
    answer(call.xid, errorResult(link ? noError : invalidLink));
}

} // namespace kestrel::sim
