#pragma once

#include <QStringList>

namespace kestrel::bench
{

// kestrel-bench chart [--further N]: the live chart (BarChart, 800x500, shown) at
// 100, 1000, 10000 and 100000 points: one new point added and drawn (N further
// points, 200 by default, inside the axes), a full redraw (axes changed, log axis
// switched), where a frame's time goes, and the memory one point costs the program
// (data set plus chart).
int runChartBenchmark(const QStringList& args);

} // namespace kestrel::bench
