#include "store/runrecorder.h"

#include "data/vectorstate.h"

#include <future>

namespace kestrel
{

RunRecorder::RunRecorder(QString path, QString program, QObject* parent)
    : QObject(parent), path_(std::move(path)), program_(std::move(program))
{
    if (path_.isEmpty())
        return;
    worker_ = startWorker([this] { workerLoop(); });
    post([this] {
        database_ = std::make_unique<RunDatabase>(path_);
        if (const QString problem = database_->open(); !problem.isEmpty()) {
            database_.reset();
            breakWith(problem);
        }
    });
}

RunRecorder::~RunRecorder()
{
    if (!worker_.joinable())
        return;
    post([this] { database_.reset(); }); // closed on the thread that opened it
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

QString RunRecorder::problem() const
{
    std::lock_guard lock(mutex_);
    return problem_;
}

void RunRecorder::post(std::function<void()> task)
{
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void RunRecorder::workerLoop()
{
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return quitting_ || !tasks_.empty(); });
            if (tasks_.empty())
                return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

void RunRecorder::check(bool ok)
{
    if (!ok)
        breakWith(path_ + QStringLiteral(" cannot be written: ") +
                  (database_ ? database_->lastError() : QString()));
}

void RunRecorder::breakWith(const QString& reason)
{
    if (broken_.exchange(true))
        return;
    const QString text = QStringLiteral("Runs are not being kept: ") + reason;
    {
        std::lock_guard lock(mutex_);
        problem_ = text;
    }
    QMetaObject::invokeMethod(
        this, [this, text] { emit failed(text); }, Qt::QueuedConnection);
}

void RunRecorder::begin(const Run& run)
{
    if (!isKeeping())
        return;
    post([this, run] {
        if (broken_)
            return;
        runId_ = database_->beginRun(run, program_, thisProcess());
        check(runId_ != 0);
        if (runId_ != 0)
            QMetaObject::invokeMethod(
                this, [this, id = runId_] { emit begun(id); }, Qt::QueuedConnection);
    });
}

void RunRecorder::keepPoint(int index, double level, double amps, qint64 ms)
{
    if (!isKeeping())
        return;
    auto committed = std::make_shared<std::promise<void>>();
    std::future<void> done = committed->get_future();
    post([this, committed, index, level, amps, ms] {
        if (!broken_ && runId_ != 0)
            check(database_->addPoint(runId_, index, level, amps, ms));
        committed->set_value();
    });
    done.wait_for(std::chrono::seconds(1));
}

void RunRecorder::finish(const Run& run)
{
    if (!isKeeping())
        return;
    // How it ended, without the points the store already has: a million of them would
    // be copied on the caller's thread for nothing.
    Run ending;
    ending.ended = run.ended;
    ending.outcome = run.outcome;
    ending.message = run.message;
    ending.outputOff = run.outputOff;
    post([this, ending = std::move(ending)] {
        if (!broken_ && runId_ != 0)
            check(database_->finishRun(runId_, ending));
        runId_ = 0;
    });
}

void RunRecorder::recover(std::function<void(std::vector<StoredRun>)> done)
{
    if (!isKeeping())
        return;
    post([this, done = std::move(done)] {
        if (broken_)
            return;
        std::vector<StoredRun> runs = database_->recoverInterrupted();
        check(database_->lastError().isEmpty());
        QMetaObject::invokeMethod(
            this, [done, runs = std::move(runs)] { done(runs); }, Qt::QueuedConnection);
    });
}

} // namespace kestrel
