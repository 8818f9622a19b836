#include "data/numbertext.h"

#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>
#include <system_error>

namespace kestrel
{

namespace
{

// Exponent form from this magnitude up; everything below is positional down to 1e-4.
constexpr int firstExponentFormE = 17; // 1e16 == 0.1 x 10^17

locale_t cLocale()
{
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return loc;
}

} // namespace

std::string formatDouble(double x)
{
    if (std::isnan(x))
        return "nan";
    if (std::isinf(x))
        return x > 0 ? "inf" : "-inf";
    if (x == 0.0)
        return std::signbit(x) ? "-0.0" : "0.0";

    // Shortest round-trip digits, e.g. "-1.2345e-05".
    char sci[64];
    const auto res = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
    const std::string_view text(sci, static_cast<std::size_t>(res.ptr - sci));

    const bool negative = text.front() == '-';
    const std::size_t ePos = text.find('e');
    int exp10 = 0; // value = d1.d2d3... x 10^exp10
    std::from_chars(text.data() + ePos + (text[ePos + 1] == '+' ? 2 : 1), text.data() + text.size(),
                    exp10);
    std::string digits;
    for (char c : text.substr(negative ? 1 : 0, ePos - (negative ? 1 : 0)))
        if (c != '.')
            digits += c;

    const int e = exp10 + 1; // value = 0.d1d2d3... x 10^e
    if (e < -3 || e >= firstExponentFormE)
        return std::string(text);

    const int n = static_cast<int>(digits.size());
    std::string out = negative ? "-" : "";
    if (e <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-e), '0');
        out += digits;
    } else if (e < n) {
        out += digits.substr(0, static_cast<std::size_t>(e));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(e));
    } else {
        out += digits;
        out.append(static_cast<std::size_t>(e - n), '0');
        out += ".0";
    }
    return out;
}

namespace
{

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Plain decimal notation: [+-] digits [. digits] [e [+-] digits], at least one digit
// before the exponent. Hex floats, "nan", "inf" and blanks are no part of it.
bool isDecimal(std::string_view text)
{
    std::size_t i = 0;
    const auto digits = [&] {
        const std::size_t from = i;
        while (i < text.size() && isDigit(text[i]))
            ++i;
        return i - from;
    };
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    std::size_t mantissa = digits();
    if (i < text.size() && text[i] == '.') {
        ++i;
        mantissa += digits();
    }
    if (mantissa == 0)
        return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        if (digits() == 0)
            return false;
    }
    return i == text.size();
}

} // namespace

std::optional<double> parseNumber(std::string_view text)
{
    if (!isDecimal(text))
        return std::nullopt;
    const std::string piece(text);
    char* end = nullptr;
    errno = 0;
    const double value = strtod_l(piece.c_str(), &end, cLocale());
    // Too large reads as infinity (the overload). The C library says ERANGE for a
    // subnormal too, yet that is the nearest double, and the one formatDouble wrote;
    // only a non-zero text read as zero is silently wrong.
    if (errno == ERANGE && value == 0.0)
        return std::nullopt;
    return value;
}

std::optional<double> parseReplyNumber(std::string_view reply)
{
    return parseNumber(reply.substr(0, reply.find('\n')));
}

} // namespace kestrel
