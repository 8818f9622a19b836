#pragma once

#include "data/ivpoints.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

namespace kestrel
{

// What a CSV file records about how its points were taken.
struct CsvHeader {
    QString program; // "Kestrel 0.1.0"
    QDateTime taken; // local time, written in ISO 8601 with its offset
    QString source;  // "127.0.0.2:5555"
    QString sourceIdentity;
    QString meter;
    QString meterIdentity;
    QString start, stop, steps, shape, range, limit;
};

// "# key: value" lines, then "voltage_V,current_A" and one row per point, numbers
// in the shared shortest-text rule.
QByteArray csvText(const CsvHeader& header, const IVPointList& points);

} // namespace kestrel
