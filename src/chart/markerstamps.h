#pragma once

#include <QColor>
#include <QImage>
#include <QPainterPath>

#include <vector>

namespace kestrel
{

// Shapes that stay apart at a few pixels across, filled or as an outline.
enum class MarkerShape { Circle, Square, Diamond, TriangleUp, TriangleDown };
inline constexpr int markerShapeCount = 5;

// The outline of a marker sizePx across centred on centre, the shapes sized so that
// none looks heavier than the circle.
QPainterPath markerPath(MarkerShape shape, QPointF centre, double sizePx);
// The side of the square image that holds such a marker.
int markerSide(MarkerShape shape, int sizePx);

struct MarkerStyle {
    QColor colour;
    int sizePx = 6;      // across, in device pixels
    bool hollow = false; // outline only
    MarkerShape shape = MarkerShape::Circle;
    bool operator==(const MarkerStyle& other) const
    {
        return colour == other.colour && sizePx == other.sizePx && hollow == other.hollow &&
               shape == other.shape;
    }
};

// One marker as an image, and that marker drawn k times onto itself. Markers land on
// whole pixels and share a colour, so k markers at one position look exactly like the
// stack of k (up to rounding, whatever their order): a full redraw draws each position
// once. Stacks are made as asked for and stop changing after about a hundred markers.
class MarkerStamps
{
  public:
    explicit MarkerStamps(const MarkerStyle& style);

    const MarkerStyle& style() const { return style_; }
    int side() const { return marker_.width(); }
    const QImage& marker() const { return marker_; }
    // k markers stacked, k >= 1.
    const QImage& stack(quint32 k);
    // Composites stack(k) onto target (premultiplied ARGB32) with its top-left corner
    // at (x, y), clipped to the target, as QPainter's source-over does.
    void stamp(QImage& target, int x, int y, quint32 k);

  private:
    MarkerStyle style_;
    QImage marker_;
    std::vector<QImage> stacks_; // stacks_[k - 1]
    bool saturated_ = false;
};

} // namespace kestrel
