#pragma once

#include "link/workqueue.h"
#include "store/labstore.h"

#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>
#include <memory>

class QLabel;

namespace kestrel
{

class LabPanel;
struct Run;

// Between the window and the lab store, never on the GUI thread and never waited for:
// kestrel-runs does every exchange with the server in a process of its own. It publishes
// the ended runs of this bench's store after each sweep, note and fit (none while a sweep
// runs), retrying with a growing pause while runs wait and saying so in one lasting line;
// it follows the lab (kestrel-runs --lab watch) and lists it again whenever a bench
// publishes; it reads a lab run for the chart. Closing the window kills what is under
// way; a publish not finished is handed to a kestrel-runs of its own, which the window
// does not wait for.
class LabController : public QObject
{
    Q_OBJECT
  public:
    // The first pause before runs that wait are offered again, and the longest.
    static constexpr int firstRetryMs = 5000;
    static constexpr int longestRetryMs = 5 * 60 * 1000;

    // storePath: this bench's run store ("" when runs are not kept: nothing to publish).
    LabController(QString storePath, LabPanel* panel, QLabel* waitingLine,
                  QObject* parent = nullptr);
    ~LabController() override;

    // A lab run read for the chart, and the listing it was chosen from.
    std::function<void(std::shared_ptr<Run> run, const LabRun& listed)> showRun;
    std::function<void(const QString& text, bool problem)> showStatus;

    // Reads the lab store's settings and starts following and publishing; again
    // whenever they change.
    void start();
    void setSweeping(bool sweeping);
    // An ended run, a note or a fit may be new to the lab.
    void publishSoon();
    // The window closes: nothing is waited for.
    void shutdown();
    // Reads a lab run and hands it to showRun.
    void show(const QString& uuid);

    bool isPublishing() const;
    // kestrel-runs beside this program, installed or in the build.
    static QString runsProgram();

  private:
    void startPublishing();
    void published(int exitCode, QProcess::ExitStatus status);
    void setWaiting(const QString& text);
    void watch();
    void watcherSaid();
    void watcherEnded();
    void list();
    void listed(int exitCode, QProcess::ExitStatus status);
    void loaded(const QString& uuid, const QString& path, int exitCode,
                QProcess::ExitStatus status);
    // The last line kestrel-runs wrote on standard error, without its name.
    static QString lastWords(QProcess& process);
    // kestrel-runs with these arguments, not started yet; ended is told how it ended, or
    // that it could not start.
    std::unique_ptr<QProcess> process(const QStringList& args,
                                      std::function<void(int, QProcess::ExitStatus)> ended);
    // Kills it, if it runs, hearing nothing more of it.
    void end(std::unique_ptr<QProcess>& process);

    const QString storePath_;
    QPointer<LabPanel> panel_;
    QPointer<QLabel> waitingLine_;
    LabUri uri_;
    QString program_;
    std::unique_ptr<QProcess> publisher_, watcher_, lister_, loader_;
    QTimer retry_;   // offers waiting runs again
    QTimer rewatch_; // follows the lab again once the watcher has ended
    QTimer relist_;  // lists once a burst of publishing is over
    int retryMs_ = firstRetryMs;
    int rewatchMs_ = firstRetryMs;
    bool sweeping_ = false;
    bool publishAgain_ = false;
    bool listAgain_ = false;
    bool shutDown_ = false;
    QTemporaryDir scratch_; // lab runs read for the chart
    WorkQueue parser_;      // reads listings and runs off the GUI thread
};

} // namespace kestrel
