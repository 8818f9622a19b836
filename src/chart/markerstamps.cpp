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
    while (!saturated_ && stacks_.size() < k) {
        QImage next = stacks_.back().copy();
        QPainter painter(&next);
        painter.drawImage(0, 0, marker_);
        painter.end();
        saturated_ = next == stacks_.back();
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
        for (int column = x0; column < x1; ++column) {
            const quint32 s = from[column];
            const quint32 alpha = s >> 24;
            if (alpha == 255)
                to[column] = s;
            else if (s != 0)
                to[column] = s + byteMul(to[column], 255 - alpha);
        }
    }
}

} // namespace kestrel
