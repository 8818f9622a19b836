#include "chart/runpalette.h"

#include <algorithm>
#include <climits>
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
constexpr int colours = int(std::size(palette));

// Past the palette: a grid of colours no brighter than (145, 145, 145), so still at 3:1
// on white, none of them a palette colour (no palette colour has every channel ending
// in 5).
constexpr int gridSteps = 14; // 15, 25, ... 145 per channel

} // namespace

RunStyle runStyle(int index)
{
    index = std::max(index, 0);
    const int styles = runPaletteStyles();
    if (index < styles)
        return RunStyle{palette[index % colours], MarkerShape(index / colours)};
    const int beyond = index - styles;
    const int colour = (beyond / markerShapeCount) % (gridSteps * gridSteps * gridSteps);
    const auto channel = [](int step) { return 15 + 10 * (step % gridSteps); };
    return RunStyle{QColor(channel(colour), channel(colour / gridSteps),
                           channel(colour / (gridSteps * gridSteps))),
                    MarkerShape(beyond % markerShapeCount)};
}

RunStyle familyStyle(int index, int count)
{
    const double along = count > 1 ? std::clamp(double(index) / (count - 1), 0.0, 1.0) : 0.0;
    // Hue 240 degrees (blue) down to 0 (red), dark enough to read on white throughout.
    return RunStyle{QColor::fromHsvF(float((1.0 - along) * 240.0 / 360.0), 0.85f, 0.8f),
                    MarkerShape::Circle};
}

int runPaletteStyles()
{
    return colours * markerShapeCount;
}

int runPaletteSize()
{
    return colours;
}

RunStyle pickRunStyle(qint64 key, const std::vector<RunStyle>& taken)
{
    const auto free = [&](const RunStyle& style) {
        return std::find(taken.begin(), taken.end(), style) == taken.end();
    };
    const qint64 styles = runPaletteStyles();
    const RunStyle own = runStyle(int(((key % styles) + styles) % styles));
    if (free(own))
        return own;
    // taken.size() + 1 styles hold one that is free.
    const int candidates = int(std::min<std::size_t>(taken.size() + 1, std::size_t(INT_MAX)));
    for (int index = 0; index < candidates; ++index)
        if (const RunStyle style = runStyle(index); free(style))
            return style;
    return own;
}

} // namespace kestrel
