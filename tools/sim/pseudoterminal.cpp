#include "sim/pseudoterminal.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace kestrel::sim
{

PseudoTerminal::PseudoTerminal(QObject* parent) : QIODevice(parent) {}

PseudoTerminal::~PseudoTerminal()
{
    closePair();
}

bool PseudoTerminal::openPair(QString* error)
{
    const auto fail = [&](const char* step) {
        *error = QStringLiteral("%1: %2").arg(QLatin1String(step),
                                              QString::fromLocal8Bit(std::strerror(errno)));
        closePair();
        return false;
    };
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0)
        return fail("posix_openpt");
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name))
        return fail("unlockpt");
    if (fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK) != 0)
        return fail("fcntl");
    terminal_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    if (terminal_ < 0 || tcgetattr(terminal_, &settings) != 0)
        return fail(name);
    cfmakeraw(&settings);
    if (tcsetattr(terminal_, TCSANOW, &settings) != 0)
        return fail(name);
    path_ = QString::fromLocal8Bit(name);

    readable_ = new QSocketNotifier(master_, QSocketNotifier::Read, this);
    connect(readable_, &QSocketNotifier::activated, this, &QIODevice::readyRead);
    writable_ = new QSocketNotifier(master_, QSocketNotifier::Write, this);
    writable_->setEnabled(false);
    connect(writable_, &QSocketNotifier::activated, this, &PseudoTerminal::flush);
    return QIODevice::open(QIODevice::ReadWrite | QIODevice::Unbuffered);
}

qint64 PseudoTerminal::readData(char* data, qint64 maxSize)
{
    for (;;) {
        const ssize_t n = ::read(master_, data, std::size_t(maxSize));
        if (n >= 0)
            return n;
        if (errno == EAGAIN)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

// Never blocks: what the terminal cannot take yet goes out once it can.
qint64 PseudoTerminal::writeData(const char* data, qint64 size)
{
    outgoing_.append(data, size);
    flush();
    return size;
}

void PseudoTerminal::flush()
{
    while (!outgoing_.isEmpty()) {
        const ssize_t n = ::write(master_, outgoing_.constData(), std::size_t(outgoing_.size()));
        if (n > 0) {
            outgoing_.remove(0, n);
        } else if (n < 0 && errno == EAGAIN) {
            break;
        } else if (n < 0 && errno != EINTR) {
            // Nothing on the other end can read it any more.
            outgoing_.clear();
            break;
        }
    }
    writable_->setEnabled(!outgoing_.isEmpty());
}

void PseudoTerminal::closePair()
{
    delete readable_;
    delete writable_;
    readable_ = writable_ = nullptr;
    if (terminal_ >= 0)
        ::close(terminal_);
    if (master_ >= 0)
        ::close(master_);
    terminal_ = master_ = -1;
}

} // namespace kestrel::sim
