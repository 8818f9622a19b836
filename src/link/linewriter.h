#pragma once

#include <QByteArray>
#include <QObject>

#include <memory>

namespace kestrel
{

// Writes to a file descriptor (standard output) from a thread of its own, so a
// reader that stops reading never blocks the event loop: Ctrl-C and Stop still work
// while a pipe is full. After the first failed write (a closed pipe, a full disk)
// everything further is dropped and failed() is emitted once.
class LineWriter : public QObject
{
    Q_OBJECT
  public:
    // More than this waiting to be written means nobody is reading.
    static constexpr qsizetype maxPendingBytes = 8 * 1024 * 1024;

    explicit LineWriter(int fd, QObject* parent = nullptr);
    ~LineWriter() override; // gives what is queued a second to go out

    void write(const QByteArray& bytes);
    // Waits until everything queued is written or the time is up; true when written.
    bool flush(int timeoutMs);
    bool hasFailed() const;

  signals:
    void failed(const QString& reason);

  private:
    struct Shared;
    static void writerLoop(std::shared_ptr<Shared> shared);
    std::shared_ptr<Shared> shared_;
};

} // namespace kestrel
