#include "store/runrecorder.h"

#include "data/vectorstate.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

namespace kestrel
{

namespace
{

// Points committed in one transaction once the store frees: a backlog of a million is
// written in seconds, and a sweep's next points join the queue meanwhile.
constexpr std::size_t pointsPerCommit = 4096;
// How often the count of waiting points is told again while it grows.
constexpr qint64 waitingReportMs = 1000;

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

RunRecorder::RunRecorder(QString path, QString program, QObject* parent)
    : QObject(parent), path_(std::move(path)), program_(std::move(program))
{
    if (path_.isEmpty())
        return;
    worker_ = startWorker([this] { workerLoop(); });
    post(std::function<Step()>([this] {
        database_ = std::make_unique<RunDatabase>(path_, busyTimeoutMs);
        if (const QString problem = database_->open(RunDatabase::Pages::Checked);
            !problem.isEmpty()) {
            database_.reset();
            breakWith(problem);
        }
        return Step::Done;
    }));
}

RunRecorder::~RunRecorder()
{
    if (!worker_.joinable())
        return;
    // A store another program holds until after this waits the points out: the guard,
    // still told how many were measured, says how many were lost.
    waitUntilWritten(quitWaitMs);
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

void RunRecorder::post(Job job)
{
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

bool RunRecorder::waitUntilWritten(int timeoutMs)
{
    std::unique_lock lock(mutex_);
    return written_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [this] { return jobs_.empty() && !working_; });
}

void RunRecorder::workerLoop()
{
    for (;;) {
        std::function<Step()> task;
        std::vector<MeasuredPoint> points;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return quitting_ || !jobs_.empty(); });
            // Quitting with jobs left: the store stayed busy past the wait, they are lost.
            if (quitting_)
                break;
            for (auto job = jobs_.begin(); job != jobs_.end() && points.size() < pointsPerCommit &&
                                           std::holds_alternative<MeasuredPoint>(*job);
                 ++job)
                points.push_back(std::get<MeasuredPoint>(*job));
            if (points.empty())
                task = std::get<std::function<Step()>>(jobs_.front());
            working_ = true;
        }
        const Step step = task ? task() : keepPoints(points);
        if (step == Step::Busy)
            noteBusy();
        {
            std::lock_guard lock(mutex_);
            working_ = false;
            if (step == Step::Done)
                pointsWritten_ += qint64(points.size());
            if (step == Step::Done)
                jobs_.erase(jobs_.begin(), jobs_.begin() + std::ptrdiff_t(std::max<std::size_t>(
                                                               points.size(), 1)));
        }
        if (step == Step::Done) {
            waitingPoints_ -= int(points.size());
            noteWritten(int(points.size()));
        }
        written_.notify_all();
    }
    database_.reset(); // closed on the thread that opened it
}

RunRecorder::Step RunRecorder::keepPoints(const std::vector<MeasuredPoint>& points)
{
    if (broken_ || runId_ == 0)
        return Step::Done;
    if (database_->addPoints(runId_, points))
        return Step::Done;
    if (database_->wasBusy())
        return Step::Busy;
    check(false);
    return Step::Done;
}

void RunRecorder::noteBusy()
{
    const bool first = !busySince_.isValid();
    if (first) {
        busySince_ = QDateTime::currentDateTime();
        keptSinceBusy_ = 0;
    }
    const qint64 now = nowMs();
    if (!first && now - busyReported_ < waitingReportMs)
        return;
    busyReported_ = now;
    QMetaObject::invokeMethod(
        this,
        [this, points = waitingPoints_.load(), since = busySince_] { emit waiting(points, since); },
        Qt::QueuedConnection);
}

void RunRecorder::noteWritten(int points)
{
    if (!busySince_.isValid())
        return;
    keptSinceBusy_ += points;
    if (waitingPoints_ > 0)
        return;
    QMetaObject::invokeMethod(
        this, [this, kept = keptSinceBusy_, since = busySince_] { emit caughtUp(kept, since); },
        Qt::QueuedConnection);
    busySince_ = QDateTime();
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
    post(std::function<Step()>([this, run] {
        if (broken_)
            return Step::Done;
        const qint64 id = database_->beginRun(run, program_, thisProcess());
        if (id == 0 && database_->wasBusy())
            return Step::Busy;
        runId_ = id;
        check(runId_ != 0);
        if (runId_ != 0)
            QMetaObject::invokeMethod(
                this, [this, id] { emit begun(id); }, Qt::QueuedConnection);
        return Step::Done;
    }));
}

