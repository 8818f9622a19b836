#include "chart/markerstamps.h"

#include <QPainter>

#include <cmath>

namespace kestrel
{

namespace
{

// x * a / 255 per channel, rounded as Qt's raster engine rounds.
inline quint32 byteMul(quint32 x, quint32 a)
{
    quint32 t = (x & 0xff00ff) * a;
    t = (t + ((t >> 8) & 0xff00ff) + 0x800080) >> 8;
    t &= 0xff00ff;
    x = ((x >> 8) & 0xff00ff) * a;
    x = (x + ((x >> 8) & 0xff00ff) + 0x800080);
    x &= 0xff00ff00;
    return x | t;
}

// A premultiplied source pixel over a premultiplied destination, as QPainter draws it.
inline quint32 over(quint32 source, quint32 destination)
{
    const quint32 alpha = source >> 24;
    if (alpha == 255)
        return source;
    if (source == 0)
        return destination;
    return source + byteMul(destination, 255 - alpha);
}

// How far a shape reaches from its centre, for a circle of radius 1 beside it: about
// the same area for each.
double reachOf(MarkerShape shape)
{
    switch (shape) {
    case MarkerShape::Circle:
        return 1.0;
    case MarkerShape::Square:
        return 0.85; // half its side
    case MarkerShape::Diamond:
        return 1.2;
    case MarkerShape::TriangleUp:
    case MarkerShape::TriangleDown:
        return 1.35; // centre to corner
    }
    return 1.0;
}

} // namespace

int markerSide(MarkerShape shape, int sizePx)
{
    // A pixel of room each side for the antialiased edge; the same parity as the size,
    // so the centre lands as a circle's would.
    int side = int(std::ceil(sizePx * reachOf(shape))) + 2;
    if ((side - sizePx) % 2 != 0)
        ++side;
    return side;
}

QPainterPath markerPath(MarkerShape shape, QPointF centre, double sizePx)
{
    const double r = sizePx / 2.0 * reachOf(shape) / reachOf(MarkerShape::Circle);
    const double cx = centre.x(), cy = centre.y();
    QPainterPath path;
    switch (shape) {
    case MarkerShape::Circle:
        path.addEllipse(centre, r, r);
        break;
    case MarkerShape::Square:
        path.addRect(QRectF(cx - r, cy - r, 2 * r, 2 * r));
        break;
    case MarkerShape::Diamond:
        path.addPolygon(QPolygonF{{cx, cy - r}, {cx + r, cy}, {cx, cy + r}, {cx - r, cy}});
        path.closeSubpath();
        break;
    case MarkerShape::TriangleUp:
    case MarkerShape::TriangleDown: {
        // The centroid on the centre, so the point sits where the value is.
        const double s = shape == MarkerShape::TriangleUp ? 1.0 : -1.0;
        path.addPolygon(QPolygonF{{cx, cy - s * r},
                                  {cx + r * 0.87, cy + s * r * 0.5},
                                  {cx - r * 0.87, cy + s * r * 0.5}});
        path.closeSubpath();
        break;
    }
    }
    return path;
}

MarkerStamps::MarkerStamps(const MarkerStyle& style) : style_(style)
{
    const int side = markerSide(style.shape, style.sizePx);
    marker_ = QImage(side, side, QImage::Format_ARGB32_Premultiplied);
    marker_.fill(Qt::transparent);
    QPainter painter(&marker_);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPointF centre(side / 2.0, side / 2.0);
    if (style.hollow) {
        painter.setPen(QPen(style.colour, 1.25));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(markerPath(style.shape, centre, style.sizePx - 1.2));
    } else {
        painter.setPen(Qt::NoPen);
        painter.setBrush(style.colour);
        painter.drawPath(markerPath(style.shape, centre, style.sizePx));
    }
    painter.end();
    stacks_.push_back(marker_);
}

const QImage& MarkerStamps::stack(quint32 k)
{
    // One more marker over the stack, with QPainter's source-over arithmetic: a stack
    // grows as a sweep's points crowd together, a hundred of them for each trace, and a
    // QPainter for each would cost more than the redraw that needs them.
    while (!saturated_ && stacks_.size() < k) {
        QImage next = stacks_.back().copy();
        bool changed = false;
        for (int row = 0; row < next.height(); ++row) {
            const auto* from = reinterpret_cast<const quint32*>(marker_.constScanLine(row));
            auto* to = reinterpret_cast<quint32*>(next.scanLine(row));
            for (int column = 0; column < next.width(); ++column) {
                const quint32 before = to[column];
                to[column] = over(from[column], before);
                changed = changed || to[column] != before;
            }
        }
        saturated_ = !changed;
        if (!saturated_)
            stacks_.push_back(std::move(next));
    }
    return stacks_[std::min<std::size_t>(k, stacks_.size()) - 1];
}

void MarkerStamps::stamp(QImage& target, int x, int y, quint32 k)
{
    const QImage& source = stack(k);
    const int side = source.width();
    const int x0 = std::max(0, -x);
    const int x1 = std::min(side, target.width() - x);
    const int y0 = std::max(0, -y);
    const int y1 = std::min(side, target.height() - y);
    for (int row = y0; row < y1; ++row) {
        const auto* from = reinterpret_cast<const quint32*>(source.constScanLine(row));
        auto* to = reinterpret_cast<quint32*>(target.scanLine(y + row)) + x;
        for (int column = x0; column < x1; ++column)
            to[column] = over(from[column], to[column]);
    }
}

} // namespace kestrel
