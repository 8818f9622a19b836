#include "app/analysiscontroller.h"

#include "analysis/fit.h"
#include "app/analysispanel.h"
#include "chart/barchart.h"

namespace kestrel
{

AnalysisController::AnalysisController(Session& session, AnalysisPanel* panel, BarChart* chart,
                                       std::function<qint64()> currentId, QObject* parent)
    : QObject(parent), session_(session), panel_(panel), chart_(chart),
      currentId_(std::move(currentId))
{
    connect(&session_, &Session::currentRunChanged, this, &AnalysisController::currentRunChanged);
    if (panel_) {
        connect(panel_, &AnalysisPanel::fitRequested, this, &AnalysisController::fit);
        connect(panel_, &AnalysisPanel::windowEdited, this, &AnalysisController::showWindow);
    }
    if (chart_ && panel_)
        connect(chart_, &BarChart::windowMarked, panel_,
                [this](double from, double to) { panel_->setWindow(from, to); });
}

void AnalysisController::showWindow()
{
    if (!chart_ || !panel_)
        return;
    const auto request = panel_->request();
    const FitRequest* window = std::get_if<FitRequest>(&request);
    if (window && (window->fromVolts || window->toVolts))
        chart_->showWindow(window->fromVolts, window->toVolts);
    else
        chart_->clearWindow();
}

void AnalysisController::setSweeping(bool sweeping)
{
    if (panel_)
        panel_->setFitEnabled(!sweeping);
}

void AnalysisController::fail(const QString& sentence)
{
    ++asked_; // whatever was running no longer counts
    queue_.cancelAll();
    if (panel_)
        panel_->showFailure(sentence);
    if (chart_)
        chart_->clearFit();
}

void AnalysisController::fit()
{
    if (!panel_)
        return;
    const auto request = panel_->request();
    if (const QString* problem = std::get_if<QString>(&request))
        return fail(*problem);
    if (session_.isSweeping())
        return fail(tr("The run is still being measured: fit it when the sweep has ended."));
    start(std::get<FitRequest>(request), true, QString());
}

void AnalysisController::start(const FitRequest& request, bool store, const QString& storedText)
{
    const std::shared_ptr<const Run> run = session_.currentRun();
    if (!run || run->points.empty())
        return fail(tr("There is no run to fit yet: measure or choose one first."));
    // Every model is one of current over voltage; a hold's points share one level.
    if (run->settings.plan.shape == SweepShape::Hold)
        return fail(tr("A hold is a time trace, current against time at one level: the fits "
                       "are of I-V curves. Choose a sweep to fit."));
    const quint64 asked = ++asked_;
    const qint64 id = currentId_ ? currentId_() : 0;
    queue_.cancelAll(); // a fit still running is superseded
    if (panel_ && storedText.isEmpty())
        panel_->showBusy();
    queue_.run(
        this,
        [points = run->points, options = fitOptions(request)](const CancelSignal&) {
            return analysis::fit(points, options);
        },
        [this, asked, id, store, storedText, request,
         fitted = std::weak_ptr<const Run>(run)](const analysis::FitResult& result) {
            const std::shared_ptr<const Run> now = session_.currentRun();
            if (asked != asked_ || !now || now != fitted.lock())
                return; // superseded, or the run is no longer the current one
            if (!result.ok()) {
                if (storedText.isEmpty())
                    return fail(QString::fromStdString(result.failure));
                if (chart_)
                    chart_->clearFit(); // the kept text stands; the curve cannot be drawn
                return;
            }
            if (panel_)
                panel_->showResults(storedText.isEmpty()
                                        ? QString::fromStdString(analysis::describe(result))
                                        : storedText);
            if (chart_)
                chart_->showFit(result.curve, tr("%1 fit").arg(QLatin1String(
                                                  analysis::modelName(request.model))));
            if (store) {
                const RunFit kept = runFit(request, result);
                session_.addFit(now, kept);
                if (id > 0)
                    session_.history().addFit(id, kept);
            }
        });
}

void AnalysisController::currentRunChanged()
{
    ++asked_;
    queue_.cancelAll();
    if (chart_)
        chart_->clearFit();
    if (!panel_)
        return;
    panel_->clearResults();
    const std::vector<RunFit> fits = session_.fitsOf(session_.currentRun());
    if (fits.empty())
        return;
    // The latest kept fit: its words as they were kept, its curve drawn again.
    const RunFit& latest = fits.back();
    panel_->setRequest(fitRequest(latest));
    showWindow();
    panel_->showResults(quantityLines(latest));
    start(fitRequest(latest), false, quantityLines(latest));
}

} // namespace kestrel
