#include "chart/markerstamps.h"

#include <QPainter>

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

} // namespace

MarkerStamps::MarkerStamps(const MarkerStyle& style) : style_(style)
{
    const int side = style.sizePx + 2;
    marker_ = QImage(side, side, QImage::Format_ARGB32_Premultiplied);
    marker_.fill(Qt::transparent);
    QPainter painter(&marker_);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPointF centre(side / 2.0, side / 2.0);
    const double radius = style.sizePx / 2.0;
    if (style.hollow) {
        painter.setPen(QPen(style.colour, 1.25));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(centre, radius - 0.6, radius - 0.6);
    } else {
        painter.setPen(Qt::NoPen);
        painter.setBrush(style.colour);
        painter.drawEllipse(centre, radius, radius);
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
