#pragma once

#include "chart/runpalette.h"
#include "chart/sweeplegs.h"
#include "data/datafile.h"
#include "data/ivpoints.h"

#include <QList>
#include <QTimer>
#include <QWidget>

#include <limits>
#include <map>
#include <memory>
#include <optional>

class QCPGraph;
class QCPItemRect;
class QCPLayoutGrid;
class QCustomPlot;
class QMouseEvent;

namespace kestrel
{

class HoverReadout;
class ScatterTrace;

// A run as the chart draws it.
struct ChartRun {
    qint64 key = 0;
    ChartPointList points;
    QString label;
    SweepLegs legs;
    std::vector<std::uint8_t> inCompliance; // Run::inCompliance
};

// The I-V chart: current over voltage as scatter markers, one trace per run. A run is
// known by its key (the run store's id); while shown it has a colour and marker shape no
// other shown run has (its own, pickRunStyle, when free). One run can be live (points
// arrive with addPoint); one is current, drawn on top with slightly larger markers.
// Hovering shows the nearest point's values; the wheel zooms around the cursor, dragging
// pans, a double-click fits every shown run again: a view the user chose stays until
// then. Shift+drag marks a voltage window, drawn as a shaded band. A fitted curve can be
// drawn over the runs as a dashed line of its own. The legend stands beside the plot
// area. Redraws are coalesced (at most about 30 a second).
// A time trace (SweepLegs::overTime, a hold) is drawn against time. The chart has one
// horizontal axis, and the current run says which: while it is a time trace only the
// time traces are drawn, on an axis of seconds, and the I-V curves shown with them wait,
// hidden, until an I-V curve is current again (and the other way round).
class BarChart : public QWidget
{
    Q_OBJECT
  public:
    static constexpr int replotIntervalMs = 33;
    static constexpr double hoverRadiusPx = 10;
    static constexpr int markerSize = 6;
    static constexpr int currentMarkerSize = 7;
    static constexpr int legendMarginPx = 8;

    explicit BarChart(QWidget* parent = nullptr);
    ~BarChart() override;

    // Shows a run's points (replacing what the key showed). legs: where a dual sweep's
    // return legs are, drawn hollow (a plain index: the one return leg's first point).
    // inCompliance: a flag per point (Run::inCompliance), ringed in red where set. It
    // becomes current.
    // spread: each point's standard deviation over its readings (Run::currentSd), or empty.
    void showRun(qint64 key, ChartPointList points, const QString& label,
                 const SweepLegs& legs = {}, const std::vector<std::uint8_t>& inCompliance = {},
                 std::vector<double> spread = {});
    // Draws a shown run in that style (a family's colour ramp) instead of its own.
    void setRunStyle(qint64 key, const RunStyle& style);
    void hideRun(qint64 key);
    // Hides every run but the current one (what "clear earlier traces" means).
    void hideAllButCurrent();
    bool isShown(qint64 key) const { return runs_.count(key) != 0; }
    QList<qint64> shownRuns() const; // oldest shown first
    // A new, empty run that addPoint fills; it becomes current and the view follows it
    // again, even if the user had zoomed. With room made for expectedPoints at once.
    void beginLiveRun(qint64 key, const QString& label, const SweepLegs& legs = {},
                      std::size_t expectedPoints = 0);
    // A point for the live run (ignored when there is none).
    void addPoint(double volt, double amps, bool inCompliance = false,
                  double sd = std::numeric_limits<double>::quiet_NaN());
    // The live run's sweep ended: the axes fit every shown point unless the user chose
    // the view, and the last points are drawn now.
    void liveRunEnded();
    void setCurrentRun(qint64 key);
    std::optional<qint64> currentRun() const { return current_; }
    std::optional<qint64> liveRun() const { return live_; }
    ScatterTrace* trace(qint64 key) const;
    int livePointCount() const;

