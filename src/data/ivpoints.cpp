#include "data/ivpoints.h"

#include "data/numbertext.h"

namespace kestrel
{

IVPointList& ivPoints()
{
    static IVPointList points;
    return points;
}

ChartPointList& chartPoints()
{
    static ChartPointList records;
    return records;
}

void resetPoints()
{
    ivPoints() = placeholderPoints;
}

void replacePoints(double volt, double current)
{
    ivPoints().assign(1, IVPoint{volt, current}); // keeps what reservePoints made room for
}

void reservePoints(std::size_t count)
{
    ivPoints().reserve(count);
}

void appendPoint(double volt, double current)
{
    ivPoints().push_back(IVPoint{volt, current});
}

void rebuildChartPoints()
{
    chartPoints() = chartPointsOf(ivPoints());
}

ChartPointList chartPointsOf(const IVPointList& points)
{
    ChartPointList records;
    records.reserve(points.size());
    for (const auto& [volt, amps] : points)
        records.push_back(ivData{volt, amps});
    return records;
}

std::string describePoints(const IVPointList& points)
{
    std::string text = "[";
    text.reserve(points.size() * 32 + 2);
    bool first = true;
    for (const auto& [volt, current] : points) {
        if (!first)
            text += ", ";
        first = false;
        text += '[';
        text += formatDouble(volt);
        text += ", ";
        text += formatDouble(current);
        text += ']';
    }
    text += ']';
    return text;
}

std::string describePoints()
{
    return describePoints(ivPoints());
}

} // namespace kestrel
