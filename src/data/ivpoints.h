#pragma once

#include <array>
#include <string>
#include <vector>

namespace kestrel
{

// One recorded point: [source level, drain current].
using IVPoint = std::array<double, 2>;
using IVPointList = std::vector<IVPoint>;

// The chart's record of one point.
struct ivData {
    double sourceVolt = 0.0;
    double drainVolt = 0.0;
};
using ChartPointList = std::vector<ivData>;

// The process-wide data set of the current or most recent sweep. Created empty on
// first use (thread-safe), changed only on the GUI thread through the functions below.
// Callers that keep data take a copy: both lists are plain values.
IVPointList& ivPoints();
ChartPointList& chartPoints();

// The data set before any sweep: one pair of zeros.
inline const IVPointList placeholderPoints{IVPoint{0.0, 0.0}};

void resetPoints();                              // the placeholder, whatever was there
void replacePoints(double volt, double current); // exactly one point
void appendPoint(double volt, double current);
// Room for count points, made before a sweep: growing a list of a million points by
// copying it whole would hold the GUI thread for tens of milliseconds.
void reservePoints(std::size_t count);
void rebuildChartPoints(); // chartPoints becomes one record per point, in order
// One chart record per point of points, in order.
ChartPointList chartPointsOf(const IVPointList& points);

// "[[0.1, 1.23456e-05], [0.2, 2.5e-05]]"; "[]" for no points.
std::string describePoints(const IVPointList& points);
std::string describePoints();

} // namespace kestrel
