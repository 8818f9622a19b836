#pragma once

#include "chart/markerstamps.h"

#include <QColor>
#include <QtGlobal>

#include <vector>

namespace kestrel
{

// How one run is drawn: a colour and a marker shape.
struct RunStyle {
    QColor colour;
    MarkerShape shape = MarkerShape::Circle;
    bool operator==(const RunStyle& other) const
    {
        return colour == other.colour && shape == other.shape;
    }
};

// The style numbered index (from 0): the ten colours with circles, then with squares and
// so on through every shape; past those, darker colours of their own. Every index gives a
// different style up to a good deal more runs than a chart can show.
RunStyle runStyle(int index);
// The style of curve index (from 0) of a family of count curves: one colour ramp from
// blue through green to red, in the order of the step levels, with circles.
RunStyle familyStyle(int index, int count);
// Styles runStyle(0 .. paletteStyles - 1): the palette's colours with every shape.
int runPaletteStyles();
// The number of colours in the palette.
int runPaletteSize();

// The style for a run about to be shown beside runs drawn in taken: its own style
// (runStyle(key) modulo the palette), so a run looks the same each time it is shown,
// unless a shown run has it; then the first style no shown run has.
RunStyle pickRunStyle(qint64 key, const std::vector<RunStyle>& taken);

} // namespace kestrel
