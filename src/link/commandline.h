#pragma once

#include <QString>

namespace kestrel
{

// Quotes text as one word for zsh (and any POSIX shell): nothing in it is
// interpreted, an empty text stays an argument.
QString shellQuote(const QString& text);

// The line that hands one command to the instrument script:
//   '<pat>sendArbcmd.sh' '<address>' '<port>' '<command>'
// pat is the home folder followed by "/". The script always receives exactly
// three arguments, byte for byte as given.
QString instrumentCommandLine(const QString& pat, const QString& address, const QString& port,
                              const QString& command);

inline constexpr auto scriptName = "sendArbcmd.sh";

} // namespace kestrel
