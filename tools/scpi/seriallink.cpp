#include "scpi/seriallink.h"

#include "scpi/deadline.h"
#include "scpi/replyline.h"
#include "scpi/writeall.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string_view>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace kestrel::scpi
{

namespace
{

const char* const inUse = "the serial port is in use by another program";
const char* const hungUp = "the serial port hung up before the reply ended";
const char* const echoed = "the serial line echoed the command back: switch the instrument's "
                           "echo off, or check that the cable does not join TX to RX";

// The open port: exclusive to this process until it closes.
class Port
{
  public:
    explicit Port(int fd) : fd_(fd) {}
    ~Port()
    {
        if (fd_ < 0)
            return;
        // A pseudo-terminal keeps its flags while the other end is open; the next
        // command must be able to open it again.
        if (exclusive_)
            ioctl(fd_, TIOCNXCL);
        close(fd_);
    }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    int fd() const { return fd_; }
    void setExclusive() { exclusive_ = ioctl(fd_, TIOCEXCL) == 0; }

  private:
    int fd_;
    bool exclusive_ = false;
};

std::string errorText(int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return "no such device";
    case EACCES:
    case EPERM:
        return "permission denied (add yourself to the dialout group: sudo usermod -aG dialout "
               "$USER, then log in again)";
    case ENOTTY:
        return "not a serial port";
    case EBUSY:
        return inUse;
    case EIO:
        return hungUp;
    default:
        return std::strerror(error);
    }
}

speed_t speedOf(unsigned baud)
{
    static constexpr std::pair<unsigned, speed_t> speeds[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000}};
    for (const auto& [rate, speed] : speeds)
        if (rate == baud)
            return speed;
    return B0; // parseTarget lets no other rate through
}

std::string framingText(const SerialFraming& framing)
{
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, framing.baud).ptr;
    return std::string(text, end) + ',' + char('0' + framing.dataBits) + framing.parity +
           char('0' + framing.stopBits);
}

// Opens the port and waits within the deadline for any other program's lock to go.
// Opening does not wait for the modem lines (O_NONBLOCK), and the port never becomes
// this process's controlling terminal.
int openLocked(const std::string& path, Clock::time_point deadline, std::string& failure)
{
    int pauseMs = 1;
    for (;;) {
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && errno == EINTR)
            continue;
        // EBUSY: another program holds the port exclusive (TIOCEXCL).
        if (fd < 0 && errno != EBUSY) {
            failure = errorText(errno);
            return -1;
        }
        if (fd >= 0) {
            termios settings{};
            if (tcgetattr(fd, &settings) != 0) {
                failure = errorText(errno);
                close(fd);
                return -1;
            }
            if (flock(fd, LOCK_EX | LOCK_NB) == 0)
                return fd;
            const int error = errno;
            close(fd);
            if (error != EWOULDBLOCK && error != EINTR) {
                failure = errorText(error);
                return -1;
            }
        }
        if (!pauseBeforeRetry(deadline, &pauseMs)) {
            failure = inUse;
            return -1;
        }
    }
}

// Raw bytes at the chosen rate and framing, no flow control, and the modem lines left
// as they are at close: some instruments restart when DTR drops.
bool configure(int fd, const SerialFraming& framing, std::string& failure)
{
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        failure = errorText(errno);
        return false;
    }
    cfmakeraw(&settings);
    settings.c_iflag &= ~tcflag_t(IXOFF | IXANY);
    settings.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL);
    settings.c_cflag |= CLOCAL | CREAD;
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    settings.c_cflag |= sizes[framing.dataBits - 5];
    if (framing.parity != 'N')
        settings.c_cflag |= PARENB | (framing.parity == 'O' ? PARODD : 0);
    if (framing.stopBits == 2)
        settings.c_cflag |= CSTOPB;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    const speed_t speed = speedOf(framing.baud);
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        failure = errno == EINVAL ? "the serial port does not take " + framingText(framing)
                                  : errorText(errno);
        return false;
    }

    // tcsetattr succeeds when the driver took any part of the settings; what it kept
    // shows when they are read back.
    termios taken{};
    constexpr tcflag_t framingBits = CSIZE | PARENB | PARODD | CSTOPB;
    if (tcgetattr(fd, &taken) != 0 ||
        (taken.c_cflag & framingBits) != (settings.c_cflag & framingBits) ||
        cfgetispeed(&taken) != speed || cfgetospeed(&taken) != speed) {
        failure = "the serial port does not take " + framingText(framing);
        return false;
    }
    return true;
}

// Up to the first line feed, a carriage return before it dropped.
bool readLine(int fd, Clock::time_point deadline, double limitSeconds, std::string& line,
              std::string& failure)
{
    ReplyLine reply;
    char chunk[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, millisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            failure = "no reply within " + secondsText(limitSeconds) + " s";
            return false;
        }
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0) {
            if (!reply.add(std::string_view(chunk, std::size_t(n)))) {
                failure = replyTooLong;
                return false;
            }
            if (reply.complete()) {
                line = reply.line();
                return true;
            }
        } else if (n == 0 || errno == EIO || (errno == EAGAIN && (p.revents & POLLHUP))) {
            failure = hungUp;
            return false;
        } else if (errno != EAGAIN && errno != EINTR) {
            failure = errorText(errno);
            return false;
        }
    }
}

// Until the driver has passed every byte on, within the deadline. tcdrain() itself
// could wait without end on a port whose flow control holds it back.
bool drainWithin(int fd, Clock::time_point deadline, double limitSeconds, std::string& failure)
{
    int pauseMs = 1;
    for (;;) {
        int unsent = 0;
        if (ioctl(fd, TIOCOUTQ, &unsent) != 0 || unsent == 0)
            return true;
        if (!pauseBeforeRetry(deadline, &pauseMs)) {
            failure = "the serial port did not send the command within " +
                      secondsText(limitSeconds) + " s";
            return false;
        }
    }
}

} // namespace

Exchange serialExchange(const Target& target, const Options& options)
{
    Exchange result;
    Port port(openLocked(target.device, deadlineAfter(options.connectSeconds), result.failure));
    if (port.fd() < 0)
        return result;
    // Other programs that do not take flock() locks still cannot open it now (root can).
    port.setExclusive();
    if (!configure(port.fd(), target.framing, result.failure))
        return result;
    // Whatever a previous exchange left unread is no reply to this command. Only what
    // came in: on a pseudo-terminal, flushing the way out also drops the previous
    // command before the far end has read it.
    tcflush(port.fd(), TCIFLUSH);

    const auto deadline = deadlineAfter(options.replySeconds);
    if (!writeAll(port.fd(), Descriptor::Device, options.command + '\n', deadline,
                  "the serial port did not send the command within " +
                      secondsText(options.replySeconds) + " s",
                  errorText, result.failure))
        return result;
    if (isQuery(options.command)) {
        // An echo arrives as the first line; taking it for the reply would pass the
        // command off as the instrument's answer.
        if (readLine(port.fd(), deadline, options.replySeconds, result.reply, result.failure) &&
            result.reply == options.command)
            result.failure = echoed;
    } else {
        drainWithin(port.fd(), deadline, options.replySeconds, result.failure);
    }
    return result;
}

} // namespace kestrel::scpi
