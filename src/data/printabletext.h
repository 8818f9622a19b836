#pragma once

#include <QString>

namespace kestrel
{

// Text from an instrument or a script as it may be shown in a label, a message, a
// file header or on a terminal: every control character and DEL becomes \xNN, so a
// reply can neither move the cursor, retitle a terminal nor start a new line.
QString printableText(const QString& text);

// The same after dropping one trailing line ending ("\n" or "\r\n").
QString printableLine(QString text);

// Every line printable, the line feeds between them kept: for standard output.
QString printableLines(const QString& text);

} // namespace kestrel
