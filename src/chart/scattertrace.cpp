#include "chart/scattertrace.h"

#include "data/vectorstate.h"

#include <cmath>
#include <limits>

namespace kestrel
{

namespace
{

// Room to grow by: the plot area changes by a few pixels whenever the tick labels do,
// and fresh memory costs a page fault per page on first use (several milliseconds for
// an image's worth on some virtual machines), as much as the redraw itself.
std::size_t grownArea(int width, int height)
{
    constexpr int headroomPx = 64;
    return std::size_t(width + headroomPx) * std::size_t(height + headroomPx);
}

// Counts of markers per pixel position for one full redraw, shared by every trace
// (drawing happens on the GUI thread only). All counts are zero between redraws: only
// the positions reached are cleared, so a redraw never pays for the whole area.
struct Tally {
    // On logarithmic axes the logarithms come a block at a time from a loop of their own:
    // amid the counting, each call to log() would leave the loop waiting on it.
    static constexpr std::size_t block = 256;

    std::vector<quint32> counts;
    std::vector<int> reached; // positions in the order first reached
    // A block of values to map, x then y. Not on the stack: there the same loops ran
    // at half the speed as often as not.
    std::vector<double> values = std::vector<double>(2 * block);
    int stride = 0;
    int rows = 0;

    void prepare(int width, int height)
    {
        stride = width;
        rows = height;
        if (counts.size() < std::size_t(width) * std::size_t(height))
            counts.assign(grownArea(width, height), 0);
        reached.clear();
    }
};

Tally& sharedTally()
{
    static Tally tally;
    return tally;
}

// The value an axis maps linearly: the logarithm of the magnitude on a logarithmic one,
// where zero becomes -infinity and so lands nowhere.
template <bool Log> double axisValue(double v)
{
    if constexpr (Log)
        return std::log(std::fabs(v));
    else
        return v;
}

// One pass over points [from, to): where each marker's top-left corner lands, shifted
// by margin so markers partly outside the image still count.
template <bool LogX, bool LogY>
void tallyPositions(const ivData* points, std::size_t from, std::size_t to, const AxisMap& x,
                    const AxisMap& y, double shift, Tally& tally)
{
    // Everything the loop reads besides the points in locals: stores into the counts
    // could alias the tally's own fields, which would then be read again each time.
    quint32* const counts = tally.counts.data();
    const int stride = tally.stride;
    const double limitX = stride - 0.5;
    const double limitY = tally.rows - 0.5;
    // Rounding to the nearest whole pixel is adding a half and truncating.
    const double offsetX = x.offset + shift + 0.5, scaleX = x.scale;
    const double offsetY = y.offset + shift + 0.5, scaleY = y.scale;
    std::vector<int>& reached = tally.reached;
    const auto count = [&](double vx, double vy) {
        const double px = offsetX + scaleX * vx;
        const double py = offsetY + scaleY * vy;
        // Not-finite values fail these comparisons too.
        if (!(px >= 0.0 && px < limitX + 0.5 && py >= 0.0 && py < limitY + 0.5))
            return;
        const int position = int(py) * stride + int(px);
        if (counts[position]++ == 0)
            reached.push_back(position);
    };
    if constexpr (!LogX && !LogY) {
        for (std::size_t i = from; i < to; ++i)
            count(points[i].sourceVolt, points[i].drainVolt);
        return;
    }
    double* const vx = tally.values.data();
    double* const vy = vx + Tally::block;
    for (std::size_t first = from; first < to; first += Tally::block) {
        const std::size_t n = std::min(Tally::block, to - first);
        for (std::size_t k = 0; k < n; ++k) {
            vx[k] = axisValue<LogX>(points[first + k].sourceVolt);
            vy[k] = axisValue<LogY>(points[first + k].drainVolt);
        }
        for (std::size_t k = 0; k < n; ++k)
            count(vx[k], vy[k]);
    }
}

void tally(const ChartPointList& points, std::size_t from, std::size_t to, const AxisMap& x,
           const AxisMap& y, double shift, Tally& into)
{
    const ivData* data = points.data();
    if (x.log && y.log)
        tallyPositions<true, true>(data, from, to, x, y, shift, into);
    else if (x.log)
        tallyPositions<true, false>(data, from, to, x, y, shift, into);
    else if (y.log)
        tallyPositions<false, true>(data, from, to, x, y, shift, into);
    else
        tallyPositions<false, false>(data, from, to, x, y, shift, into);
}

// A marker's top-left corner for a point, in whole pixels as QPainter places an image.
std::optional<QPoint> corner(const ivData& point, const AxisMap& x, const AxisMap& y, int side)
{
    if (!x.shows(point.sourceVolt) || !y.shows(point.drainVolt))
        return std::nullopt;
    const double px = x.pixel(point.sourceVolt) - side / 2.0;
    const double py = y.pixel(point.drainVolt) - side / 2.0;
    constexpr double far = 1e6; // beyond any image; keeps the conversion to int defined
    if (!(std::fabs(px) < far && std::fabs(py) < far))
        return std::nullopt;
    return QPoint(qRound(px), qRound(py));
}

} // namespace

void ScatterTrace::Extent::add(double v)
{
    if (!std::isfinite(v))
        return;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
    if (v != 0.0) {
        magnitudeLo = std::min(magnitudeLo, std::fabs(v));
        magnitudeHi = std::max(magnitudeHi, std::fabs(v));
    }
}

ScatterTrace::ScatterTrace(QCPAxis* keyAxis, QCPAxis* valueAxis)
    : QCPAbstractPlottable(keyAxis, valueAxis)
{
    setStyle(runStyle(0), 6);
}

void ScatterTrace::append(double volt, double amps, bool inCompliance, double sd)
{
    if (inCompliance)
        compliance_.push_back(points_.size());
    if (!std::isnan(sd) || !spread_.empty()) {
        spread_.resize(points_.size(), std::numeric_limits<double>::quiet_NaN());
        spread_.push_back(sd);
    }
    points_.push_back(ivData{volt, amps});
    index_.append(points_.back());
    keyExtent_.add(volt);
    valueExtent_.add(amps);
}

void ScatterTrace::setPoints(ChartPointList points, const std::vector<std::uint8_t>& inCompliance)
{
    points_ = std::move(points);
    compliance_.clear();
    for (std::size_t i = 0; i < std::min(inCompliance.size(), points_.size()); ++i)
        if (inCompliance[i] != 0)
            compliance_.push_back(i);
    index_.rebuild(points_);
    keyExtent_ = Extent();
    valueExtent_ = Extent();
    for (const ivData& point : points_) {
        keyExtent_.add(point.sourceVolt);
        valueExtent_.add(point.drainVolt);
    }
    invalidate();
}

bool ScatterTrace::inCompliance(std::size_t index) const
{
    return std::binary_search(compliance_.begin(), compliance_.end(), index);
}

void ScatterTrace::drawComplianceRings(QPainter& painter, const AxisMap& x, const AxisMap& y) const
{
    if (compliance_.empty())
        return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(complianceColour, 2.0));
    painter.setBrush(Qt::NoBrush);
    const double radius = markerSize_ / 2.0 + 5; // clear of the marker and the hover ring
    for (const std::size_t i : compliance_) {
        const ivData& point = points_[i];
        if (x.shows(point.sourceVolt) && y.shows(point.drainVolt))
            painter.drawEllipse(QPointF(x.pixel(point.sourceVolt), y.pixel(point.drainVolt)),
                                radius, radius);
    }
    painter.restore();
}

