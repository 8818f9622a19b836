#pragma once

#include "data/bytestream.h"
#include "data/ivpoints.h"

#include <QByteArray>
#include <QString>

#include <variant>

namespace kestrel
{

struct WriteResult {
    bool ok = false;
    QString message; // what happened, naming the file; for the user either way
};

// The saved-data format: the data set's text and one line feed.
QByteArray dataFileText(const IVPointList& points);

// Reads the saved-data format back: "[[level, current], ...]" on one line, numbers by
// the reply number rule, blanks around the brackets and commas allowed. The points, or
// a sentence that names the line and what is wrong there.
std::variant<IVPointList, QString> parseDataFile(const QByteArray& text);
// The same as the stream gives it, holding only the points; the stream's error when it
// ends early.
std::variant<IVPointList, QString> parseDataFile(ByteStream& stream);

// Writes bytes to path through a temporary file renamed over the target, so a
// failed write never replaces a good file with a partial one. Any path works as
// given: nothing is interpreted by a shell. An existing target that is not a
// regular file (a device, a pipe, a socket) is refused, never replaced.
WriteResult writeFileAtomically(const QString& path, const QByteArray& bytes);

// Why a file could not be saved at path, found before anything is measured: a
// missing folder, one that takes no new file, or a target that is no regular file.
// Empty when saving there should work.
QString checkSaveTarget(const QString& path);

// Saves points in the saved-data format; the message counts the points.
WriteResult saveDataFile(const QString& path, const IVPointList& points);

} // namespace kestrel
