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
    QString program;   // "Kestrel 0.1.0"
    QDateTime started; // when the sweep started
    QDateTime ended;   // invalid while the sweep runs
    QString outcome;   // "completed", "failed", ...
    QString message;   // how it ended, in words
    QString source;    // "127.0.0.2:5555"
    QString sourceIdentity;
    QString meter;
    QString meterIdentity;
    QString start, stop, steps, shape, range, limit;
    QString settleMs;                    // "0": measured as soon as the level was confirmed
    QString rate;                        // "fast", "medium", "slow"
    QString sourceProfile, meterProfile; // the instruments' profiles, by name
    QString compliance; // the source's current limit: amps, or its profile's default
    QString nplc;       // the meter's integration, or "none"
    QString cycles;     // how many times the levels were swept; empty: once
    QString readings;   // readings averaged into each point; empty: one
    QString duration;   // a hold's seconds, or "until stopped"; empty: no hold
    // A curve of a family: its id, the step source and its level; empty for a curve alone.
    QString family, stepSource, stepIdentity, stepProfile, stepLevel, stepCompliance;
    QStringList fits;   // "fit diode: Is = 1.02e-12 ± 3e-14 A; n = 1.98 ± 0.01; ...", one each
};

// The run's fields as the CSV header and kestrel-runs show give them, in that order: each
// label with its text, times as time writes them. One list, so that the two name every
// field alike.
using TimeText = QString (*)(const QDateTime& time);
QList<std::pair<QString, QString>> runFields(const CsvHeader& header, TimeText time);

// "# key: value" lines (runFields, times in ISO 8601 with their offset), a "# fit ..." line for
// each fit, then "voltage_V,current_A" and one row per point, numbers in the shared shortest-text
// rule. Values are shown printable: whatever an instrument said, a header line stays one line. With
// flags (one per point), a third column in_compliance: 1 where the source was at its current limit,
// 0 where not. With a spread per point (several readings each), a column current_sd_A after
// the current. With points per cycle (a sweep repeated), a column cycle: 1 for the first.
// With times (a hold), a last column time_s: seconds since the sweep started, to the ms.
QByteArray csvText(const CsvHeader& header, const IVPointList& points,
                   const std::vector<std::uint8_t>& inCompliance = {}, int pointsPerCycle = 0,
                   const std::vector<double>& currentSd = {},
                   const std::vector<qint64>& pointMs = {});

// One curve of a family for familyCsvText: its step level and its points with what is kept
// of each.
struct CsvCurve {
    double stepVolts = 0.0;
    const IVPointList* points = nullptr;
    const std::vector<std::uint8_t>* inCompliance = nullptr;
    const std::vector<double>* currentSd = nullptr;
    int pointsPerCycle = 0;
    const std::vector<qint64>* pointMs = nullptr; // a hold's times
};

// A family's curves in one file: the header, then "step_V,voltage_V,current_A" and the
// other columns any curve uses (a curve without one leaves its field empty), the curves'
// rows one after another.
QByteArray familyCsvText(const CsvHeader& header, const std::vector<CsvCurve>& curves);

} // namespace kestrel
