#include "data/bytestream.h"

namespace kestrel
{

bool ByteStream::refill()
{
    constexpr qint64 blockBytes = 64 * 1024;
    if (!error_.isEmpty())
        return false;
    block_.resize(blockBytes);
    at_ = 0;
    const qint64 got = device_.read(block_.data(), blockBytes);
    if (got < 0) {
        error_ = QStringLiteral("could not be read: %1").arg(device_.errorString());
        block_.clear();
        return false;
    }
    block_.resize(got);
    read_ += got;
    if (read_ > limitBytes_) {
        error_ = QStringLiteral("holds more than %1 bytes, the most a run's file may hold")
                     .arg(limitBytes_);
        block_.clear();
        return false;
    }
    return got > 0;
}

} // namespace kestrel
