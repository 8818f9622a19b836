#pragma once

#include <QString>

namespace kestrel
{

// Text from an instrument or a script as it may be shown in a label, a message, a
// file header or on a terminal: every control character (C0, DEL and C1, U+0080 to
// U+009F) becomes \xNN, its code point in hex, so a reply can neither move the
// cursor, retitle a terminal nor start a new line. Other characters beyond ASCII
// stay as they are.
QString printableText(const QString& text);

// The same after dropping one trailing line ending ("\n" or "\r\n").
QString printableLine(QString text);

// Every line printable, the line feeds between them kept: for standard output.
QString printableLines(const QString& text);

} // namespace kestrel