void ScatterTrace::setStyle(const RunStyle& style, int markerSize)
{
    style_ = style;
    markerSize_ = markerSize;
    setPen(QPen(style.colour));
    setBrush(QBrush(style.colour));
    restyle();
}

void ScatterTrace::restyle()
{
    const double ratio = cachedView_.pixelRatio;
    const int size = int(std::lround(markerSize_ * ratio));
    const int hollowSize = int(std::lround((markerSize_ + returnGrowthPx) * ratio));
    filled_ = std::make_unique<MarkerStamps>(MarkerStyle{style_.colour, size, false, style_.shape});
    hollow_ =
        std::make_unique<MarkerStamps>(MarkerStyle{style_.colour, hollowSize, true, style_.shape});
    invalidate();
}

void ScatterTrace::setLegs(const SweepLegs& legs)
{
    legs_ = legs;
    invalidate();
}

void ScatterTrace::setLines(bool on)
{
    lines_ = on;
    invalidate();
}

int ScatterTrace::shownCount() const
{
    const bool logKeys = keyAxis()->scaleType() == QCPAxis::stLogarithmic;
    const bool logValues = valueAxis()->scaleType() == QCPAxis::stLogarithmic;
    return int(std::count_if(points_.begin(), points_.end(), [&](const ivData& point) {
        return std::isfinite(point.sourceVolt) && std::isfinite(point.drainVolt) &&
               !(logKeys && point.sourceVolt == 0.0) && !(logValues && point.drainVolt == 0.0);
    }));
}

