// Any 64-bit pattern: formatDouble's text reads back to the same bits, is the
// shortest that does, uses only the characters of the rule, and is positional exactly
// between 1e-4 and 1e16.
#include "data/numbertext.h"

#include <algorithm>
#include <bit>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <string>

namespace
{

locale_t cLocale = nullptr;

double readBack(const std::string& text)
{
    return strtod_l(text.c_str(), nullptr, cLocale);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
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
    // Read back by the C library: the reply rule turns denormals away on purpose.
    if (std::bit_cast<std::uint64_t>(readBack(text)) != bits)
        std::abort();
    if (std::isfinite(x) && x != 0.0) {
        const double magnitude = std::fabs(x);
        const bool exponent = text.find('e') != std::string::npos;
        if (exponent != (magnitude < 1e-4 || magnitude >= 1e16))
            std::abort();
        if (!exponent && text.find('.') == std::string::npos)
            std::abort();
        // Shortest: one significant digit fewer never reads back. In exponent form every
        // digit before the 'e' is significant.
        const auto digits = exponent ? std::count_if(text.begin(), text.begin() + text.find('e'),
                                                     [](char c) { return c >= '0' && c <= '9'; })
                                     : 0;
        if (exponent && digits > 1) {
            char shorter[64];
            const locale_t previous = uselocale(cLocale);
            std::snprintf(shorter, sizeof shorter, "%.*e", int(digits) - 2, x);
            uselocale(previous);
            if (readBack(shorter) == x)
                std::abort();
        }
    }
    return 0;
}
