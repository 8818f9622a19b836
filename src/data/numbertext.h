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
// when it is not empty, does not start with white space, and strtod in the C
// locale consumes all of it. Overflow to infinity and underflow to zero count
// as numbers. Independent of the process locale.
std::optional<double> parseReplyNumber(std::string_view reply);

// Reads a whole text as a number by the same rule as a reply's first line
// (no line feed allowed). Used for numbers typed by the user on the command line.
std::optional<double> parseNumber(std::string_view text);

} // namespace kestrel
