#pragma once

#include "store/rundatabase.h"

#include <variant>

namespace kestrel
{

// Reads a data file or a Kestrel CSV and keeps it in the store as one run with the
// outcome "imported": its id, or a sentence naming the file (and the line, when the
// file is not one of those). Nothing is half imported.
std::variant<qint64, QString> importRunFile(RunDatabase& store, const QString& filePath,
                                            const QString& program);

} // namespace kestrel
