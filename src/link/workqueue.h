#pragma once

#include "link/shellrunner.h"

#include <QObject>
#include <QPointer>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace kestrel
{

// Runs jobs (instrument commands, file writes) on one worker thread, strictly one
// after another in the order posted, so the GUI thread never waits for an
// instrument. Each result comes back on this object's thread through the event
// loop and is dropped if the context object has gone or the queue was cancelled.
class WorkQueue : public QObject
{
    Q_OBJECT
  public:
    // Runs on the worker; what it returns runs afterwards on this object's thread.
    using Job = std::function<std::function<void()>(const CancelSignal&)>;

    explicit WorkQueue(QObject* parent = nullptr);
    ~WorkQueue() override; // ends the job in flight and waits for the worker

    void post(Job job, QObject* context);

    // work(cancel) on the worker, then done(result) on this object's thread.
    template <typename Work, typename Done> void run(QObject* context, Work work, Done done)
    {
        post(
            [work = std::move(work), done = std::move(done)](const CancelSignal& cancel) {
                return std::function<void()>(
                    [done, result = work(cancel)]() mutable { done(std::move(result)); });
            },
            context);
    }

    // Drops every job not yet started and cancels the one in flight; no result of
    // any of them is delivered.
    void cancelAll();

    bool isIdle() const;
    // Waits (without delivering results) until the worker has nothing to do.
    bool waitForIdle(int timeoutMs);

  private:
    struct Entry {
        Job job;
        QPointer<QObject> context;
        quint64 epoch;
    };
    void workerLoop();

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Entry> pending_;
    bool busy_ = false;
    bool quitting_ = false;
    quint64 epoch_ = 0;
    CancelSignal cancel_;
    std::thread worker_;
};

} // namespace kestrel
