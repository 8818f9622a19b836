// Any reply: the number rule never crashes, reads the same under a comma-decimal
// locale as under the C locale, and accepts exactly the plain decimal texts that
// strtod reads whole without underflow to zero.
#include "data/numbertext.h"

#include <bit>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <regex>
#include <string>

namespace
{

locale_t cLocale = nullptr;

// The rule written out another way, as a check on the real one.
bool plainlyANumber(std::string_view reply, double& value)
{
    static const std::regex decimal(R"([+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?)");
    const std::string piece(reply.substr(0, reply.find('\n')));
    if (!std::regex_match(piece, decimal))
        return false;
    errno = 0;
    value = strtod_l(piece.c_str(), nullptr, cLocale);
    return errno != ERANGE || value != 0.0;
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
