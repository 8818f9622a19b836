#pragma once

#include <QByteArray>
#include <QIODevice>

#include <optional>

namespace kestrel
{

// The bytes of a device read a block at a time, so that a file is parsed as it is read
// and only what the parser keeps stays in memory. Reading stops with an error past
// limitBytes: a file that grows while it is read (a copy of an endless stream) ends.
class ByteStream
{
  public:
    ByteStream(QIODevice& device, qint64 limitBytes) : device_(device), limitBytes_(limitBytes) {}

    // The next byte without taking it; none at the end or after an error.
    std::optional<char> peek()
    {
        if (at_ == block_.size() && !refill())
            return std::nullopt;
        return block_[at_];
    }
    std::optional<char> get()
    {
        const auto c = peek();
        if (c)
            ++at_;
        return c;
    }
    // The error that ended reading early: the device's, or the limit's. Empty otherwise.
    const QString& error() const { return error_; }

  private:
    bool refill();

    QIODevice& device_;
    qint64 limitBytes_;
    qint64 read_ = 0;
    QByteArray block_;
    qsizetype at_ = 0;
    QString error_;
};

} // namespace kestrel
