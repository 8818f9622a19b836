#pragma once

#include <QColor>
#include <QtGlobal>

namespace kestrel
{

// A run's colour, a function of its key alone: a run keeps it however many runs are
// shown or hidden around it. Ten colours; neighbouring keys differ.
QColor runColour(qint64 key);
int runPaletteSize();

} // namespace kestrel
