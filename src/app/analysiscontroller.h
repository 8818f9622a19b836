#pragma once

#include "controller/runanalysis.h"
#include "controller/session.h"
#include "link/workqueue.h"

#include <QObject>
#include <QPointer>

#include <functional>

namespace kestrel
{

class AnalysisPanel;
class BarChart;

// Between the analysis panel, the current run and the chart: Fit runs the fit on a
// thread of its own and shows the result or why there is none; a fit asked for later
// supersedes one still running, and a result for a run that is no longer current is
// dropped. A fit that gave a result is drawn over the run and kept with it in the store.
// A run chosen from the history shows its latest kept fit.
class AnalysisController : public QObject
{
    Q_OBJECT
  public:
    // currentId: the store's id of the current run (0 or less: not kept there).
    AnalysisController(Session& session, AnalysisPanel* panel, BarChart* chart,
                       std::function<qint64()> currentId, QObject* parent = nullptr);

    void fit();
    void setSweeping(bool sweeping);

  private:
    void currentRunChanged();
    // Fits run's points on the worker; store: keep the result with the run.
    void start(const FitRequest& request, bool store, const QString& storedText);
    void fail(const QString& sentence);
    void showWindow(); // the window the fields hold, shaded on the chart

    Session& session_;
    QPointer<AnalysisPanel> panel_;
    QPointer<BarChart> chart_;
    std::function<qint64()> currentId_;
    WorkQueue queue_;
    quint64 asked_ = 0; // the request whose answer counts
};

} // namespace kestrel
