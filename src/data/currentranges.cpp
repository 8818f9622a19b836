#include "data/currentranges.h"

namespace kestrel
{

const std::vector<CurrentRange>& currentRanges()
{
    static const std::vector<CurrentRange> ranges{
        {QStringLiteral("200 µA"), 200e-6}, {QStringLiteral("2 mA"), 2e-3},
        {QStringLiteral("20 mA"), 20e-3},   {QStringLiteral("200 mA"), 200e-3},
        {QStringLiteral("2 A"), 2.0},       {QStringLiteral("10 A"), 10.0},
    };
    return ranges;
}

} // namespace kestrel
