#include "link/linewriter.h"

#include <QMetaObject>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace kestrel
{

// Shared with the writing thread, which may outlive the object while a write blocks.
struct LineWriter::Shared {
    int fd = -1;
    std::mutex mutex;
    LineWriter* owner = nullptr; // cleared, under the mutex, when the owner goes
    std::condition_variable wake;
    std::condition_variable drained;
    std::deque<QByteArray> queue;
    qsizetype pendingBytes = 0;
    bool writing = false;
    bool quitting = false;
    QString failure;
};

LineWriter::LineWriter(int fd, QObject* parent)
    : QObject(parent), shared_(std::make_shared<Shared>())
{
    shared_->fd = fd;
    shared_->owner = this;
    std::thread(writerLoop, shared_).detach();
}

LineWriter::~LineWriter()
{
    flush(1000);
    std::lock_guard lock(shared_->mutex);
    shared_->owner = nullptr;
    shared_->quitting = true;
    shared_->wake.notify_all();
}

void LineWriter::write(const QByteArray& bytes)
{
    std::lock_guard lock(shared_->mutex);
    if (!shared_->failure.isEmpty() || shared_->quitting)
        return;
    if (shared_->pendingBytes + bytes.size() > maxPendingBytes) {
        shared_->failure = QStringLiteral("nothing reads it (more than 8 MiB are waiting)");
        shared_->queue.clear();
        shared_->pendingBytes = 0;
        QMetaObject::invokeMethod(
            this, [this, reason = shared_->failure] { emit failed(reason); }, Qt::QueuedConnection);
        return;
    }
    shared_->queue.push_back(bytes);
    shared_->pendingBytes += bytes.size();
    shared_->wake.notify_one();
}

bool LineWriter::flush(int timeoutMs)
{
    std::unique_lock lock(shared_->mutex);
    return shared_->drained.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
        return (shared_->queue.empty() && !shared_->writing) || !shared_->failure.isEmpty();
    }) && shared_->failure.isEmpty();
}

bool LineWriter::hasFailed() const
{
    std::lock_guard lock(shared_->mutex);
    return !shared_->failure.isEmpty();
}

void LineWriter::writerLoop(std::shared_ptr<Shared> shared)
{
    for (;;) {
        QByteArray bytes;
        {
            std::unique_lock lock(shared->mutex);
            shared->wake.wait(lock, [&] { return shared->quitting || !shared->queue.empty(); });
            if (shared->queue.empty())
                return;
            bytes = std::move(shared->queue.front());
            shared->queue.pop_front();
            shared->writing = true;
        }
        QString failure;
        for (qsizetype done = 0; done < bytes.size();) {
            const ssize_t n = ::write(shared->fd, bytes.constData() + done, bytes.size() - done);
            if (n > 0) {
                done += n;
            } else if (n < 0 && errno != EINTR) {
                failure = QString::fromLocal8Bit(std::strerror(errno));
                break;
            }
        }
        std::lock_guard lock(shared->mutex);
        shared->writing = false;
        shared->pendingBytes -= bytes.size();
        if (!failure.isEmpty() && shared->failure.isEmpty()) {
            shared->failure = failure;
            shared->queue.clear();
            shared->pendingBytes = 0;
            // Posted while the owner cannot go away (its destructor takes the mutex);
            // Qt drops the call if the owner is deleted before it runs.
            if (LineWriter* target = shared->owner)
                QMetaObject::invokeMethod(
                    target, [target, failure] { emit target->failed(failure); },
                    Qt::QueuedConnection);
        }
        shared->drained.notify_all();
    }
}

} // namespace kestrel
