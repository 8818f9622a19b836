#pragma once

#include "data/ivpoints.h"

#include <qcustomplot.h>
#include <QImage>

namespace kestrel
{

// One sweep's points as scatter markers, drawn incrementally: the markers already
// drawn stay in an image kept for the current axes and size, and a redraw only adds
// the new ones and copies the image. Only when the axes or the size change is every
// marker drawn again. Exports (PNG, SVG) draw every marker directly.
class ScatterTrace : public QCPAbstractPlottable
{
    Q_OBJECT
  public:
    ScatterTrace(QCPAxis* keyAxis, QCPAxis* valueAxis);

    void append(double volt, double amps);
    void setPoints(ChartPointList points);
    const ChartPointList& points() const { return points_; }

    void setColor(const QColor& color, int markerSize);
    QColor color() const { return color_; }

    // Draw |current|, leaving zeros out, for a logarithmic current axis.
    void setMagnitudeOnly(bool on);
    // Markers the current view shows (zeros are hidden when only magnitudes are shown).
    int shownCount() const;

    double selectTest(const QPointF&, bool, QVariant*) const override { return -1; }
    QCPRange getKeyRange(bool& foundRange,
                         QCP::SignDomain inSignDomain = QCP::sdBoth) const override;
    QCPRange getValueRange(bool& foundRange, QCP::SignDomain inSignDomain = QCP::sdBoth,
                           const QCPRange& inKeyRange = QCPRange()) const override;

  protected:
    void draw(QCPPainter* painter) override;
    void drawLegendIcon(QCPPainter* painter, const QRectF& rect) const override;

  private:
    struct View {
        QCPRange keys, values;
        QRect rect;
        QCPAxis::ScaleType valueScale = QCPAxis::stLinear;
        double pixelRatio = 1.0;
        bool operator==(const View& other) const
        {
            return keys == other.keys && values == other.values && rect == other.rect &&
                   valueScale == other.valueScale && pixelRatio == other.pixelRatio;
        }
    };

    bool shown(const ivData& point) const { return !(magnitudeOnly_ && point.drainVolt == 0.0); }
    double shownValue(const ivData& point) const
    {
        return magnitudeOnly_ ? std::fabs(point.drainVolt) : point.drainVolt;
    }
    void drawMarkers(QPainter& painter, std::size_t from, QPointF origin) const;
    void invalidate() { cache_ = QImage(); }

    ChartPointList points_;
    QColor color_;
    int markerSize_ = 6;
    bool magnitudeOnly_ = false;
    QImage marker_;
    QImage cache_;
    View cachedView_;
    std::size_t cachedCount_ = 0;
};

} // namespace kestrel
