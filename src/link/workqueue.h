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

// Runs jobs (shell command lines, file writes) on one worker thread, strictly one
// after another in the order posted, so the GUI thread never waits for an
// instrument. Each result comes back on this object's thread through the event
// loop and is dropped if the context object has gone or the queue was cancelled.
class WorkQueue : public QObject
{
    Q_OBJECT
  public:
    using Job = std::function<QString(const CancelSignal&)>;
    using Done = std::function<void(const QString& result)>;
    // Runs one shell line and returns its reply; runShell unless a test or a
    // benchmark puts instruments of its own behind the queue.
    using Runner = std::function<QString(const QString& line, const CancelSignal&)>;

    explicit WorkQueue(QObject* parent = nullptr);
    explicit WorkQueue(Runner runner, QObject* parent = nullptr);
    ~WorkQueue() override; // ends the job in flight and waits for the worker

    void post(Job job, QObject* context, Done done);
    void runShellLine(const QString& line, QObject* context, Done done);

    // Drops every job not yet started and ends the one in flight; no result of
    // any of them is delivered.
    void cancelAll();

    // Runs a line on the calling thread, at once, through the same runner. Only for
    // the end of the program, after cancelAll(): nothing else may be in flight.
    QString runLineNow(const QString& line);

    bool isIdle() const;
    // Waits (without delivering results) until the worker has nothing to do.
    bool waitForIdle(int timeoutMs);

  private:
    struct Entry {
        Job job;
        QPointer<QObject> context;
        Done done;
        quint64 epoch;
    };
    void workerLoop();

    const Runner runner_;
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
