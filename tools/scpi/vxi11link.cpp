#include "scpi/vxi11link.h"

#include "scpi/deadline.h"
#include "scpi/replyline.h"
#include "scpi/tcpconnect.h"
#include "scpi/writeall.h"

#include <vxi11/vxi11.h>

#include <rpc/pmap_prot.h>
#include <rpc/rpc.h>

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace kestrel::scpi
{

namespace
{

constexpr long deviceLocked = 11;
constexpr long ioTimeout = 15;

std::string numberText(long value)
{
    std::array<char, 24> text{};
    const auto end = std::to_chars(text.data(), text.data() + text.size(), value).ptr;
    return std::string(text.data(), end);
}

// The error codes a VXI-11 device returns in its replies.
std::string deviceError(long code)
{
    const char* meaning = "unknown error";
    switch (code) {
    case 1:
        meaning = "syntax error";
        break;
    case 3:
        meaning = "device not accessible";
        break;
    case 4:
        meaning = "invalid link identifier";
        break;
    case 5:
        meaning = "parameter error";
        break;
    case 6:
        meaning = "channel not established";
        break;
    case 8:
        meaning = "operation not supported";
        break;
    case 9:
        meaning = "out of resources";
        break;
    case 11:
        meaning = "device locked by another link";
        break;
    case 12:
        meaning = "no lock held by this link";
        break;
    case 15:
        meaning = "I/O timeout";
        break;
    case 17:
        meaning = "I/O error";
        break;
    case 21:
        meaning = "invalid address";
        break;
    case 23:
        meaning = "abort";
        break;
    case 29:
        meaning = "channel already established";
        break;
    }
    return "device error " + numberText(code) + ": " + meaning;
}

// Why the server refused a call.
std::string callFailure(clnt_stat status)
{
    switch (status) {
    case RPC_PROGUNAVAIL:
    case RPC_PROGVERSMISMATCH:
    case RPC_PROCUNAVAIL:
        return std::string("the instrument does not serve this VXI-11 call (") +
               clnt_sperrno(status) + ")";
    default:
        return std::string("VXI-11: ") + clnt_sperrno(status);
    }
}

std::string endpointText(const std::string& host, unsigned port)
{
    return (host.find(':') != std::string::npos ? '[' + host + ']' : host) + ':' +
           numberText(long(port));
}

// Device_ReadResp as this client decodes it: the data's length is held to the reply cap
// before any memory is taken for it, where rpcgen's routine allocates whatever length
// the instrument announces.
struct ReadReply {
    long error = 0;
    long reason = 0;
    u_int announcedBytes = 0;
    std::string data;
};

bool_t xdrReadReply(XDR* xdr, ReadReply* reply)
{
    if (!xdr_long(xdr, &reply->error) || !xdr_long(xdr, &reply->reason) ||
        !xdr_u_int(xdr, &reply->announcedBytes) || reply->announcedBytes > maxReplyBytes + 1)
        return FALSE;
    reply->data.resize(reply->announcedBytes);
    return xdr_opaque(xdr, reply->data.data(), reply->announcedBytes);
}

// No call or reply here comes near this: a read's data is at most the reply cap.
constexpr std::size_t maxMessageBytes = maxReplyBytes + 4096;

// ONC RPC calls on a connected non-blocking TCP socket, each message one record. Every
// byte is sent and received by the call's deadline: libtirpc's client waits its whole
// limit afresh for each piece, so a server that drips its reply could hold it for
// minutes.
class RpcChannel
{
  public:
    // peer names the server in messages: "the portmapper at 10.0.0.5:111".
    RpcChannel(const Socket& socket, rpcprog_t program, rpcvers_t version, std::string peer)
        : fd_(socket.fd()), program_(program), version_(version), peer_(std::move(peer))
    {
    }

    // One call, answered by the deadline; on failure *failure says why, timedOut when the
    // deadline passed.
    template <typename Args, typename Result>
    clnt_stat call(rpcproc_t procedure, bool_t (*encode)(XDR*, Args*), Args& args,
                   bool_t (*decode)(XDR*, Result*), Result& result, Clock::time_point deadline,
                   const std::string& timedOut, std::string& failure)
    {
        return call(procedure, reinterpret_cast<xdrproc_t>(encode), &args,
                    reinterpret_cast<xdrproc_t>(decode), &result, deadline, timedOut, failure);
    }

  private:
    clnt_stat call(rpcproc_t procedure, xdrproc_t encode, void* args, xdrproc_t decode,
                   void* result, Clock::time_point deadline, const std::string& timedOut,
                   std::string& failure);
    bool receive(char* data, std::size_t size, Clock::time_point deadline,
                 const std::string& timedOut, std::string& failure);

    int fd_;
    rpcprog_t program_;
    rpcvers_t version_;
    std::string peer_;
    u_int32_t xid_ = u_int32_t(getpid()) << 16;
};

bool RpcChannel::receive(char* data, std::size_t size, Clock::time_point deadline,
                         const std::string& timedOut, std::string& failure)
{
    while (size > 0) {
        const std::size_t n = receiveSome(fd_, data, size, deadline, timedOut, failure);
        if (n == 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

clnt_stat RpcChannel::call(rpcproc_t procedure, xdrproc_t encode, void* args, xdrproc_t decode,
                           void* result, Clock::time_point deadline, const std::string& timedOut,
                           std::string& failure)
{
    rpc_msg message{};
    message.rm_xid = ++xid_;
    message.rm_direction = CALL;
    message.rm_call.cb_rpcvers = RPC_MSG_VERSION;
    message.rm_call.cb_prog = program_;
    message.rm_call.cb_vers = version_;
    message.rm_call.cb_proc = procedure;
    message.rm_call.cb_cred = _null_auth;
    message.rm_call.cb_verf = _null_auth;
    const auto size = u_int(xdr_sizeof(reinterpret_cast<xdrproc_t>(xdr_callmsg), &message) +
                            xdr_sizeof(encode, args));
    // The record mark, then the message as one fragment, the last.
    std::string record(4 + std::size_t(size), '\0');
    const u_int32_t mark = htonl(0x80000000u | size);
    std::memcpy(record.data(), &mark, 4);
    XDR xdr;
    xdrmem_create(&xdr, record.data() + 4, size, XDR_ENCODE);
    const bool encoded = xdr_callmsg(&xdr, &message) && encode(&xdr, args);
    xdr_destroy(&xdr);
    if (!encoded) {
        failure = "cannot encode the VXI-11 call";
        return RPC_CANTENCODEARGS;
    }
    if (!writeAll(fd_, Descriptor::Socket, record, deadline, timedOut, errorText, failure))
        return failure == timedOut ? RPC_TIMEDOUT : RPC_CANTSEND;

    // The reply, from however many fragments, each behind its own mark.
    record.clear();
    for (bool last = false; !last;) {
        u_int32_t fragmentMark = 0;
        if (!receive(reinterpret_cast<char*>(&fragmentMark), 4, deadline, timedOut, failure))
            return failure == timedOut ? RPC_TIMEDOUT : RPC_CANTRECV;
        fragmentMark = ntohl(fragmentMark);
        last = (fragmentMark & 0x80000000u) != 0;
        const std::size_t length = fragmentMark & 0x7fffffffu;
        if (record.size() + length > maxMessageBytes) {
            failure = peer_ + " sent a reply longer than 1 MiB";
            return RPC_CANTDECODERES;
        }
        const std::size_t at = record.size();
        record.resize(at + length);
        if (!receive(record.data() + at, length, deadline, timedOut, failure))
            return failure == timedOut ? RPC_TIMEDOUT : RPC_CANTRECV;
    }

    // The verifier decodes into a buffer of its own rather than one XDR allocates.
    char verifier[MAX_AUTH_BYTES];
    rpc_msg reply{};
    reply.acpted_rply.ar_verf = _null_auth;
    reply.acpted_rply.ar_verf.oa_base = verifier;
    reply.acpted_rply.ar_results.where = static_cast<char*>(result);
    reply.acpted_rply.ar_results.proc = decode;
    xdrmem_create(&xdr, record.data(), u_int(record.size()), XDR_DECODE);
    const bool decoded = xdr_replymsg(&xdr, &reply);
    xdr_destroy(&xdr);
    clnt_stat status = RPC_CANTDECODERES;
    if (decoded && reply.rm_xid == message.rm_xid && reply.rm_direction == REPLY) {
        if (reply.rm_reply.rp_stat != MSG_ACCEPTED)
            status = RPC_AUTHERROR;
        else if (reply.acpted_rply.ar_stat == SUCCESS)
            return RPC_SUCCESS;
        else if (reply.acpted_rply.ar_stat == PROG_UNAVAIL)
            status = RPC_PROGUNAVAIL;
        else if (reply.acpted_rply.ar_stat == PROG_MISMATCH)
            status = RPC_PROGVERSMISMATCH;
        else if (reply.acpted_rply.ar_stat == PROC_UNAVAIL)
            status = RPC_PROCUNAVAIL;
        else
            status = RPC_CANTDECODEARGS;
    }
    failure = status == RPC_CANTDECODERES ? peer_ + " sent a reply that is no RPC reply to the call"
                                          : callFailure(status);
    return status;
}

std::string numericPeer(const Socket& socket)
{
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    char host[NI_MAXHOST] = "";
    if (getpeername(socket.fd(), reinterpret_cast<sockaddr*>(&peer), &size) != 0 ||
        getnameinfo(reinterpret_cast<sockaddr*>(&peer), size, host, sizeof host, nullptr, 0,
                    NI_NUMERICHOST) != 0)
        return {};
    return host;
}

// Asks the portmapper on the host for the core channel's TCP port; 0 on failure.
unsigned corePort(const Target& target, Clock::time_point deadline, double limitSeconds,
                  std::string& coreHost, std::string& failure)
{
    const std::string noPortmapper = "no portmapper on the host: is it a VXI-11 instrument? (raw "
                                     "socket instruments take a port number)";
    const Socket socket = connectTcp(target.host, "111", deadline, limitSeconds, failure);
    if (socket.fd() < 0) {
        if (failure == "connection refused")
            failure = noPortmapper;
        return 0;
    }
    // The core channel is on the address that answered, whatever else the name stands for.
    coreHost = numericPeer(socket);
    const std::string portmapperName = "the portmapper at " + endpointText(coreHost, 111);
    RpcChannel portmapper(socket, PMAPPROG, PMAPVERS, portmapperName);
    pmap query{DEVICE_CORE, DEVICE_CORE_VERSION, IPPROTO_TCP, 0};
    u_long port = 0;
    const clnt_stat status = portmapper.call(
        PMAPPROC_GETPORT, xdr_pmap, query, xdr_u_long, port, deadline,
        portmapperName + " did not answer within " + secondsText(limitSeconds) + " s", failure);
    if (status != RPC_SUCCESS) {
        // Something else on port 111 that speaks RPC.
        if (status == RPC_PROGUNAVAIL || status == RPC_PROGVERSMISMATCH ||
            status == RPC_PROCUNAVAIL)
            failure = noPortmapper;
        else if (status == RPC_CANTRECV)
            failure = portmapperName + " closed the connection without an answer";
        return 0;
    }
    if (port == 0 || port > 65535) {
        failure = "no VXI-11 service on the host (its portmapper knows no VXI-11 core channel)";
        return 0;
    }
    return unsigned(port);
}

// A link to one device on the core channel, destroyed with it while time is left.
class CoreLink
{
  public:
    explicit CoreLink(RpcChannel& core) : core_(core) {}
    ~CoreLink()
    {
        if (!linked_)
            return;
        Device_Error result{};
        std::string ignored;
        core_.call(destroy_link, xdr_Device_Link, id_, xdr_Device_Error, result, destroyBy_, {},
                   ignored);
    }
    CoreLink(const CoreLink&) = delete;
    CoreLink& operator=(const CoreLink&) = delete;

    // Destroying the link waits no longer than this.
    void destroyBy(Clock::time_point deadline) { destroyBy_ = deadline; }

    bool create(const std::string& device, Clock::time_point deadline, const std::string& timedOut,
                std::string& failure)
    {
        Create_LinkParms parms{long(getpid()), false, 0, const_cast<char*>(device.c_str())};
        Create_LinkResp result{};
        if (core_.call(create_link, xdr_Create_LinkParms, parms, xdr_Create_LinkResp, result,
                       deadline, timedOut, failure) != RPC_SUCCESS)
            return false;
        if (result.error == deviceLocked) {
            failure = "the instrument is locked by another client";
            return false;
        }
        if (result.error != 0) {
            failure = "the instrument refused the link to " + device + " (" +
                      deviceError(result.error) + ")";
            return false;
        }
        linked_ = true;
        id_ = result.lid;
        // The standard has every device take at least 1 KiB per write.
        maxWriteBytes_ = std::max<std::size_t>(result.maxRecvSize, 1024);
        return true;
    }

    bool write(std::string_view data, Clock::time_point deadline, std::string& failure)
    {
        const std::string timedOut = "instrument did not take the command in time";
        while (!data.empty()) {
            const std::size_t size = std::min(data.size(), maxWriteBytes_);
            Device_WriteParms parms{};
            parms.lid = id_;
            parms.io_timeout = u_long(millisecondsLeft(deadline));
            parms.flags = size == data.size() ? VXI11_FLAG_END : 0;
            parms.data.data_len = u_int(size);
            parms.data.data_val = const_cast<char*>(data.data());
            Device_WriteResp result{};
            if (core_.call(device_write, xdr_Device_WriteParms, parms, xdr_Device_WriteResp, result,
                           deadline, timedOut, failure) != RPC_SUCCESS)
                return false;
            if (result.error == ioTimeout) {
                failure = timedOut;
                return false;
            }
            if (result.error != 0) {
                failure = "the instrument refused the command (" + deviceError(result.error) + ")";
                return false;
            }
            if (result.size == 0 || result.size > size) {
                failure = "the instrument took none of the command";
                return false;
            }
            data.remove_prefix(result.size);
        }
        return true;
    }

    // Reads until the first line feed or the end of the reply, whichever comes first.
    bool readLine(Clock::time_point deadline, double limitSeconds, std::string& line,
                  std::string& failure)
    {
        const std::string timedOut = "no reply within " + secondsText(limitSeconds) + " s";
        ReplyLine reply;
        for (;;) {
            Device_ReadParms parms{};
            parms.lid = id_;
            parms.requestSize = u_long(maxReplyBytes + 1 - reply.received().size());
            parms.io_timeout = u_long(millisecondsLeft(deadline));
            parms.flags = VXI11_FLAG_TERMCHRSET;
            parms.termChar = '\n';
            ReadReply result;
            if (core_.call(device_read, xdr_Device_ReadParms, parms, xdrReadReply, result, deadline,
                           timedOut, failure) != RPC_SUCCESS) {
                if (result.announcedBytes > maxReplyBytes + 1)
                    failure = std::string(replyTooLong) + " (the instrument announced " +
                              numberText(long(result.announcedBytes)) + " bytes)";
                return false;
            }
            if (result.error != 0) {
                failure = result.error == ioTimeout ? timedOut
                                                    : "the instrument could not send the reply (" +
                                                          deviceError(result.error) + ")";
                return false;
            }
            if (!reply.add(result.data)) {
                failure = replyTooLong;
                return false;
            }
            if (reply.complete() || (result.reason & (VXI11_REASON_END | VXI11_REASON_CHR)) != 0) {
                line = reply.line();
                return true;
            }
        }
    }

  private:
    RpcChannel& core_;
    Clock::time_point destroyBy_ = Clock::now();
    bool linked_ = false;
    Device_Link id_ = 0;
    std::size_t maxWriteBytes_ = 1024;
};

} // namespace

Exchange vxi11Exchange(const Target& target, const Options& options)
{
    Exchange result;
    const auto connectBy = deadlineAfter(options.connectSeconds);
    std::string coreHost;
    const unsigned port =
        corePort(target, connectBy, options.connectSeconds, coreHost, result.failure);
    if (port == 0)
        return result;
    const Socket socket =
        connectTcp(coreHost, numberText(port), connectBy, options.connectSeconds, result.failure);
    if (socket.fd() < 0)
        return result;
    const std::string coreName = "the VXI-11 core channel at " + endpointText(coreHost, port);
    RpcChannel core(socket, DEVICE_CORE, DEVICE_CORE_VERSION, coreName);
    CoreLink link(core);
    if (!link.create(target.device, connectBy,
                     coreName + " did not answer within " + secondsText(options.connectSeconds) +
                         " s",
                     result.failure))
        return result;
    // The reply limit starts with the command, as over the raw socket. Destroying the link
    // takes what is left of it; closing the channel ends the link anyway.
    const auto replyDeadline = deadlineAfter(options.replySeconds);
    link.destroyBy(replyDeadline);
    if (!link.write(options.command + '\n', replyDeadline, result.failure))
        return result;
    if (isQuery(options.command))
        link.readLine(replyDeadline, options.replySeconds, result.reply, result.failure);
    return result;
}

} // namespace kestrel::scpi
