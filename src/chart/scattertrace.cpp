#include "chart/scattertrace.h"

#include <cmath>
#include <limits>

namespace kestrel
{

ScatterTrace::ScatterTrace(QCPAxis* keyAxis, QCPAxis* valueAxis)
    : QCPAbstractPlottable(keyAxis, valueAxis)
{
    setColor(QColor(31, 119, 180), 6);
}

void ScatterTrace::append(double volt, double amps)
{
    points_.push_back(ivData{volt, amps});
}

void ScatterTrace::setPoints(ChartPointList points)
{
    points_ = std::move(points);
    invalidate();
}

void ScatterTrace::setColor(const QColor& color, int markerSize)
{
    color_ = color;
    markerSize_ = markerSize;
    setPen(QPen(color));
    setBrush(QBrush(color));
    // One marker, drawn once, then copied for every point.
    const int side = markerSize + 2;
    marker_ = QImage(side, side, QImage::Format_ARGB32_Premultiplied);
    marker_.fill(Qt::transparent);
    QPainter painter(&marker_);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawEllipse(QPointF(side / 2.0, side / 2.0), markerSize / 2.0, markerSize / 2.0);
    invalidate();
}

void ScatterTrace::setMagnitudeOnly(bool on)
{
    magnitudeOnly_ = on;
    invalidate();
}

int ScatterTrace::shownCount() const
{
    return int(std::count_if(points_.begin(), points_.end(),
                             [this](const ivData& point) { return shown(point); }));
}

QCPRange ScatterTrace::getKeyRange(bool& foundRange, QCP::SignDomain inSignDomain) const
{
    QCPRange range(std::numeric_limits<double>::infinity(),
                   -std::numeric_limits<double>::infinity());
    for (const ivData& point : points_) {
        const double key = point.sourceVolt;
        if (!shown(point) || !std::isfinite(key) || (inSignDomain == QCP::sdPositive && key <= 0) ||
            (inSignDomain == QCP::sdNegative && key >= 0))
            continue;
        range.lower = std::min(range.lower, key);
        range.upper = std::max(range.upper, key);
    }
    foundRange = range.lower <= range.upper;
    return foundRange ? range : QCPRange();
}

QCPRange ScatterTrace::getValueRange(bool& foundRange, QCP::SignDomain inSignDomain,
                                     const QCPRange& inKeyRange) const
{
    const bool anyKey = inKeyRange == QCPRange();
    QCPRange range(std::numeric_limits<double>::infinity(),
                   -std::numeric_limits<double>::infinity());
    for (const ivData& point : points_) {
        const double value = shownValue(point);
        if (!shown(point) || !std::isfinite(value) ||
            (!anyKey && !inKeyRange.contains(point.sourceVolt)) ||
            (inSignDomain == QCP::sdPositive && value <= 0) ||
            (inSignDomain == QCP::sdNegative && value >= 0))
            continue;
        range.lower = std::min(range.lower, value);
        range.upper = std::max(range.upper, value);
    }
    foundRange = range.lower <= range.upper;
    return foundRange ? range : QCPRange();
}

void ScatterTrace::drawMarkers(QPainter& painter, std::size_t from, QPointF origin) const
{
    const QPointF centre(marker_.width() / 2.0, marker_.height() / 2.0);
    QCPAxis* keys = keyAxis();
    QCPAxis* values = valueAxis();
    for (std::size_t i = from; i < points_.size(); ++i) {
        const ivData& point = points_[i];
        if (!shown(point) || !std::isfinite(point.sourceVolt) || !std::isfinite(point.drainVolt))
            continue;
        const QPointF at(keys->coordToPixel(point.sourceVolt),
                         values->coordToPixel(shownValue(point)));
        painter.drawImage(at - origin - centre, marker_);
    }
}

void ScatterTrace::draw(QCPPainter* painter)
{
    QCPAxis* keys = keyAxis();
    QCPAxis* values = valueAxis();
    if (!keys || !values)
        return;
    // Pictures for export get every marker at full quality, with nothing kept.
    if (painter->modes().testFlag(QCPPainter::pmVectorized) ||
        painter->modes().testFlag(QCPPainter::pmNoCaching)) {
        drawMarkers(*painter, 0, QPointF());
        return;
    }

    const QRect rect = clipRect();
    const double ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    const View view{keys->range(), values->range(), rect, values->scaleType(), ratio};
    if (cache_.isNull() || !(view == cachedView_)) {
        cache_ =
            QImage((QSizeF(rect.size()) * ratio).toSize(), QImage::Format_ARGB32_Premultiplied);
        cache_.setDevicePixelRatio(ratio);
        cache_.fill(Qt::transparent);
        cachedView_ = view;
        cachedCount_ = 0;
    }
    if (cachedCount_ < points_.size()) {
        QPainter cachePainter(&cache_);
        drawMarkers(cachePainter, cachedCount_, rect.topLeft());
        cachedCount_ = points_.size();
    }
    painter->drawImage(rect.topLeft(), cache_);
}

void ScatterTrace::drawLegendIcon(QCPPainter* painter, const QRectF& rect) const
{
    painter->drawImage(rect.center() - QPointF(marker_.width() / 2.0, marker_.height() / 2.0),
                       marker_);
}

} // namespace kestrel
