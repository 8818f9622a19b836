#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrel
{

// The one number-to-text rule shared by instrument commands and data files:
// the shortest decimal text that reads back to the same 64-bit value.
// Positional from 0.0001 up to below 1e16 ("0.1", "1.0", "5000.0"),
// exponent form outside that range ("1e-05", "1.8014398509481984e+16").
// Independent of the process locale.
std::string formatDouble(double x);

// The reply number rule: the text before the first line feed is a number only
// when it is plain decimal notation ([+-] digits [. digits] [e [+-] digits]) and
// nothing else: no blanks, no hex floats, no "nan" or "inf". A value too large for
// a double reads as infinity (an overload); a tiny one reads as the nearest subnormal,
// so every text formatDouble writes reads back exactly, but a non-zero text that
// would read as zero is not a number. Independent of the process locale.
std::optional<double> parseReplyNumber(std::string_view reply);

// Reads a whole text as a number by the same rule as a reply's first line
// (no line feed allowed). Used for numbers the user types.
std::optional<double> parseNumber(std::string_view text);

} // namespace kestrel
