#pragma once

#include <string>
#include <string_view>

namespace kestrel::scpi
{

// Bytes for a message on a terminal: what an address, a port or an instrument said,
// as Kestrel shows it. Control characters (C0, DEL and C1 U+0080..U+009F, which a
// terminal may read as ESC sequences or CSI) become \xNN, the character's code; so does
// each byte of invalid UTF-8, which a Latin-1 terminal would read as C1. Other UTF-8
// stays as it is.
std::string printableBytes(std::string_view bytes);

} // namespace kestrel::scpi
