#include "link/workqueue.h"

#include "data/vectorstate.h"

#include <QThread>

namespace kestrel
{

WorkQueue::WorkQueue(QObject* parent)
    : QObject(parent), worker_(startWorker([this] { workerLoop(); }))
{
}

WorkQueue::~WorkQueue()
{
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
        pending_.clear();
        cancel_.cancel();
    }
    wake_.notify_all();
    worker_.join();
}

void WorkQueue::post(Job job, QObject* context)
{
    Q_ASSERT(QThread::currentThread() == thread());
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(Entry{std::move(job), context, epoch_});
    }
    wake_.notify_one();
}

void WorkQueue::cancelAll()
{
    std::lock_guard lock(mutex_);
    ++epoch_;
    pending_.clear();
    if (busy_)
        cancel_.cancel();
}

bool WorkQueue::isIdle() const
{
    std::lock_guard lock(mutex_);
    return !busy_ && pending_.empty();
}

bool WorkQueue::waitForIdle(int timeoutMs)
{
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [this] { return !busy_ && pending_.empty(); });
}

void WorkQueue::workerLoop()
{
    for (;;) {
        Entry entry;
        {
            std::unique_lock lock(mutex_);
            idle_.notify_all();
            wake_.wait(lock, [this] { return quitting_ || !pending_.empty(); });
            if (quitting_)
                return;
            entry = std::move(pending_.front());
            pending_.pop_front();
            busy_ = true;
            cancel_.reset();
        }
        clearUpperVectorState(); // whatever the job before left behind
        std::function<void()> done = entry.job(cancel_);
        {
            std::lock_guard lock(mutex_);
            busy_ = false;
            if (entry.epoch != epoch_ || quitting_)
                continue;
        }
        // Delivered on this object's thread; the destructor joins the worker first,
        // so this object outlives every call posted here.
        QMetaObject::invokeMethod(
            this,
            [this, epoch = entry.epoch, context = entry.context, done = std::move(done)] {
                if (epoch == epoch_ && context && done)
                    done();
            },
            Qt::QueuedConnection);
    }
}

} // namespace kestrel
