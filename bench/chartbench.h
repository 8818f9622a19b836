#pragma once

#include <QStringList>

namespace kestrel::bench
{

// kestrel-bench chart [--further N] [--load N]: the live chart (BarChart, 800x500,
// shown) at 100, 1000, 10000, 100000 and 1000001 points: one new point added and drawn
// (N further points, 200 by default, inside the axes), a full redraw (axes changed, log
// axis switched) and the memory one point costs the program (data set plus chart);
// then six runs of 200,001 points on one chart: a new live point, full redraws (zoom,
// pan, axes growing, a run shown or hidden) and the hover lookup, each against its
// target. --load N keeps N more threads busy meanwhile, as other work would.
int runChartBenchmark(const QStringList& args);

} // namespace kestrel::bench
