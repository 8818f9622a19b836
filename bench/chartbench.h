#pragma once

#include <QStringList>

namespace kestrel::bench
{

// kestrel-bench chart [--further N]: the live chart (BarChart, 800x500, shown) at
// 100, 1000, 10000 and 100000 points: one new point added and drawn (N further
// points, 200 by default, inside the axes), a full redraw (axes changed, log axis
// switched) and the memory one point costs the program (data set plus chart); then six
// runs of 200,001 points on one chart: a new live point, full redraws (zoom, pan, axes
// growing, a run shown or hidden) and the hover lookup, each against its target.
int runChartBenchmark(const QStringList& args);

} // namespace kestrel::bench