namespace
{

QCPRange rangeOf(const ScatterTrace::Extent& extent, QCP::SignDomain domain, bool& found)
{
    QCPRange range(extent.lo, extent.hi);
    if (domain == QCP::sdPositive)
        range = QCPRange(extent.magnitudeLo, extent.magnitudeHi);
    else if (domain == QCP::sdNegative)
        range = QCPRange(-extent.magnitudeHi, -extent.magnitudeLo);
    found = range.lower <= range.upper;
    return found ? range : QCPRange();
}

} // namespace

// Magnitudes stand for the sign domains: a logarithmic axis shows |value|.
QCPRange ScatterTrace::getKeyRange(bool& foundRange, QCP::SignDomain inSignDomain) const
{
    return rangeOf(keyExtent_, inSignDomain, foundRange);
}

QCPRange ScatterTrace::getValueRange(bool& foundRange, QCP::SignDomain inSignDomain,
                                     const QCPRange&) const
{
    return rangeOf(valueExtent_, inSignDomain, foundRange);
}

std::optional<ScatterTrace::Nearest> ScatterTrace::nearest(QPointF pixel, double radiusPx) const
{
    QCPAxis* keys = keyAxis();
    QCPAxis* values = valueAxis();
    const AxisMap x = AxisMap::of(keys);
    const AxisMap y = AxisMap::of(values);
    const double ax = keys->pixelToCoord(pixel.x() - radiusPx);
    const double bx = keys->pixelToCoord(pixel.x() + radiusPx);
    const double ay = values->pixelToCoord(pixel.y() - radiusPx);
    const double by = values->pixelToCoord(pixel.y() + radiusPx);
    const PointIndex::Region region{
        std::min(ax, bx), std::max(ax, bx), std::min(ay, by), std::max(ay, by), x.log, y.log};
    std::optional<Nearest> best;
    const double limit = radiusPx * radiusPx;
    index_.forEachNear(region, [&](std::size_t i) {
        const ivData& point = points_[i];
        if (!x.shows(point.sourceVolt) || !y.shows(point.drainVolt))
            return;
        const double dx = x.pixel(point.sourceVolt) - pixel.x();
        const double dy = y.pixel(point.drainVolt) - pixel.y();
        const double squared = dx * dx + dy * dy;
        if (squared <= limit && (!best || squared <= best->distancePx))
            best = Nearest{i, squared};
    });
    if (best)
        best->distancePx = std::sqrt(best->distancePx);
    return best;
}

void ScatterTrace::setSpread(std::vector<double> sd)
{
    spread_ = std::move(sd);
    invalidate();
}

void ScatterTrace::drawSpread(QPainter& painter, const AxisMap& x, const AxisMap& y,
                              std::size_t from) const
{
    constexpr double capPx = 3.0;
    painter.setPen(QPen(style_.colour, 1.0));
    for (std::size_t i = from; i < std::min(points_.size(), spread_.size()); ++i) {
        const ivData& point = points_[i];
        const double sd = spread_[i];
        if (!(sd > 0) || !x.shows(point.sourceVolt) || !y.shows(point.drainVolt))
            continue;
        const double px = std::clamp(x.pixel(point.sourceVolt), -1e6, 1e6);
        // On a logarithmic axis a bar reaching zero or beyond stops at the point.
        const auto end = [&](double amps) {
            const bool shown = y.shows(amps) && (!y.log || std::signbit(amps) ==
                                                               std::signbit(point.drainVolt));
            return std::clamp(y.pixel(shown ? amps : point.drainVolt), -1e6, 1e6);
        };
        const double top = end(point.drainVolt + sd), bottom = end(point.drainVolt - sd);
        painter.drawLine(QPointF(px, top), QPointF(px, bottom));
        for (const double end : {top, bottom})
            painter.drawLine(QPointF(px - capPx, end), QPointF(px + capPx, end));
    }
}

