#pragma once

#include <QString>
#include <vector>

namespace kestrel
{

// The meter's DC current ranges, most sensitive first. A sweep sends the index
// of the chosen entry (":MEAS:CURR:DC 2" selects 20 mA).
struct CurrentRange {
    QString label;
    double fullScaleAmps;
};

const std::vector<CurrentRange>& currentRanges();

// Readings of this magnitude or more are the meter's overload mark, not a current.
inline constexpr double overloadReadingAmps = 9.9e37;

} // namespace kestrel
