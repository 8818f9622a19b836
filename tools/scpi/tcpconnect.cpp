#include "scpi/tcpconnect.h"

#include "scpi/scpioptions.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrel::scpi
{

Socket::~Socket()
{
    if (fd_ >= 0)
        close(fd_);
}

std::string errorText(int error)
{
    switch (error) {
    case ECONNREFUSED:
        return "connection refused";
    case ECONNRESET:
    case EPIPE:
        return "connection reset by the instrument";
    case ENETUNREACH:
        return "network unreachable";
    case EHOSTUNREACH:
        return "host unreachable";
    default:
        return std::strerror(error);
    }
}

Socket connectTcp(const std::string& host, const std::string& port, Clock::time_point deadline,
                  double limitSeconds, std::string& failure)
{
    const std::string timedOut = "no connection within " + secondsText(limitSeconds) + " s";

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        if (rc == EAI_NONAME || rc == EAI_NODATA || rc == EAI_FAIL || rc == EAI_AGAIN)
            failure = "host not found";
        else
            failure = rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc);
        return Socket();
    }
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);

    int lastError = 0;
    for (const addrinfo* ai = found; ai; ai = ai->ai_next) {
        Socket socket(::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                               ai->ai_protocol));
        if (socket.fd() < 0) {
            lastError = errno;
            continue;
        }
        if (connect(socket.fd(), ai->ai_addr, ai->ai_addrlen) != 0) {
            if (errno != EINPROGRESS) {
                lastError = errno;
                continue;
            }
            if (!waitFor(socket.fd(), POLLOUT, deadline)) {
                failure = timedOut;
                return Socket();
            }
            int error = 0;
            socklen_t size = sizeof error;
            getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &size);
            if (error != 0) {
                lastError = error;
                continue;
            }
        }
        // A command is one small write; sending it at once saves a delayed-ACK wait.
        const int one = 1;
        setsockopt(socket.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return socket;
    }
    failure = lastError == ETIMEDOUT ? timedOut : errorText(lastError);
    return Socket();
}

std::size_t receiveSome(int fd, char* data, std::size_t size, Clock::time_point deadline,
                        const std::string& timedOut, std::string& failure)
{
    for (;;) {
        if (!waitFor(fd, POLLIN, deadline)) {
            failure = timedOut;
            return 0;
        }
        const ssize_t n = recv(fd, data, size, 0);
        if (n > 0)
            return std::size_t(n);
        if (n == 0 || errno == ECONNRESET) {
            failure = "connection closed before the reply ended";
            return 0;
        }
        if (errno != EINTR && errno != EAGAIN) {
            failure = errorText(errno);
            return 0;
        }
    }
}

} // namespace kestrel::scpi
