#include "app/labcontroller.h"

#include "app/labpanel.h"
#include "data/runfile.h"
#include "data/sitext.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QTime>

#include <algorithm>

namespace kestrel
{

namespace
{

// A burst of runs published by other benches is listed once.
constexpr int relistMs = 300;

} // namespace

LabController::LabController(QString storePath, LabPanel* panel, QLabel* waitingLine,
                             QObject* parent)
    : QObject(parent), storePath_(std::move(storePath)), panel_(panel), waitingLine_(waitingLine),
      program_(runsProgram())
{
    retry_.setSingleShot(true);
    rewatch_.setSingleShot(true);
    relist_.setSingleShot(true);
    relist_.setInterval(relistMs);
    connect(&retry_, &QTimer::timeout, this, &LabController::publishSoon);
    connect(&rewatch_, &QTimer::timeout, this, &LabController::watch);
    connect(&relist_, &QTimer::timeout, this, &LabController::list);
    if (panel_)
        connect(panel_, &LabPanel::showRequested, this, &LabController::show);
}

LabController::~LabController()
{
    shutdown();
}

QString LabController::runsProgram()
{
    const QString here = QCoreApplication::applicationDirPath();
    for (const QString& candidate : QStringList{here + QStringLiteral("/kestrel-runs"),
                                                QStringLiteral(KESTREL_RUNS_BUILD_PATH)})
        if (QFileInfo(candidate).isExecutable())
            return QFileInfo(candidate).canonicalFilePath();
    return QString();
}

void LabController::end(std::unique_ptr<QProcess>& process)
{
    if (!process)
        return;
    process->disconnect(this);
    process->kill();
    process->waitForFinished(1000); // a killed process ends at once
    process.reset();
}

std::unique_ptr<QProcess>
LabController::process(const QStringList& args,
                       std::function<void(int, QProcess::ExitStatus)> ended)
{
    auto p = std::make_unique<QProcess>();
    p->setProgram(program_);
    p->setArguments(args);
    connect(p.get(), &QProcess::finished, this, ended);
    // One that cannot start ends there, as one that crashed.
    connect(p.get(), &QProcess::errorOccurred, this, [ended](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            ended(-1, QProcess::CrashExit);
    });
    return p;
}

QString LabController::lastWords(QProcess& process)
{
    const QString said = QString::fromUtf8(process.readAllStandardError());
    const QString prefix = QStringLiteral("kestrel-runs: ");
    const QStringList lines = said.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (auto line = lines.crbegin(); line != lines.crend(); ++line)
        if (line->startsWith(prefix))
            return line->mid(prefix.size());
    return process.error() == QProcess::FailedToStart
               ? tr("%1 could not be started: %2").arg(process.program(), process.errorString())
               : tr("%1 ended without saying why").arg(QFileInfo(process.program()).fileName());
}

void LabController::start()
{
    shutDown_ = false;
    // What followed another store, or none, goes.
    for (auto* p : {&watcher_, &lister_, &publisher_})
        end(*p);
    retry_.stop(), rewatch_.stop(), relist_.stop();
    retryMs_ = rewatchMs_ = firstRetryMs;
    setWaiting(QString());
    const auto configured = configuredLabUri();
    if (const QString* problem = std::get_if<QString>(&configured)) {
        uri_ = LabUri{};
        if (panel_)
            panel_->setState(tr("The lab store set is not usable: %1").arg(*problem), true);
        return;
    }
    uri_ = std::get<LabUri>(configured);
    if (uri_.uri.isEmpty()) {
        if (panel_) {
            panel_->setRuns({});
            panel_->setState(tr("No lab store is set. File ▸ Lab store… sets one: the benches "
                                "that set the same one share their runs here."),
                             false);
        }
        return;
    }
    if (program_.isEmpty()) {
        if (panel_)
            panel_->setState(tr("kestrel-runs is not installed beside Kestrel: the lab store "
                                "cannot be reached."),
                             true);
        return;
    }
    if (panel_)
        panel_->setState(tr("Connecting to the lab store at %1…").arg(uri_.where), false);
    watch();
    publishSoon();
}

bool LabController::isPublishing() const
{
    return publisher_ && publisher_->state() != QProcess::NotRunning;
}

void LabController::setSweeping(bool sweeping)
{
    sweeping_ = sweeping;
    if (!sweeping && publishAgain_)
        publishSoon();
}

void LabController::publishSoon()
{
    if (shutDown_ || uri_.uri.isEmpty() || storePath_.isEmpty() || program_.isEmpty())
        return;
    // A sweep is never shared with publishing; a publish under way is followed by another.
    if (sweeping_ || isPublishing()) {
        publishAgain_ = true;
        return;
    }
    publishAgain_ = false;
    retry_.stop();
    startPublishing();
}

void LabController::startPublishing()
{
    publisher_ =
        process({QStringLiteral("--store"), storePath_, QStringLiteral("publish")},
                [this](int exitCode, QProcess::ExitStatus status) { published(exitCode, status); });
    publisher_->start();
}

void LabController::published(int exitCode, QProcess::ExitStatus status)
{
    if (!publisher_)
        return;
    const bool ok = status == QProcess::NormalExit && exitCode == 0;
    const QString problem = ok ? QString() : lastWords(*publisher_);
    publisher_.release()->deleteLater();
    if (ok) {
        retryMs_ = firstRetryMs;
        setWaiting(QString());
        if (publishAgain_)
            publishSoon();
        return;
    }
    // kestrel-runs says how many runs wait and why; anything else is said as it is.
    setWaiting(problem.startsWith(QLatin1String("Lab store: "))
                   ? problem
                   : tr("Lab store: runs waiting — %1").arg(problem));
    retry_.start(retryMs_);
    retryMs_ = std::min(retryMs_ * 2, longestRetryMs);
}

void LabController::setWaiting(const QString& text)
{
    if (!waitingLine_)
        return;
    waitingLine_->setText(
        text.isEmpty() ? QString()
                       : tr("%1 (tried %2)")
                             .arg(text, QTime::currentTime().toString(QStringLiteral("HH:mm:ss"))));
    waitingLine_->setVisible(!text.isEmpty());
}

void LabController::watch()
{
    if (shutDown_ || uri_.uri.isEmpty())
        return;
    watcher_ = process({QStringLiteral("--lab"), QStringLiteral("watch")},
                       [this](int, QProcess::ExitStatus) { watcherEnded(); });
    connect(watcher_.get(), &QProcess::readyReadStandardOutput, this, &LabController::watcherSaid);
    watcher_->start(); // its standard input stays open: closed, it ends
}

void LabController::watcherSaid()
{
    while (watcher_ && watcher_->canReadLine()) {
        const QByteArray line = watcher_->readLine().trimmed();
        if (line == "listening") {
            rewatchMs_ = firstRetryMs;
            list();
        } else if (line == "published" && !relist_.isActive()) {
            relist_.start();
        }
    }
}

void LabController::watcherEnded()
{
    if (!watcher_)
        return;
    const QString problem = lastWords(*watcher_);
    watcher_.release()->deleteLater();
    if (panel_)
        panel_->setState(tr("Not following the lab store: %1. Trying again in %2 s.")
                             .arg(problem)
                             .arg(rewatchMs_ / 1000),
                         true);
    rewatch_.start(rewatchMs_);
    rewatchMs_ = std::min(rewatchMs_ * 2, longestRetryMs);
}

void LabController::list()
{
    if (shutDown_ || uri_.uri.isEmpty())
        return;
    if (lister_) { // one listing at a time; one more once it is in
        listAgain_ = true;
        return;
    }
    listAgain_ = false;
    lister_ =
        process({QStringLiteral("--lab"), QStringLiteral("list"), QStringLiteral("--json")},
                [this](int exitCode, QProcess::ExitStatus status) { listed(exitCode, status); });
    lister_->start();
}

void LabController::listed(int exitCode, QProcess::ExitStatus status)
{
    if (!lister_)
        return;
    const bool ok = status == QProcess::NormalExit && exitCode == 0;
    const QString problem = ok ? QString() : lastWords(*lister_);
    QByteArray text = ok ? lister_->readAllStandardOutput() : QByteArray();
    lister_.release()->deleteLater();
    if (!ok) {
        if (panel_)
            panel_->setState(tr("The lab store was not listed: %1").arg(problem), true);
    } else {
        parser_.run(
            this,
            [text = std::move(text)](const CancelSignal&) {
                std::vector<LabRun> runs;
                for (const QByteArray& line : text.split('\n'))
                    if (!line.isEmpty())
                        if (std::optional<LabRun> run = labRunFromLine(line))
                            runs.push_back(std::move(*run));
                return runs;
            },
            [this](std::vector<LabRun> runs) {
                if (!panel_)
                    return;
                const qsizetype benches = [&runs] {
                    QSet<QString> names;
                    for (const LabRun& run : runs)
                        names.insert(run.stored.bench);
                    return names.size();
                }();
                const qsizetype count = qsizetype(runs.size());
                panel_->setRuns(std::move(runs));
                panel_->setState(
                    tr("The lab store at %1: %2 of %3, listed at %4; others come as "
                       "published.")
                        .arg(uri_.where,
                             count == 1 ? tr("1 run") : tr("%1 runs").arg(countText(count)),
                             benches == 1 ? tr("1 bench") : tr("%1 benches").arg(benches),
                             QTime::currentTime().toString(QStringLiteral("HH:mm:ss"))),
                    false);
            });
    }
    if (listAgain_)
        list();
}

void LabController::show(const QString& uuid)
{
    if (uri_.uri.isEmpty() || !scratch_.isValid())
        return;
    end(loader_); // the later choice wins
    const QString path = scratch_.filePath(QStringLiteral("lab-run.csv"));
    QFile::remove(path);
    loader_ = process({QStringLiteral("--lab"), QStringLiteral("export"), uuid, path},
                      [this, uuid, path](int exitCode, QProcess::ExitStatus status) {
                          loaded(uuid, path, exitCode, status);
                      });
    if (showStatus)
        showStatus(tr("Reading the lab run %1…").arg(uuid), false);
    loader_->start();
}

void LabController::loaded(const QString& uuid, const QString& path, int exitCode,
                           QProcess::ExitStatus status)
{
    if (!loader_)
        return;
    const bool ok = status == QProcess::NormalExit && exitCode == 0;
    const QString problem = ok ? QString() : lastWords(*loader_);
    loader_.release()->deleteLater();
    if (!ok) {
        if (showStatus)
            showStatus(tr("The lab run %1 was not read: %2").arg(uuid, problem), true);
        return;
    }
    parser_.run(
        this,
        [path](const CancelSignal&) {
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly))
                return std::variant<Run, QString>(file.errorString());
            return readRunFile(file);
        },
        [this, uuid](std::variant<Run, QString> read) {
            if (const QString* problem = std::get_if<QString>(&read)) {
                if (showStatus)
                    showStatus(tr("The lab run %1 was not read: %2").arg(uuid, *problem), true);
                return;
            }
            const LabRun* listed = panel_ ? panel_->model()->run(uuid) : nullptr;
            LabRun from = listed ? *listed : LabRun{};
            auto run = std::make_shared<Run>(std::move(std::get<Run>(read)));
            // The file says what was measured; the lab how the run ended.
            if (listed) {
                run->outcome = listed->stored.run.outcome;
                run->message = listed->stored.run.message;
                run->outputOff = listed->stored.run.outputOff;
            }
            from.stored.uuid = uuid;
            if (showRun)
                showRun(std::move(run), from);
        });
}

void LabController::shutdown()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    retry_.stop(), rewatch_.stop(), relist_.stop();
    parser_.cancelAll();
    for (auto* p : {&watcher_, &lister_, &loader_})
        end(*p); // a killed reader leaves the lab as it was
    // A publish under way or wanted goes on in a kestrel-runs of its own: its transaction
    // is whole or nothing, and the window does not wait for it.
    const bool wanted = isPublishing() || publishAgain_;
    end(publisher_);
    if (wanted && !uri_.uri.isEmpty() && !storePath_.isEmpty() && !program_.isEmpty())
        QProcess::startDetached(program_,
                                {QStringLiteral("--store"), storePath_, QStringLiteral("publish")});
}

} // namespace kestrel
