#pragma once

#include "link/instrumentlink.h"

#include <QSettings>

namespace kestrel
{

// The endpoint used when nothing usable is stored: a fixed private address, port 5555.
inline const Endpoint defaultEndpoint{QStringLiteral("192.168.1.100"), QStringLiteral("5555")};

inline constexpr auto sourceAddressKey = "sourceaddress";
inline constexpr auto drainAddressKey = "drainaddress";
inline constexpr auto stepAddressKey = "stepaddress";

// Reads an endpoint pair stored as a list of two strings, [address, port]. Anything
// else (absent, another type, a list shorter than two, a list holding a non-string)
// gives the default, silently. Elements beyond the second are ignored.
Endpoint restoreEndpoint(const QSettings& settings, const char* key);
void storeEndpoint(QSettings& settings, const char* key, const Endpoint& endpoint);

// The sweep fields as the user last ran them; texts exactly as typed.
struct StoredSweep {
    QString start = QStringLiteral("-1");
    QString stop = QStringLiteral("1");
    QString steps = QStringLiteral("20");
    QString shape = QStringLiteral("linear");
    QString levels;     // a list sweep's: typed, or a level file's path
    QString cycles = QStringLiteral("1");
    QString holdLevel = QStringLiteral("0"); // a hold's, volts
    QString duration = QStringLiteral("60"); // a hold's, seconds; empty: until Stop
    QString readings = QStringLiteral("1"); // per point
    int rangeIndex = 0; // of the meter profile's ranges, or autoRangeIndex
    QString limit;      // empty: no limit
    QString settleMs = QStringLiteral("0");
    QString meterRate = QStringLiteral("medium"); // a rateName()
    QString compliance;                           // empty: the source profile's default
    bool continueAtCompliance = false;
    QString nplc;               // empty: the meter's own setting
    bool meterIsSource = false; // the source measures too (one instrument)
    // A family of curves: the step source's levels, linear, and its current limit.
    bool family = false;
    QString stepStart = QStringLiteral("0");
    QString stepStop = QStringLiteral("1");
    QString stepSteps = QStringLiteral("2");
    QString stepCompliance; // empty: the step profile's default
};

StoredSweep restoreSweep(const QSettings& settings);
void storeSweep(QSettings& settings, const StoredSweep& sweep);

} // namespace kestrel
