#pragma once

#include "data/run.h"

#include <QByteArray>
#include <QIODevice>
#include <QString>

#include <variant>

namespace kestrel
{

// A run read from a file Kestrel wrote: the one-line data format or a Kestrel CSV,
// whose header gives back the instruments, the settings and the start. The run's
// outcome is "imported". A sentence naming the line and what is wrong there when the
// file is neither; nothing is half read. The device (a file or a buffer, which can seek)
// is read as the file is parsed, so only the points are held.
std::variant<Run, QString> readRunFile(QIODevice& device);
std::variant<Run, QString> readRunFile(const QByteArray& text);

// The largest file read as a run, in bytes: 256 MiB, some 2.5 times the CSV of the
// largest sweep (a million steps there and back at full precision). A larger file is
// refused before it is read; one that grows past it while read fails there.
inline constexpr qint64 maxRunFileBytes = 256LL * 1024 * 1024;

} // namespace kestrel
