#include "scpi/usbtmclink.h"

#include "scpi/deadline.h"
#include "scpi/replyline.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <linux/usb/tmc.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kestrel::scpi
{

namespace
{

// The driver refuses a shorter limit.
constexpr unsigned minTimeoutMs = 100;

class DeviceFile final : public UsbtmcFile
{
  public:
    ~DeviceFile() override
    {
        if (fd_ >= 0)
            close(fd_);
    }
    int open(const std::string& path) override
    {
        fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        return fd_ < 0 ? -1 : 0;
    }
    int tryLock() override { return flock(fd_, LOCK_EX | LOCK_NB); }
    int setTimeout(unsigned milliseconds) override
    {
        __u32 ms = milliseconds;
        return ioctl(fd_, USBTMC_IOCTL_SET_TIMEOUT, &ms);
    }
    long write(const char* data, std::size_t size) override { return ::write(fd_, data, size); }
    long read(char* data, std::size_t size) override { return ::read(fd_, data, size); }

  private:
    int fd_ = -1;
};

std::string errorText(int error, double limitSeconds)
{
    switch (error) {
    case ENOENT:
    case ENXIO:
        return "no such device: is the instrument plugged in and switched on?";
    case EACCES:
    case EPERM:
        return "permission denied: see the udev rule in the README";
    case ENODEV:
    case ESHUTDOWN:
    case EPIPE:
        return "the instrument went away (unplugged or switched off?)";
    case ETIMEDOUT:
        return "no reply within " + secondsText(limitSeconds) + " s";
    default:
        return std::strerror(error);
    }
}

std::string countText(std::size_t count)
{
    char text[24];
    return std::string(text, std::to_chars(text, text + sizeof text, count).ptr);
}

// Each transfer may take what is left of the deadline, but never less than the driver
// allows.
bool limitTransfer(UsbtmcFile& file, Clock::time_point deadline, std::string& failure)
{
    const unsigned ms = std::max<unsigned>(unsigned(millisecondsLeft(deadline)), minTimeoutMs);
    if (file.setTimeout(ms) == 0)
        return true;
    failure = errno == EINVAL || errno == ENOTTY
                  ? "the device takes no time limit: not a USBTMC instrument, or a kernel "
                    "older than 4.20"
                  : std::strerror(errno);
    return false;
}

} // namespace

Exchange usbtmcExchange(const Target& target, const Options& options)
{
    DeviceFile file;
    return usbtmcExchange(target, options, file);
}

Exchange usbtmcExchange(const Target& target, const Options& options, UsbtmcFile& file)
{
    Exchange result;
    const double limit = options.replySeconds;
    const auto connectDeadline = deadlineAfter(options.connectSeconds);
    if (file.open(target.device) != 0) {
        // ENODEV on open: the node is there but no instrument behind it.
        result.failure = errno == ENODEV ? errorText(ENOENT, limit) : errorText(errno, limit);
        return result;
    }
    // The driver lets any number of programs open the instrument; two commands at once
    // would mix their messages.
    for (int pauseMs = 1; file.tryLock() != 0;) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            result.failure = errorText(errno, limit);
            return result;
        }
        if (!pauseBeforeRetry(connectDeadline, &pauseMs)) {
            result.failure = "the instrument is in use by another program";
            return result;
        }
    }

    const auto deadline = deadlineAfter(limit);
    if (!limitTransfer(file, deadline, result.failure))
        return result;
    const std::string message = options.command + '\n';
    const long written = file.write(message.data(), message.size());
    if (written < 0) {
        result.failure = errno == ETIMEDOUT ? "the instrument did not take the command within " +
                                                  secondsText(limit) + " s"
                                            : errorText(errno, limit);
        return result;
    }
    if (std::size_t(written) != message.size()) {
        result.failure = "the instrument took only " + countText(std::size_t(written)) + " of " +
                         countText(message.size()) + " bytes of the command";
        return result;
    }
    if (!isQuery(options.command))
        return result;

    // A read returns one transfer of the reply; the line may take several.
    ReplyLine reply;
    char chunk[4096];
    for (;;) {
        if (millisecondsLeft(deadline) == 0) {
            result.failure = errorText(ETIMEDOUT, limit);
            return result;
        }
        if (!limitTransfer(file, deadline, result.failure))
            return result;
        const long n = file.read(chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result.failure = errorText(errno, limit);
            return result;
        }
        if (!reply.add(std::string_view(chunk, std::size_t(n)))) {
            result.failure = replyTooLong;
            return result;
        }
        if (reply.complete()) {
            result.reply = reply.line();
            return result;
        }
    }
}

} // namespace kestrel::scpi
