#include "scpi/vxi11link.h"

#include "scpi/deadline.h"
#include "scpi/replyline.h"
#include "scpi/tcpconnect.h"

#include <vxi11/vxi11.h>

#include <rpc/pmap_prot.h>
#include <rpc/rpc.h>

#include <array>
#include <charconv>
#include <csignal>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

// An RPC client on a connected TCP socket, which outlives it. tirpc writes with plain
// blocking writes, so the socket becomes blocking, with a send limit instead.
class RpcClient
{
  public:
    RpcClient(const Socket& socket, rpcprog_t program, rpcvers_t version, double sendSeconds)
    {
        const int fd = socket.fd();
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        const timeval limit{long(sendSeconds), long((sendSeconds - long(sendSeconds)) * 1e6)};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        sockaddr_storage peer{};
        socklen_t size = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0)
            return;
        netbuf address{size, size, &peer};
        client_ = clnt_vc_create(fd, &address, program, version, 0, 0);
    }
    ~RpcClient()
    {
        if (client_)
            clnt_destroy(client_);
    }
    RpcClient(const RpcClient&) = delete;
    RpcClient& operator=(const RpcClient&) = delete;
    bool isValid() const { return client_ != nullptr; }

    // One call, answered by the deadline or RPC_TIMEDOUT.
    template <typename Args, typename Result>
    clnt_stat call(rpcproc_t procedure, bool_t (*encode)(XDR*, Args*), Args& args,
                   bool_t (*decode)(XDR*, Result*), Result& result, Clock::time_point deadline)
    {
        const int ms = millisecondsLeft(deadline);
        if (ms == 0)
            return RPC_TIMEDOUT;
        timeval limit{ms / 1000, (ms % 1000) * 1000};
        clnt_control(client_, CLSET_TIMEOUT, reinterpret_cast<char*>(&limit));
        return clnt_call(client_, procedure, reinterpret_cast<xdrproc_t>(encode),
                         reinterpret_cast<char*>(&args), reinterpret_cast<xdrproc_t>(decode),
                         reinterpret_cast<char*>(&result), limit);
    }

    // Frees what decoding a result allocated (its strings and data).
    template <typename Result> void release(bool_t (*decode)(XDR*, Result*), Result& result)
    {
        clnt_freeres(client_, reinterpret_cast<xdrproc_t>(decode),
                     reinterpret_cast<char*>(&result));
    }

  private:
    CLIENT* client_ = nullptr;
};

// Why a call failed, in the words of the other transports.
std::string callFailure(clnt_stat status, const std::string& timedOut)
{
    switch (status) {
    case RPC_TIMEDOUT:
        return timedOut;
    case RPC_CANTRECV:
        return "connection closed before the reply ended";
    case RPC_CANTSEND:
        return "connection reset by the instrument";
    case RPC_PROGUNAVAIL:
    case RPC_PROGVERSMISMATCH:
    case RPC_PROCUNAVAIL:
        return std::string("the instrument does not serve this VXI-11 call (") +
               clnt_sperrno(status) + ")";
    default:
        return std::string("VXI-11: ") + clnt_sperrno(status);
    }
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
    const Socket socket = connectTcp(target.host, "111", deadline, limitSeconds, failure);
    if (socket.fd() < 0) {
        if (failure == "connection refused")
            failure = "no portmapper on the host: is it a VXI-11 instrument? (raw socket "
                      "instruments take a port number)";
        return 0;
    }
    RpcClient portmapper(socket, PMAPPROG, PMAPVERS, limitSeconds);
    if (!portmapper.isValid()) {
        failure = "cannot talk RPC to the portmapper";
        return 0;
    }
    pmap query{DEVICE_CORE, DEVICE_CORE_VERSION, IPPROTO_TCP, 0};
    u_long port = 0;
    const clnt_stat status =
        portmapper.call(PMAPPROC_GETPORT, xdr_pmap, query, xdr_u_long, port, deadline);
    if (status != RPC_SUCCESS) {
        failure =
            status == RPC_TIMEDOUT
                ? callFailure(status, "no connection within " + secondsText(limitSeconds) + " s")
                : "no portmapper on the host: is it a VXI-11 "
                  "instrument? (raw socket instruments take a port "
                  "number)";
        return 0;
    }
    if (port == 0 || port > 65535) {
        failure = "no VXI-11 service on the host (its portmapper knows no VXI-11 core channel)";
        return 0;
    }
    // The core channel is on the address that answered, whatever else the name stands for.
    coreHost = numericPeer(socket);
    return unsigned(port);
}