void ScatterTrace::drawLines(QPainter& painter, const AxisMap& x, const AxisMap& y,
                             std::size_t from) const
{
    // Consecutive points in one pixel column become one vertical stroke (first, lowest,
    // highest, last), so a sweep of a million points is a line of a few thousand.
    QPolygonF line;
    int column = std::numeric_limits<int>::min();
    double firstX = 0, lastX = 0, first = 0, lowest = 0, highest = 0, last = 0;
    const auto flush = [&] {
        if (column == std::numeric_limits<int>::min())
            return;
        const double middle = column + 0.5;
        line << QPointF(firstX, first) << QPointF(middle, lowest) << QPointF(middle, highest)
             << QPointF(lastX, last);
    };
    for (std::size_t i = from == 0 ? 0 : from - 1; i < points_.size(); ++i) {
        const ivData& point = points_[i];
        if (!x.shows(point.sourceVolt) || !y.shows(point.drainVolt))
            continue;
        const double px = std::clamp(x.pixel(point.sourceVolt), -1e6, 1e6);
        const double py = std::clamp(y.pixel(point.drainVolt), -1e6, 1e6);
        const int here = int(std::floor(px));
        if (here != column) {
            flush();
            column = here;
            firstX = px;
            first = lowest = highest = py;
        }
        lastX = px;
        lowest = std::min(lowest, py);
        highest = std::max(highest, py);
        last = py;
    }
    flush();
    if (line.size() < 2)
        return;
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(style_.colour, 1.0));
    painter.drawPolyline(line);
}

void ScatterTrace::renderStacked(QImage& image, const AxisMap& x, const AxisMap& y)
{
    if (lines_ || !spread_.empty()) {
        QPainter painter(&image);
        if (lines_)
            drawLines(painter, x, y, 0);
        drawSpread(painter, x, y, 0);
    }
    Tally& positions = sharedTally();
    // Each cycle's first leg filled, its return leg hollow, drawn after every first leg.
    const std::size_t cycle = legs_.cyclePoints > 0 ? std::size_t(legs_.cyclePoints)
                                                    : std::max<std::size_t>(1, points_.size());
    const std::size_t split =
        legs_.returnFrom < 0 ? cycle : std::min(cycle, std::size_t(legs_.returnFrom));
    for (MarkerStamps* stamps : {filled_.get(), hollow_.get()}) {
        const bool hollow = stamps == hollow_.get();
        const int side = stamps->side();
        positions.prepare(image.width() + 2 * side, image.height() + 2 * side);
        // Grid position (gx, gy) is the corner (gx - side, gy - side) of the image.
        for (std::size_t start = 0; start < points_.size(); start += cycle) {
            const std::size_t from = start + (hollow ? split : 0);
            const std::size_t to = std::min(points_.size(), start + (hollow ? cycle : split));
            if (from < to)
                tally(points_, from, to, x, y, side - side / 2.0, positions);
        }
        for (int position : positions.reached) {
            quint32& count = positions.counts[std::size_t(position)];
            stamps->stamp(image, position % positions.stride - side,
                          position / positions.stride - side, count);
            count = 0;
        }
    }
}

void ScatterTrace::renderNew(QImage& image, const AxisMap& x, const AxisMap& y, std::size_t from)
{
    if (lines_ || !spread_.empty()) {
        QPainter painter(&image);
        if (lines_)
            drawLines(painter, x, y, from);
        drawSpread(painter, x, y, from);
    }
    for (std::size_t i = from; i < points_.size(); ++i) {
        MarkerStamps& stamps = isHollow(i) ? *hollow_ : *filled_;
        if (const auto at = corner(points_[i], x, y, stamps.side()))
            stamps.stamp(image, at->x(), at->y(), 1);
    }
}

void ScatterTrace::drawEveryMarker(QImage& image, QPointF origin) const
{
    const AxisMap x = AxisMap::of(keyAxis(), 1.0, origin.x());
    const AxisMap y = AxisMap::of(valueAxis(), 1.0, origin.y());
    QPainter painter(&image);
    for (std::size_t i = 0; i < points_.size(); ++i) {
        const QImage& marker = isHollow(i) ? hollow_->marker() : filled_->marker();
        const ivData& point = points_[i];
        if (!x.shows(point.sourceVolt) || !y.shows(point.drainVolt))
            continue;
        painter.drawImage(QPointF(x.pixel(point.sourceVolt) - marker.width() / 2.0,
                                  y.pixel(point.drainVolt) - marker.height() / 2.0),
                          marker);
    }
}