void RunRecorder::keepPoint(int index, double level, double amps, qint64 ms, int inCompliance,
                            double sd)
{
    if (!isKeeping())
        return;
    if (waitingPoints_ >= maxWaitingPoints) {
        breakWith(QStringLiteral("%1 stayed busy while %2 points waited for it, the most that "
                                 "wait; the points measured since are not kept")
                      .arg(path_)
                      .arg(maxWaitingPoints));
        return;
    }
    // The first point to wait for a busy store waits a little; those after it, not at all.
    const bool backlog = waitingPoints_++ > 0;
    std::unique_lock lock(mutex_);
    jobs_.push_back(MeasuredPoint{index, level, amps, ms, inCompliance, sd});
    const qint64 ticket = ++pointsPosted_;
    wake_.notify_one();
    if (!backlog)
        written_.wait_for(lock, std::chrono::milliseconds(commitWaitMs),
                          [this, ticket] { return pointsWritten_ >= ticket; });
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
    post(std::function<Step()>([this, ending = std::move(ending)] { return writeEnd(ending); }));
}

QString RunRecorder::lostEndPath(const QString& store, qint64 run, Run::Outcome outcome,
                                 bool outputOff)
{
    return QStringLiteral("%1-end-%2-%3-%4")
        .arg(store)
        .arg(run)
        .arg(outcomeName(outcome), outputOff ? QStringLiteral("off") : QStringLiteral("on"));
}

RunRecorder::Step RunRecorder::writeEnd(const Run& ending)
{
    if (broken_ || runId_ == 0) {
        runId_ = 0;
        return Step::Done;
    }
    // A full disk may take the record once the write-ahead log is back in the store:
    // a few tries, briefly, before the end is given up.
    constexpr int attempts = 3;
    bool ok = false;
    for (int attempt = 0; attempt < attempts && !ok; ++attempt) {
        if (attempt > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            database_->checkpoint();
        }
        if (failingEnds_ > 0) {
            --failingEnds_;
            continue;
        }
        ok = database_->finishRun(runId_, ending);
        if (!ok && database_->wasBusy())
            return Step::Busy;
    }
    const qint64 id = std::exchange(runId_, 0);
    if (ok) {
        QMetaObject::invokeMethod(
            this, [this, id] { emit ended(id); }, Qt::QueuedConnection);
        return Step::Done;
    }
    // What the program knows (the output confirmed off or not) must survive it: the
    // next start would otherwise say the output may be on.
    QFile word(lostEndPath(path_, id, ending.outcome, ending.outputOff));
    const bool left = word.open(QIODevice::WriteOnly);
    breakWith(QStringLiteral("%1 cannot be written: the end of run %2 was not recorded (%3)%4")
                  .arg(path_)
                  .arg(id)
                  .arg(database_->lastError().isEmpty() ? QStringLiteral("no room")
                                                        : database_->lastError(),
                       left ? QString()
                            : QStringLiteral("; %1 cannot be made either: %2")
                                  .arg(word.fileName(), word.errorString())));
    return Step::Done;
}

void RunRecorder::readLostEnds(std::vector<StoredRun>& runs)
{
    const QFileInfo store(path_);
    const QString prefix = store.fileName() + QStringLiteral("-end-");
    const QStringList words =
        store.dir().entryList({prefix + QLatin1Char('*')}, QDir::Files, QDir::Name);
    for (const QString& name : words) {
        const QStringList parts = name.mid(prefix.size()).split(QLatin1Char('-'));
        bool number = false;
        const qint64 id = parts.value(0).toLongLong(&number);
        const auto outcome = outcomeFromName(parts.value(1));
        if (parts.size() != 3 || !number || !outcome)
            continue;
        const bool off = parts[2] == QLatin1String("off");
        const QString message =
            QStringLiteral("The end of run %1 was not recorded: the store could not be written "
                           "when it ended (%2), %3.")
                .arg(id)
                .arg(outcomeName(*outcome),
                     off ? QStringLiteral("with the source output switched off and confirmed")
                         : QStringLiteral("with the source output not confirmed off"));
        if (database_->recordLostEnd(id, *outcome, off, message))
            QFile::remove(store.dir().filePath(name));
        auto found = std::find_if(runs.begin(), runs.end(),
                                  [id](const StoredRun& run) { return run.id == id; });
        if (found == runs.end()) {
            std::optional<StoredRun> loaded = database_->load(id);
            if (!loaded)
                continue; // deleted meanwhile
            loaded->run.points.clear();
            runs.push_back(std::move(*loaded));
            found = runs.end() - 1;
        }
        found->endNotRecorded = true;
        found->run.outcome = *outcome;
        found->run.outputOff = off;
        found->run.message = message;
    }
}

void RunRecorder::recover(std::function<void(std::vector<StoredRun>)> done)
{
    if (!isKeeping())
        return;
    post(std::function<Step()>([this, done = std::move(done)] {
        if (broken_)
            return Step::Done;
        std::vector<StoredRun> runs = database_->recoverInterrupted();
        if (database_->wasBusy())
            return Step::Busy;
        check(database_->lastError().isEmpty());
        if (!broken_)
            readLostEnds(runs);
        QMetaObject::invokeMethod(
            this, [done, runs = std::move(runs)] { done(runs); }, Qt::QueuedConnection);
        return Step::Done;
    }));
}

} // namespace kestrel
