#include "sim/rpcmessage.h"

#include <QtEndian>

namespace kestrel::sim::rpc
{

namespace
{

// No message kestrel-sim takes comes near this: a device_write carries at most its
// maxRecvSize (1 MiB) of data.
constexpr qsizetype maxMessageBytes = 2 * 1024 * 1024;

constexpr quint32 lastFragment = 0x80000000u;

void put(QByteArray& bytes, quint32 word)
{
    const quint32 big = qToBigEndian(word);
    bytes.append(reinterpret_cast<const char*>(&big), sizeof big);
}

// Reads big-endian words off the front of a message.
class Words
{
  public:
    explicit Words(const QByteArray& bytes) : bytes_(bytes) {}
    std::optional<quint32> next()
    {
        if (bytes_.size() - at_ < 4)
            return std::nullopt;
        const quint32 word = qFromBigEndian<quint32>(bytes_.constData() + at_);
        at_ += 4;
        return word;
    }
    // Skips opaque data of the length in the next word, with its padding.
    bool skipOpaque()
    {
        const std::optional<quint32> size = next();
        if (!size || *size > 400 || bytes_.size() - at_ < qsizetype((*size + 3) & ~3u))
            return false;
        at_ += (*size + 3) & ~3u;
        return true;
    }
    QByteArray rest() const { return bytes_.sliced(at_); }

  private:
    const QByteArray& bytes_;
    qsizetype at_ = 0;
};

} // namespace

std::optional<Call> parseCall(const QByteArray& message)
{
    Words words(message);
    Call call;
    const auto xid = words.next();
    const auto type = words.next();
    const auto rpcVersion = words.next();
    const auto program = words.next();
    const auto version = words.next();
    const auto procedure = words.next();
    // The credentials and the verifier: a flavour, then opaque bytes; none is checked.
    if (!procedure || *type != 0 || *rpcVersion != 2 || !words.next() || !words.skipOpaque() ||
        !words.next() || !words.skipOpaque())
        return std::nullopt;
    return Call{*xid, *program, *version, *procedure, words.rest()};
}

QByteArray reply(quint32 xid, Accept status, const QByteArray& result)
{
    QByteArray bytes;
    put(bytes, xid);
    put(bytes, 1); // a reply
    put(bytes, 0); // accepted
    put(bytes, 0); // verifier: no authentication
    put(bytes, 0);
    put(bytes, quint32(status));
    return bytes + result;
}

QByteArray versionRange(quint32 low, quint32 high)
{
    QByteArray bytes;
    put(bytes, low);
    put(bytes, high);
    return bytes;
}

QByteArray recordMarked(const QByteArray& message)
{
    QByteArray bytes;
    put(bytes, lastFragment | quint32(message.size()));
    return bytes + message;
}

bool RecordReader::feed(QByteArrayView bytes)
{
    buffer_ += bytes;
    while (buffer_.size() >= 4) {
        const quint32 mark = qFromBigEndian<quint32>(buffer_.constData());
        const qsizetype size = qsizetype(mark & ~lastFragment);
        if (message_.size() + size > maxMessageBytes)
            return false;
        if (buffer_.size() < 4 + size)
            break;
        message_ += buffer_.sliced(4, size);
        buffer_.remove(0, 4 + size);
        if (mark & lastFragment)
            complete_.push_back(std::exchange(message_, {}));
    }
    return true;
}

std::optional<QByteArray> RecordReader::next()
{
    if (complete_.empty())
        return std::nullopt;
    QByteArray message = std::move(complete_.front());
    complete_.pop_front();
    return message;
}

} // namespace kestrel::sim::rpc
