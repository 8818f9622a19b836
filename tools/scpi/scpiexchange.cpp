#include "scpi/scpiexchange.h"

#include "scpi/deadline.h"
#include "scpi/replyline.h"
#include "scpi/seriallink.h"
#include "scpi/target.h"
#include "scpi/tcpconnect.h"
#include "scpi/usbtmclink.h"
#include "scpi/vxi11link.h"
#include "scpi/writeall.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <poll.h>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/sockios.h>

namespace kestrel::scpi
{

namespace
{

const std::string rawSocketHint = "; use the instrument's raw socket port (often 5025 or 5555)";
const std::string telnetConsole =
    "the port answers like a telnet console, not a raw SCPI socket" + rawSocketHint;
const std::string echoedCommand =
    "the port echoed the command back, as a telnet console does" + rawSocketHint;

// Telnet option negotiation: IAC (0xFF) then WILL, WONT, DO or DONT (0xFB..0xFE). A telnet
// console sends it as soon as a client connects; no text reply line holds it.
// Looks at the pairs that start at `from` or just before it, so a pair split between two
// reads is found too.
bool holdsTelnetNegotiation(std::string_view bytes, std::size_t from = 0)
{
    for (std::size_t i = from > 0 ? from - 1 : 0; i + 1 < bytes.size(); ++i) {
        const auto next = static_cast<unsigned char>(bytes[i + 1]);
        if (static_cast<unsigned char>(bytes[i]) == 0xFF && next >= 0xFB && next <= 0xFE)
            return true;
    }
    return false;
}

// Connects within the connect limit.
Socket connectWithin(const Options& options, std::string& failure)
{
    return connectTcp(options.address, options.port, deadlineAfter(options.connectSeconds),
                      options.connectSeconds, failure);
}

// Reads up to the first line feed, however many segments it comes in. Gives up at once
// on telnet negotiation, which would otherwise wait out the limit without a line.
bool readLine(int fd, Clock::time_point deadline, double limitSeconds, std::string& line,
              std::string& failure)
{
    ReplyLine reply;
    char chunk[4096];
    const std::string timedOut = "no reply within " + secondsText(limitSeconds) + " s";
    for (;;) {
        const std::size_t n = receiveSome(fd, chunk, sizeof chunk, deadline, timedOut, failure);
        if (n == 0)
            return false;
        const std::size_t searchFrom = reply.received().size();
        const bool fits = reply.add(std::string_view(chunk, n));
        if (holdsTelnetNegotiation(reply.received(), searchFrom)) {
            failure = telnetConsole;
            return false;
        }
        if (!fits) {
            failure = replyTooLong;
            return false;
        }
        if (reply.complete()) {
            line = reply.line();
            return true;
        }
    }
}

// After a command without reply: waits until the instrument's TCP stack has acknowledged
// every byte (and the end of sending), so nothing is left behind when this process exits.
// The kernel has no event for that; short sleeps between checks keep it off the CPU.
bool waitUntilAcknowledged(int fd, Clock::time_point deadline, std::string& failure)
{
    int pauseMs = 1;
    for (;;) {
        int unacknowledged = 0;
        if (ioctl(fd, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged == 0)
            return true;
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error != 0) {
            failure = errorText(error);
            return false;
        }
        if (millisecondsLeft(deadline) == 0) {
            failure = "instrument did not acknowledge the command in time";
            return false;
        }
        poll(nullptr, 0, std::min(pauseMs, millisecondsLeft(deadline)));
        pauseMs = std::min(pauseMs * 2, 50);
    }
}

// Unread bytes at close make the kernel send a reset instead of an orderly end.
// True when what was still unread holds telnet negotiation.
bool drain(int fd)
{
    bool telnet = false;
    char chunk[4096];
    char last = 0;
    for (;;) {
        const ssize_t n = recv(fd, chunk + 1, sizeof chunk - 1, MSG_DONTWAIT);
        if (n <= 0)
            return telnet;
        // The last byte of the previous read goes in front, for a pair split between reads.
        chunk[0] = last;
        telnet = telnet || holdsTelnetNegotiation(std::string_view(chunk, std::size_t(n) + 1));
        last = chunk[n];
    }
}

} // namespace

bool isQuery(const std::string& command)
{
    return command.find('?') != std::string::npos;
}

Exchange exchange(const Options& options)
{
    Exchange result;
    const std::optional<Target> target =
        parseTarget(options.address, options.port, &result.failure);
    if (!target)
        return result;
    switch (target->transport) {
    case Transport::Socket:
        return socketExchange(options);
    case Transport::Vxi11:
        return vxi11Exchange(*target, options);
    case Transport::Usbtmc:
        return usbtmcExchange(*target, options);
    case Transport::Serial:
        return serialExchange(*target, options);
    }
    return result;
}

Exchange socketExchange(const Options& options)
{
    Exchange result;
    const Socket socket = connectWithin(options, result.failure);
    if (socket.fd() < 0)
        return result;

    const auto deadline = deadlineAfter(options.replySeconds);
    if (!writeAll(socket.fd(), Descriptor::Socket, options.command + '\n', deadline,
                  "instrument did not take the command in time", errorText, result.failure))
        return result;
    if (isQuery(options.command)) {
        // A console echoes what it is sent; its echo arrives as the first line.
        if (readLine(socket.fd(), deadline, options.replySeconds, result.reply, result.failure) &&
            result.reply == options.command)
            result.failure = echoedCommand;
    } else {
        shutdown(socket.fd(), SHUT_WR);
        waitUntilAcknowledged(socket.fd(), deadline, result.failure);
    }
    // Negotiation that came after the reply line, or for a command by the time it was
    // acknowledged, is seen here. Waiting for later negotiation would slow every command.
    if (drain(socket.fd()) && result.ok())
        result.failure = telnetConsole;
    return result;
}

} // namespace kestrel::scpi