void ScatterTrace::drawVector(QCPPainter* painter) const
{
    const AxisMap x = AxisMap::of(keyAxis());
    const AxisMap y = AxisMap::of(valueAxis());
    if (lines_)
        drawLines(*painter, x, y, 0);
    painter->setRenderHint(QPainter::Antialiasing);
    for (std::size_t i = 0; i < points_.size(); ++i) {
        const ivData& point = points_[i];
        if (!x.shows(point.sourceVolt) || !y.shows(point.drainVolt))
            continue;
        const QPointF at(x.pixel(point.sourceVolt), y.pixel(point.drainVolt));
        if (isHollow(i)) {
            painter->setPen(QPen(style_.colour, 1.25));
            painter->setBrush(Qt::NoBrush);
            painter->drawPath(markerPath(style_.shape, at, markerSize_ + returnGrowthPx - 1.2));
        } else {
            painter->setPen(Qt::NoPen);
            painter->setBrush(style_.colour);
            painter->drawPath(markerPath(style_.shape, at, markerSize_));
        }
    }
    drawComplianceRings(*painter, x, y);
}

void ScatterTrace::draw(QCPPainter* painter)
{
    // The tally and the compositing below are legacy SSE code: slow on some CPUs while
    // the upper halves of the vector registers are in use, as a library on this thread
    // may have left them.
    clearUpperVectorState();
    QCPAxis* keys = keyAxis();
    QCPAxis* values = valueAxis();
    if (!keys || !values)
        return;
    // Vector pictures get every marker as a shape; nothing is kept for them.
    if (painter->modes().testFlag(QCPPainter::pmVectorized) || painter->transform().isScaling()) {
        drawVector(painter);
        return;
    }

    // QCPPainter shifts anti-aliased drawing by half a pixel, which would move a
    // whole-pixel image by one; markers sit where the axes put their coordinates.
    painter->setAntialiasing(false);
    const QRect rect = clipRect();
    const double ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    const View view{keys->range(),     values->range(),     rect,
                    keys->scaleType(), values->scaleType(), ratio};
    const QSize pixels = (QSizeF(rect.size()) * ratio).toSize();
    const bool full = cache_.isNull() || !(view == cachedView_);
    if (ratio != cachedView_.pixelRatio) {
        cachedView_.pixelRatio = ratio;
        restyle();
    }
    const AxisMap x = AxisMap::of(keys, ratio, rect.left());
    const AxisMap y = AxisMap::of(values, ratio, rect.top());
    // Pictures for export are drawn afresh into an image of their own.
    if (painter->modes().testFlag(QCPPainter::pmNoCaching)) {
        QImage picture(pixels, QImage::Format_ARGB32_Premultiplied);
        picture.fill(Qt::transparent);
        renderStacked(picture, x, y);
        painter->drawImage(QRectF(rect), picture);
        drawComplianceRings(*painter, AxisMap::of(keys), AxisMap::of(values));
        return;
    }
    if (full) {
        if (cache_.size() != pixels) {
            // In memory kept from image to image (see grownArea).
            const std::size_t area = std::size_t(pixels.width()) * std::size_t(pixels.height());
            if (cacheMemory_.size() < area)
                cacheMemory_.assign(grownArea(pixels.width(), pixels.height()), 0);
            cache_ = QImage(reinterpret_cast<uchar*>(cacheMemory_.data()), pixels.width(),
                            pixels.height(), qsizetype(pixels.width()) * 4,
                            QImage::Format_ARGB32_Premultiplied);
        }
        cache_.fill(Qt::transparent);
        cachedView_ = view;
        renderStacked(cache_, x, y);
    } else if (cachedCount_ < points_.size()) {
        renderNew(cache_, x, y, cachedCount_);
    }
    cachedCount_ = points_.size();
    if (ratio == 1.0)
        painter->drawImage(rect.topLeft(), cache_);
    else
        painter->drawImage(QRectF(rect), cache_);
    drawComplianceRings(*painter, AxisMap::of(keys), AxisMap::of(values));
}

void ScatterTrace::drawLegendIcon(QCPPainter* painter, const QRectF& rect) const
{
    const QImage& marker = filled_->marker();
    const QSizeF side = QSizeF(marker.size()) / cachedView_.pixelRatio;
    painter->drawImage(QRectF(rect.center() - QPointF(side.width() / 2, side.height() / 2), side),
                       marker);
}

} // namespace kestrel
