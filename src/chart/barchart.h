#pragma once

#include "data/datafile.h"
#include "data/ivpoints.h"

#include <QTimer>
#include <QVector>
#include <QWidget>

class QCustomPlot;

namespace kestrel
{

class ScatterTrace;

// The live I-V chart: current over voltage as scatter points, no lines. The live
// trace is updated in place as points arrive; the traces of earlier sweeps of this
// run stay behind it, fainter. Redraws are coalesced (at most about 30 a second).
class BarChart : public QWidget
{
    Q_OBJECT
  public:
    static constexpr int maxEarlierTraces = 5;
    static constexpr int replotIntervalMs = 33;

    explicit BarChart(QWidget* parent = nullptr);

    // The live trace becomes an earlier trace (if it has points) and a new, empty
    // live trace named name begins.
    void beginTrace(const QString& name);
    void addPoint(double volt, double amps);
    // The live trace shows exactly these records.
    void setPoints(const ChartPointList& records);
    void clearEarlier();

    // Logarithmic axis of |current|; zero currents are left out of that view.
    void setLogCurrent(bool on);
    bool logCurrent() const { return logCurrent_; }

    int livePointCount() const;
    int earlierTraceCount() const { return int(earlier_.size()); }
    QCustomPlot* plot() const { return plot_; }
    ScatterTrace* liveTrace() const { return live_.trace; }
    QList<ScatterTrace*> earlierTraces() const;

    void replotNow();
    // Axes fit every shown point again (while points arrive they only ever grow).
    void fitToData();

    // Exports what the chart shows; the format follows the name (.png or .svg).
    WriteResult exportImage(const QString& path, int width = 900, int height = 600);

  private:
    struct Trace {
        QString name;
        ScatterTrace* trace = nullptr;
    };

    ScatterTrace* newTrace();
    void scheduleReplot();
    void restackEarlier();
    void growRangesFor(double volt, double amps);

    QCustomPlot* plot_;
    Trace live_;
    QVector<Trace> earlier_;
    bool logCurrent_ = false;
    QTimer replotTimer_;
};

} // namespace kestrel
