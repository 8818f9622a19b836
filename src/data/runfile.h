#pragma once

#include "data/run.h"

#include <QByteArray>
#include <QString>

#include <variant>

namespace kestrel
{

// A run read from a file Kestrel wrote: the one-line data format or a Kestrel CSV,
// whose header gives back the instruments, the settings and the start. The run's
// outcome is "imported". A sentence naming the line and what is wrong there when the
// file is neither; nothing is half read.
std::variant<Run, QString> readRunFile(const QByteArray& text);

} // namespace kestrel
