#include "chart/hoverreadout.h"

#include <qcustomplot.h>

#include <algorithm>
#include <cmath>

namespace kestrel
{

namespace
{
constexpr double labelOffsetPx = 12;
}

int digitsToShow(double value, double resolution)
{
    constexpr int fewest = 3, most = 9;
    if (value == 0.0 || !std::isfinite(value) || !(resolution > 0.0) || !std::isfinite(resolution))
        return fewest;
    // Two values at least 10^place apart differ once rounded to that place.
    const int place = int(std::floor(std::log10(resolution)));
    const int exponent = int(std::floor(std::log10(std::fabs(value))));
    return std::clamp(exponent - place + 1, fewest, most);
}

HoverReadout::HoverReadout(QCustomPlot* plot)
    : plot_(plot), label_(new QCPItemText(plot)), ring_(new QCPItemTracer(plot))
{
    QCPLayer* overlay = plot->layer(QStringLiteral("overlay"));
    for (QCPAbstractItem* item : std::initializer_list<QCPAbstractItem*>{ring_, label_}) {
        item->setLayer(overlay);
        item->setClipToAxisRect(false);
        item->setVisible(false);
    }
    ring_->setStyle(QCPItemTracer::tsCircle);
    ring_->setSize(13);
    ring_->position->setType(QCPItemPosition::ptAbsolute);
    label_->position->setType(QCPItemPosition::ptAbsolute);
    label_->setPadding(QMargins(5, 3, 5, 3));
    label_->setBrush(QColor(255, 255, 255, 230));
    label_->setColor(Qt::black);
}

void HoverReadout::show(QPointF at, const QString& text, const QColor& colour)
{
    ring_->position->setCoords(at);
    ring_->setPen(QPen(colour, 1.5));
    label_->setText(text);
    label_->setPen(QPen(colour));
    // Beside the point, on whichever side leaves it inside the plot.
    const QRect area = plot_->axisRect()->rect();
    const bool left = at.x() > area.center().x();
    const bool below = at.y() < area.top() + 40;
    label_->setPositionAlignment((left ? Qt::AlignRight : Qt::AlignLeft) |
                                 (below ? Qt::AlignTop : Qt::AlignBottom));
    label_->position->setCoords(at.x() + (left ? -labelOffsetPx : labelOffsetPx),
                                at.y() + (below ? labelOffsetPx : -labelOffsetPx));
    ring_->setVisible(true);
    label_->setVisible(true);
    redraw();
}

void HoverReadout::hide()
{
    if (!isShown())
        return;
    ring_->setVisible(false);
    label_->setVisible(false);
    redraw();
}

bool HoverReadout::isShown() const
{
    return label_->visible();
}

QString HoverReadout::text() const
{
    return isShown() ? label_->text() : QString();
}

void HoverReadout::redraw()
{
    plot_->layer(QStringLiteral("overlay"))->replot();
}

} // namespace kestrel
