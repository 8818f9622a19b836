// Any reply: the number rule never crashes, reads the same under a comma-decimal
// locale as under the C locale, and accepts only what strtod reads whole.
#include "data/numbertext.h"

#include <bit>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <string>

namespace
{

locale_t cLocale = nullptr;

// The rule written out the long way, as a check on the real one.
bool plainlyANumber(std::string_view reply, double& value)
{
    const std::string piece(reply.substr(0, reply.find('\n')));
    if (piece.empty() || std::strchr(" \t\n\v\f\r", piece.front()) ||
        piece.find('\0') != std::string::npos)
        return false;
    char* end = nullptr;
    value = strtod_l(piece.c_str(), &end, cLocale);
    return end == piece.c_str() + piece.size();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    // The process locale writes decimal commas; the rule must not notice.
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8"))
        std::setlocale(LC_ALL, "de_DE.utf8");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    const auto parsed = kestrel::parseReplyNumber(reply);
    double expected = 0;
    const bool isNumber = plainlyANumber(reply, expected);
    if (parsed.has_value() != isNumber)
        std::abort();
    if (parsed && !(std::isnan(expected) ? std::isnan(*parsed)
                                         : std::bit_cast<std::uint64_t>(*parsed) ==
                                               std::bit_cast<std::uint64_t>(expected)))
        std::abort();
    return 0;
}