    // Logarithmic axes of |current| and |voltage|; zeros are left out of those views.
    void setLogCurrent(bool on);
    bool logCurrent() const { return logCurrent_; }
    void setLogVoltage(bool on);
    bool logVoltage() const { return logVoltage_; }
    // Each run's points joined in recording order.
    void setLines(bool on);
    bool lines() const { return lines_; }
    // The horizontal axis is time (a time trace is current), not voltage.
    bool overTime() const { return overTime_; }

    // The fitted I(V) over the runs, named in the legend ("diode fit"); replaces any other.
    void showFit(const IVPointList& curve, const QString& name);
    void clearFit();
    QCPGraph* fitGraph() const { return fit_; }
    // The shaded voltage window; an end that is not given reaches the edge of the chart.
    void showWindow(std::optional<double> fromVolts, std::optional<double> toVolts);
    void clearWindow();
    bool windowShown() const;

    QCustomPlot* plot() const { return plot_; }
    // Draws what changed since the last redraw now, rather than with the next batch.
    void replotNow();
    // Axes fit every shown point again, and follow new points again.
    void fitToData();
    // The user zoomed or panned since the last fit: new points leave the view alone.
    bool viewIsTheUsers() const { return userView_; }
    // The readout shown now ("Sweep 2, point 3: −512 mV, 12.3 µA"; ", in compliance" after
    // a point at the source's limit), or empty. Of points drawn one over another it names
    // the one on top; its digits tell the point from its neighbours.
    QString readoutText() const;

    // Exports what the chart shows, with a legend; the format follows the name (.png or
    // .svg).
    WriteResult exportImage(const QString& path, int width = 900, int height = 600);
    // The same with a run the chart does not show drawn in as the current one, the axes
    // fitting every run drawn; the chart on screen stays as it was.
    WriteResult exportImage(const QString& path, const ChartRun& alsoDraw, int width = 900,
                            int height = 600);

  signals:
    // The readout under the cursor changed; empty when no point is near.
    void hovered(const QString& text);
    // The user marked a voltage window with Shift+drag; fromVolts < toVolts, each rounded
    // to the decimals one pixel of the voltage axis needs.
    void windowMarked(double fromVolts, double toVolts);
    // The horizontal axis turned to time (true) or back to voltage.
    void axisChanged(bool overTime);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    struct Run {
        QString label;
        ScatterTrace* trace = nullptr; // owned by the plot
        quint64 shownOrder = 0;
    };

    ScatterTrace* newTrace(qint64 key, const QString& label, const SweepLegs& legs);
    void restyleCurrent();
    // Draws the runs of the current run's axis, time or voltage, and hides the others.
    void showAxisOfCurrent();
    void scheduleReplot();
    void redrawAll();
    void growRangesFor(double volt, double amps);
    void setAxes();
    void placeLegend();
    void showLegend(bool on);
    void updateLegend();
    void wrapLegend();
    void hover(QMouseEvent* event);
    void clearHover();
    void setFitData();
    void placeWindow();
    double roundToPixel(double volts) const;
    bool markPress(QMouseEvent* event);
    void markMove(QMouseEvent* event);
    void markRelease(QMouseEvent* event);
    // Runs f with range changes counted as the chart's own, not the user's.
    template <typename F> void adjustRanges(F f);

    QCustomPlot* plot_;
    std::unique_ptr<HoverReadout> readout_;
    std::map<qint64, Run> runs_;
    std::optional<qint64> live_, current_;
    quint64 nextOrder_ = 0;
    bool logCurrent_ = false, logVoltage_ = false, lines_ = false, overTime_ = false;
    bool userView_ = false, adjusting_ = false;
    QTimer replotTimer_;
    // Since the last redraw only the live run, on top, has new points: its layer alone
    // is drawn again.
    bool onlyLivePoints_ = false;
    QCPGraph* fit_ = nullptr; // owned by the plot
    IVPointList fitCurve_;
    QCPItemRect* window_ = nullptr;         // owned by the plot
    QCPLayoutGrid* legendColumn_ = nullptr; // owned by the plot's layout while the legend shows
    std::optional<double> windowFrom_, windowTo_;
    std::optional<double> markStart_; // the voltage where a Shift+drag began
};

} // namespace kestrel
