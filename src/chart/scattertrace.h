#pragma once

#include "chart/axismap.h"
#include "chart/markerstamps.h"
#include "chart/pointindex.h"
#include "chart/runpalette.h"
#include "chart/sweeplegs.h"
#include "data/ivpoints.h"

#include <qcustomplot.h>
#include <QImage>

#include <memory>
#include <optional>

namespace kestrel
{

// The ring over a point measured at the source's current limit.
inline const QColor complianceColour{230, 0, 0};

// One run's points as scatter markers, optionally joined by lines in recording order.
// Markers of a return leg (legs(): a dual sweep's, in each cycle) are drawn hollow and
// larger, after every first leg: where a return retraces a first leg, its outline rings the
// first leg's marker rather than vanishing inside it.
//
// Drawing is kept: the markers already drawn stay in an image kept for the current
// axes and size, and a redraw only adds the new ones and copies the image. When the
// axes or the size change, every position is tallied in one pass and each pixel
// position is drawn once with the stack of as many markers as landed there, so a full
// redraw costs per pixel position, not per point. Exports to SVG draw every marker.
// Points where the source was at its current limit get a red ring over the marker.
class ScatterTrace : public QCPAbstractPlottable
{
    Q_OBJECT
  public:
    ScatterTrace(QCPAxis* keyAxis, QCPAxis* valueAxis);

    // sd: the spread of the point's readings, drawn as a bar of one standard deviation
    // each way; NaN for a point of one reading.
    void append(double volt, double amps, bool inCompliance = false,
                double sd = std::numeric_limits<double>::quiet_NaN());
    void reserve(std::size_t count) { points_.reserve(count); }
    // inCompliance: one flag per point (1 at the source's limit), or empty.
    void setPoints(ChartPointList points, const std::vector<std::uint8_t>& inCompliance = {});
    const ChartPointList& points() const { return points_; }
    // One spread per point (Run::currentSd), or empty.
    void setSpread(std::vector<double> sd);
    double spread(std::size_t index) const
    {
        return index < spread_.size() ? spread_[index] : std::numeric_limits<double>::quiet_NaN();
    }
    bool inCompliance(std::size_t index) const;
    // The points ringed as in compliance, in order.
    const std::vector<std::size_t>& compliancePoints() const { return compliance_; }

    // How much wider a return-leg marker is than a first-leg one.
    static constexpr int returnGrowthPx = 4;

    void setStyle(const RunStyle& style, int markerSize);
    const RunStyle& style() const { return style_; }
    QColor color() const { return style_.colour; }
    int markerSize() const { return markerSize_; }
    void setLegs(const SweepLegs& legs);
    const SweepLegs& legs() const { return legs_; }
    bool isHollow(std::size_t index) const
    {
        if (legs_.returnFrom < 0)
            return false;
        const std::size_t inCycle =
            legs_.cyclePoints > 0 ? index % std::size_t(legs_.cyclePoints) : index;
        return inCycle >= std::size_t(legs_.returnFrom);
    }
    void setLines(bool on);

    // Points shown on the current axes (zeros have no place on a logarithmic axis).
    int shownCount() const;

    struct Extent {
        double lo = std::numeric_limits<double>::infinity();
        double hi = -std::numeric_limits<double>::infinity();
        double magnitudeLo = std::numeric_limits<double>::infinity(); // of non-zero values
        double magnitudeHi = -std::numeric_limits<double>::infinity();
        void add(double v);
    };
    const Extent& keyExtent() const { return keyExtent_; }
    const Extent& valueExtent() const { return valueExtent_; }

    // The shown point nearest to pixel, within radiusPx: its index and distance. Of
    // points at one distance the latest, drawn over the others.
    struct Nearest {
        std::size_t index = 0;
        double distancePx = 0;
    };
    std::optional<Nearest> nearest(QPointF pixel, double radiusPx) const;

    double selectTest(const QPointF&, bool, QVariant*) const override { return -1; }
    QCPRange getKeyRange(bool& foundRange,
                         QCP::SignDomain inSignDomain = QCP::sdBoth) const override;
    QCPRange getValueRange(bool& foundRange, QCP::SignDomain inSignDomain = QCP::sdBoth,
                           const QCPRange& inKeyRange = QCPRange()) const override;

    // Draws every marker one by one into image: what a full redraw must look like.
    void drawEveryMarker(QImage& image, QPointF origin) const;

  protected:
    void draw(QCPPainter* painter) override;
    void drawLegendIcon(QCPPainter* painter, const QRectF& rect) const override;

  private:
    struct View {
        QCPRange keys, values;
        QRect rect;
        QCPAxis::ScaleType keyScale = QCPAxis::stLinear, valueScale = QCPAxis::stLinear;
        double pixelRatio = 1.0;
        bool operator==(const View& other) const
        {
            return keys == other.keys && values == other.values && rect == other.rect &&
                   keyScale == other.keyScale && valueScale == other.valueScale &&
                   pixelRatio == other.pixelRatio;
        }
    };

    void restyle();
    void invalidate() { cache_ = QImage(); }
    void renderStacked(QImage& image, const AxisMap& x, const AxisMap& y);
    void renderNew(QImage& image, const AxisMap& x, const AxisMap& y, std::size_t from);
    void drawLines(QPainter& painter, const AxisMap& x, const AxisMap& y, std::size_t from) const;
    // Each point's spread, from point from on.
    void drawSpread(QPainter& painter, const AxisMap& x, const AxisMap& y, std::size_t from) const;
    void drawVector(QCPPainter* painter) const;
    // Drawn over the markers on every redraw rather than kept: a run has few of them.
    void drawComplianceRings(QPainter& painter, const AxisMap& x, const AxisMap& y) const;

    ChartPointList points_;
    std::vector<std::size_t> compliance_; // indices of the points in compliance
    PointIndex index_;
    Extent keyExtent_, valueExtent_;
    RunStyle style_;
    int markerSize_ = 6;
    std::vector<double> spread_;
    SweepLegs legs_;
    bool lines_ = false;
    std::unique_ptr<MarkerStamps> filled_, hollow_;
    std::vector<quint32> cacheMemory_; // cache_'s pixels
    QImage cache_;
    View cachedView_;
    std::size_t cachedCount_ = 0;
};

} // namespace kestrel
