#pragma once

#include <QColor>
#include <QPointF>
#include <QString>

class QCustomPlot;
class QCPItemText;
class QCPItemTracer;

namespace kestrel
{

// Significant digits that show value down to the place of resolution (the smallest
// difference a reader must see), so two values that far apart read differently; at
// least 3, at most 9.
int digitsToShow(double value, double resolution);

// The value under the cursor, drawn on the chart: a ring around the point and a label
// beside it. It lives on the plot's buffered overlay layer, so moving it redraws that
// layer alone, not the markers.
class HoverReadout
{
  public:
    explicit HoverReadout(QCustomPlot* plot);

    // at: the point's pixel position in the plot.
    void show(QPointF at, const QString& text, const QColor& colour);
    void hide();
    bool isShown() const;
    QString text() const;

  private:
    void redraw();

    QCustomPlot* plot_;
    QCPItemText* label_;
    QCPItemTracer* ring_;
};

} // namespace kestrel
