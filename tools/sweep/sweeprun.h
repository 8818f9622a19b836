#pragma once

#include "chart/barchart.h"
#include "link/workqueue.h"
#include "sweepoptions.h"

#include <QObject>

#include <memory>

namespace kestrel
{

// One headless sweep: the window's sweep engine, its replies on standard output,
// its messages on standard error and the requested files written at the end,
// whatever ended it.
class SweepRun : public QObject
{
    Q_OBJECT
  public:
    explicit SweepRun(const SweepOptions& options, QObject* parent = nullptr);

    void start();
    // Ctrl-C: the output goes off at once, the files get the points so far.
    void interrupt();

  signals:
    void done(int exitStatus);

  private:
    void identifyThenSweep(int which);
    void finished(SweepEngine::Outcome outcome, const QString& message);
    bool writeFiles();
    void report(const QString& message);

    SweepOptions options_;
    WorkQueue queue_;
    SweepEngine engine_;
    std::unique_ptr<BarChart> chart_;
    QString sourceIdentity_, meterIdentity_;
    bool ended_ = false;
};

} // namespace kestrel
