#pragma once

#include "scpi/deadline.h"

#include <string>
#include <string_view>
#include <utility>

namespace kestrel::scpi
{

// Owns a socket's descriptor; -1 when there is none.
class Socket
{
  public:
    explicit Socket(int fd = -1) : fd_(fd) {}
    ~Socket();
    Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Socket& operator=(Socket&&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

// "connection refused", "host unreachable", ...: what an errno means for an instrument.
std::string errorText(int error);

// A TCP connection to host:port, trying each address the name stands for until one
// accepts, all by the deadline. The socket is non-blocking, with TCP_NODELAY. On failure
// *failure says why: "host not found", "connection refused", "no connection within 3 s"
// (limitSeconds names the limit).
Socket connectTcp(const std::string& host, const std::string& port, Clock::time_point deadline,
                  double limitSeconds, std::string& failure);

// Receives what has come, at most size bytes, on a non-blocking socket, waiting for some
// by the deadline: the number of bytes, or 0 with *failure saying why: timedOut, "connection
// closed before the reply ended", or what the error means.
std::size_t receiveSome(int fd, char* data, std::size_t size, Clock::time_point deadline,
                        const std::string& timedOut, std::string& failure);

} // namespace kestrel::scpi
