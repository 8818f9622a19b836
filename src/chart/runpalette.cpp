#include "chart/runpalette.h"

#include <iterator>

namespace kestrel
{

namespace
{

// Every colour has a contrast of at least 3:1 against white (WCAG relative luminance),
// so small markers stay visible on the chart's background and on paper; the lowest is
// the green, about 3.9:1.
const QColor palette[] = {
    QColor(31, 119, 180),  // blue
    QColor(214, 39, 40),   // red
    QColor(30, 130, 40),   // green
    QColor(148, 103, 189), // purple
    QColor(200, 82, 0),    // orange
    QColor(140, 86, 75),   // brown
    QColor(190, 50, 140),  // magenta
    QColor(0, 120, 120),   // teal
    QColor(110, 110, 110), // grey
    QColor(120, 120, 0),   // olive
};

} // namespace

QColor runColour(qint64 key)
{
    const qint64 n = qint64(std::size(palette));
    return palette[((key % n) + n) % n];
}

int runPaletteSize()
{
    return int(std::size(palette));
}

} // namespace kestrel
