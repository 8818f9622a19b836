#include "scpi/writeall.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrel::scpi
{

bool writeAll(int fd, Descriptor kind, std::string_view data, Clock::time_point deadline,
              const std::string& timedOut, std::string (*errorText)(int error),
              std::string& failure)
{
    while (!data.empty()) {
        const ssize_t n = kind == Descriptor::Socket
                              ? send(fd, data.data(), data.size(), MSG_NOSIGNAL)
                              : write(fd, data.data(), data.size());
        if (n > 0) {
            data.remove_prefix(std::size_t(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(fd, POLLOUT, deadline)) {
                failure = timedOut;
                return false;
            }
        } else if (n < 0 && errno != EINTR) {
            failure = errorText(errno);
            return false;
        }
    }
    return true;
}

} // namespace kestrel::scpi
