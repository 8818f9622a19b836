// Any 64-bit pattern: formatDouble's text reads back to the same bits, uses only
// the characters of the rule, and is positional exactly between 1e-4 and 1e16.
#include "data/numbertext.h"

#include <bit>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8"))
        std::setlocale(LC_ALL, "de_DE.utf8");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < sizeof(std::uint64_t))
        return 0;
    std::uint64_t bits;
    std::memcpy(&bits, data, sizeof bits);
    const double x = std::bit_cast<double>(bits);
    const std::string text = kestrel::formatDouble(x);

    if (std::isnan(x)) {
        if (text != "nan")
            std::abort();
        return 0;
    }
    if (text.find_first_not_of("0123456789.-+einf") != std::string::npos)
        std::abort();
    const auto back = kestrel::parseReplyNumber(text);
    if (!back || std::bit_cast<std::uint64_t>(*back) != bits)
        std::abort();
    if (std::isfinite(x) && x != 0.0) {
        const double magnitude = std::fabs(x);
        const bool exponent = text.find('e') != std::string::npos;
        if (exponent != (magnitude < 1e-4 || magnitude >= 1e16))
            std::abort();
        if (!exponent && text.find('.') == std::string::npos)
            std::abort();
    }
    return 0;
}
