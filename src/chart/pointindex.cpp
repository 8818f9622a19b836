#include "chart/pointindex.h"

#include <cmath>

namespace kestrel
{

namespace
{

// The values a box's side spans once only magnitudes are shown.
std::pair<double, double> shownSpan(double lo, double hi, bool magnitude)
{
    if (!magnitude)
        return {lo, hi};
    if (lo <= 0.0 && hi >= 0.0)
        return {0.0, std::max(-lo, hi)};
    return {std::min(std::fabs(lo), std::fabs(hi)), std::max(std::fabs(lo), std::fabs(hi))};
}

} // namespace

void PointIndex::Box::add(double x, double y)
{
    if (!std::isfinite(x) || !std::isfinite(y))
        return;
    x0 = std::min(x0, x);
    x1 = std::max(x1, x);
    y0 = std::min(y0, y);
    y1 = std::max(y1, y);
}

bool PointIndex::Region::meets(const Box& box) const
{
    if (!(box.x0 <= box.x1))
        return false;
    const auto [bx0, bx1] = shownSpan(box.x0, box.x1, magnitudeX);
    const auto [by0, by1] = shownSpan(box.y0, box.y1, magnitudeY);
    return bx0 <= x1 && bx1 >= x0 && by0 <= y1 && by1 >= y0;
}

void PointIndex::rebuild(const ChartPointList& points)
{
    chunks_.clear();
    groups_.clear();
    count_ = 0;
    chunks_.reserve(points.size() / pointsPerBox + 1);
    for (const ivData& point : points)
        append(point);
}

void PointIndex::append(const ivData& point)
{
    if (count_ % pointsPerBox == 0)
        chunks_.emplace_back();
    if (count_ % (pointsPerBox * pointsPerBox) == 0)
        groups_.emplace_back();
    chunks_.back().add(point.sourceVolt, point.drainVolt);
    groups_.back().add(point.sourceVolt, point.drainVolt);
    ++count_;
}

} // namespace kestrel