// A link to one device on the core channel, destroyed with it while time is left.
class CoreLink
{
  public:
    explicit CoreLink(RpcClient& core) : core_(core) {}
    ~CoreLink()
    {
        if (!linked_)
            return;
        Device_Error result{};
        core_.call(destroy_link, xdr_Device_Link, id_, xdr_Device_Error, result, destroyBy_);
    }
    CoreLink(const CoreLink&) = delete;
    CoreLink& operator=(const CoreLink&) = delete;

    // Destroying the link waits no longer than this.
    void destroyBy(Clock::time_point deadline) { destroyBy_ = deadline; }

    bool create(const std::string& device, Clock::time_point deadline, double limitSeconds,
                std::string& failure)
    {
        Create_LinkParms parms{long(getpid()), false, 0, const_cast<char*>(device.c_str())};
        Create_LinkResp result{};
        const clnt_stat status = core_.call(create_link, xdr_Create_LinkParms, parms,
                                            xdr_Create_LinkResp, result, deadline);
        if (status != RPC_SUCCESS) {
            failure =
                callFailure(status, "no connection within " + secondsText(limitSeconds) + " s");
            return false;
        }
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
        while (!data.empty()) {
            const std::size_t size = std::min(data.size(), maxWriteBytes_);
            Device_WriteParms parms{};
            parms.lid = id_;
            parms.io_timeout = u_long(millisecondsLeft(deadline));
            parms.flags = size == data.size() ? VXI11_FLAG_END : 0;
            parms.data.data_len = u_int(size);
            parms.data.data_val = const_cast<char*>(data.data());
            Device_WriteResp result{};
            const clnt_stat status = core_.call(device_write, xdr_Device_WriteParms, parms,
                                                xdr_Device_WriteResp, result, deadline);
            if (status != RPC_SUCCESS || result.error == ioTimeout) {
                failure = callFailure(status == RPC_SUCCESS ? RPC_TIMEDOUT : status,
                                      "instrument did not take the command in time");
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
            Device_ReadResp result{};
            const clnt_stat status = core_.call(device_read, xdr_Device_ReadParms, parms,
                                                xdr_Device_ReadResp, result, deadline);
            if (status != RPC_SUCCESS) {
                failure = callFailure(status, timedOut);
                return false;
            }
            const long error = result.error;
            const long reason = result.reason;
            const bool fits =
                reply.add(std::string_view(result.data.data_val, result.data.data_len));
            core_.release(xdr_Device_ReadResp, result);
            if (error != 0) {
                failure = error == ioTimeout ? timedOut
                                             : "the instrument could not send the reply (" +
                                                   deviceError(error) + ")";
                return false;
            }
            if (!fits) {
                failure = replyTooLong;
                return false;
            }
            if (reply.complete() || (reason & (VXI11_REASON_END | VXI11_REASON_CHR)) != 0) {
                line = reply.line();
                return true;
            }
        }
    }

  private:
    RpcClient& core_;
    Clock::time_point destroyBy_ = Clock::now();
    bool linked_ = false;
    Device_Link id_ = 0;
    std::size_t maxWriteBytes_ = 1024;
};

} // namespace

Exchange vxi11Exchange(const Target& target, const Options& options)
{
    // tirpc writes with plain write(): a connection the instrument has closed must give
    // EPIPE, not end this process.
    std::signal(SIGPIPE, SIG_IGN);
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
    RpcClient core(socket, DEVICE_CORE, DEVICE_CORE_VERSION, options.replySeconds);
    if (!core.isValid()) {
        result.failure = "cannot talk RPC to the VXI-11 core channel";
        return result;
    }
    CoreLink link(core);
    if (!link.create(target.device, connectBy, options.connectSeconds, result.failure))
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
